// The stand-in backend as a program, for the local stack (scripts/run-local).
#include "ChatServer.h"
#include "DevServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("castora-devserver"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Castora stand-in backend"));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("HTTP port (0: any free port)."),
                                        QStringLiteral("port"), QStringLiteral("8085"));
    const QCommandLineOption dataOption(QStringLiteral("data"),
                                        QStringLiteral("Folder for uploads and artwork."),
                                        QStringLiteral("dir"));
    const QCommandLineOption icecastOption(QStringLiteral("icecast-status"),
                                           QStringLiteral("URL of icecast2's status-json.xsl."),
                                           QStringLiteral("url"));
    const QCommandLineOption chatPortOption(QStringLiteral("chat-port"),
                                            QStringLiteral("Chat socket port (0: any free port)."),
                                            QStringLiteral("port"), QStringLiteral("8086"));
    const QCommandLineOption publicUrlOption(
        QStringLiteral("public-url"),
        QStringLiteral("How the program reaches this server, for artwork links (default: "
                       "http://127.0.0.1:<port>)."),
        QStringLiteral("url"));
    parser.addOptions({portOption, dataOption, icecastOption, publicUrlOption});
    parser.addOption(chatPortOption);
    parser.process(app);

    castora::dev::DevServer::Options options;
    options.dataDir = parser.value(dataOption);
    options.icecastStatusUrl = parser.value(icecastOption);
    options.publicUrl = parser.value(publicUrlOption);
    castora::dev::DevServer server(options);
    const quint16 port = server.listen(quint16(parser.value(portOption).toUInt()));
    QTextStream out(stdout);
    if (port == 0) {
        QTextStream(stderr) << "castora-devserver: cannot listen on port "
                            << parser.value(portOption) << '\n';
        return 1;
    }
    out << "castora-devserver listening on " << server.baseUrl() << Qt::endl;
    if (server.listenChat(quint16(parser.value(chatPortOption).toUInt())) == 0) {
        QTextStream(stderr) << "castora-devserver: cannot listen for chat on port "
                            << parser.value(chatPortOption) << '\n';
        return 1;
    }
    out << "castora-devserver chat on " << server.chat().url() << Qt::endl;

    return app.exec();
}
