// The stand-in backend dressed for the screenshots (scripts/screenshot-screens): the demo
// channel's room has listeners who chat, and the script changes the scene through commands on
// the standard input, one a line, each answered with "ok":
//   chat SENDER TEXT...   a listener's message, stored and relayed to the room
//   subscriber 0|1        the demo channel's "is_subscriber"
//   slow-chunks MS        every chunk of a chunked upload is answered after MS milliseconds
// Usage: castora-screenshot-stage --data DIR [--icecast-status URL] [--latest-version X.Y.Z]
#include "ChatServer.h"
#include "DevServer.h"
#include "UploadRoutes.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>
#include <QThread>

#include <unistd.h>

using namespace castora::dev;

namespace {

// One command line; false for an unknown command.
bool apply(DevServer &server, const QString &line) {
    const QString command = line.section(QLatin1Char(' '), 0, 0);
    const QString rest = line.section(QLatin1Char(' '), 1);
    Channel &channel = server.state().demoChannel();
    if (command == QLatin1String("chat")) {
        server.chat().post(channel.slug, rest.section(QLatin1Char(' '), 0, 0),
                           rest.section(QLatin1Char(' '), 1));
    } else if (command == QLatin1String("subscriber")) {
        channel.isSubscriber = rest.trimmed() == QLatin1String("1");
    } else if (command == QLatin1String("slow-chunks")) {
        const unsigned long delay = rest.trimmed().toULong();
        // Blocks the stand-in for a moment per chunk: enough to catch an upload half-way.
        server.addRoute(QStringLiteral("POST"), QStringLiteral("api/upload-file"),
                        [&server, delay](const RecordedRequest &request, const QString &) {
                            QThread::msleep(delay);
                            return server.uploads().chunk(request);
                        });
    } else {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption data(QStringLiteral("data"), QStringLiteral("Data folder."),
                                  QStringLiteral("dir"));
    const QCommandLineOption icecast(QStringLiteral("icecast-status"),
                                     QStringLiteral("icecast2's status-json.xsl."),
                                     QStringLiteral("url"));
    const QCommandLineOption latest(QStringLiteral("latest-version"),
                                    QStringLiteral("The version the update check offers."),
                                    QStringLiteral("version"));
    parser.addOptions({data, icecast, latest});
    parser.process(app);

    DevServer::Options options;
    options.dataDir = parser.value(data);
    options.icecastStatusUrl = parser.value(icecast);
    DevServer server(options);
    QTextStream out(stdout);
    if (server.listen() == 0 || server.listenChat() == 0) {
        QTextStream(stderr) << "castora-screenshot-stage: cannot listen\n";
        return 1;
    }
    if (parser.isSet(latest)) {
        server.state().versionInfo.insert(QStringLiteral("latest_version"), parser.value(latest));
        server.state().versionInfo.insert(
            QStringLiteral("release_notes"),
            QStringLiteral("A clearer level meter and emoji in the chat."));
    }
    const Channel &channel = server.state().demoChannel();
    server.chat().post(channel.slug, QStringLiteral("maya"),
                       QStringLiteral("Good morning! Tuned in from Lisbon 🌞"));
    server.chat().post(channel.slug, QStringLiteral("jonas"),
                       QStringLiteral("Sound is great today"));
    out << "castora-devserver listening on " << server.baseUrl() << Qt::endl;
    out << "castora-devserver chat on " << server.chat().url() << Qt::endl;

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            input.setEnabled(false); // the script closed its end; keep serving
            return;
        }
        pending.append(buffer, got);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QString line = QString::fromUtf8(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            out << (apply(server, line) ? "ok " : "unknown command: ") << line << Qt::endl;
        }
    });
    return app.exec();
}
