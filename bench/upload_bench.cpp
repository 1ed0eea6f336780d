// One recording upload through RecordingController, timed, with the process's peak memory
// growth. bench/upload.sh runs it against a castora-devserver process and compares it with
// curl sending the same chunks.
//
//   castora-bench-upload --backend http://127.0.0.1:PORT --file rec.mp3
//
// Prints one line: "seconds=<s> bytes=<n> peak_growth_kb=<kB> baseline_rss_kb=<kB> ok=<0|1>".
#include "BenchSupport.h"
#include "NetworkClient.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "ServiceConfig.h"
#include "SettingsStore.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QTextStream>

#include <unistd.h>

namespace {

int fail(const QString &message) {
    QTextStream(stderr) << "castora-bench-upload: " << message << '\n';
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Castora"));
    QCoreApplication::setOrganizationName(QStringLiteral("Castora"));

    QCommandLineParser parser;
    const QCommandLineOption backend(QStringLiteral("backend"), QStringLiteral("Backend base URL."),
                                     QStringLiteral("url"));
    const QCommandLineOption file(QStringLiteral("file"), QStringLiteral("Recording to upload."),
                                  QStringLiteral("path"));
    const QCommandLineOption email(QStringLiteral("email"), QStringLiteral("Account e-mail."),
                                   QStringLiteral("email"), QStringLiteral("demo@castora.local"));
    const QCommandLineOption password(QStringLiteral("password"),
                                      QStringLiteral("Account password."),
                                      QStringLiteral("password"), QStringLiteral("castora"));
    parser.addOptions({backend, file, email, password});
    parser.addHelpOption();
    parser.process(app);
    if (!parser.isSet(backend) || !parser.isSet(file))
        return fail(QStringLiteral("--backend and --file are required"));
    const QString path = QFileInfo(parser.value(file)).absoluteFilePath();
    if (!QFileInfo::exists(path))
        return fail(QStringLiteral("no such file: ") + path);

    castora::ServiceConfig config = castora::ServiceConfig::local(0);
    config.backendUrl = parser.value(backend);

    // Sign in as the program does, so the upload carries a real bearer token.
    castora::NetworkClient client(config);
    QNetworkReply *login =
        client.post(QStringLiteral("auth/login"),
                    QJsonObject{{QStringLiteral("email"), parser.value(email)},
                                {QStringLiteral("password"), parser.value(password)}});
    QObject::connect(login, &QNetworkReply::finished, &app, [login] {
        const QJsonObject reply = QJsonDocument::fromJson(login->readAll()).object();
        castora::settings::setToken(reply.value(QStringLiteral("token")).toString());
        login->deleteLater();
        QCoreApplication::exit(0);
    });
    app.exec();
    if (castora::settings::token().isEmpty())
        return fail(QStringLiteral("sign-in failed"));

    if (!castora::initDatabase())
        return fail(QStringLiteral("cannot open the recordings database"));
    RecordingController controller(config);
    controller.addRecording(QStringLiteral("bench"), path);
    if (controller.recordings().isEmpty())
        return fail(QStringLiteral("the recording was not listed"));
    const int id = controller.recordings().at(0)->id();

    bool ok = false;
    QString message;
    QObject::connect(&controller, &RecordingController::uploadCompleted, &app,
                     [&](int, bool success, const QString &text) {
                         ok = success;
                         message = text;
                         QCoreApplication::exit(0);
                     });

    // Everything above (Qt, SQLite, the sign-in) is in the baseline; the upload is measured.
    const bool peakReset = castora::bench::resetPeak(getpid());
    const qint64 baselineKb = castora::bench::statusKb(getpid(), "VmRSS");
    QElapsedTimer timer;
    timer.start();
    controller.uploadRecording(id);
    app.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peakKb = castora::bench::statusKb(getpid(), "VmHWM");
    const qint64 growthKb = peakReset ? peakKb - baselineKb : -1;

    QTextStream(stdout) << "seconds=" << QString::number(seconds, 'f', 3)
                        << " bytes=" << QFileInfo(path).size() << " peak_growth_kb=" << growthKb
                        << " baseline_rss_kb=" << baselineKb << " ok=" << (ok ? 1 : 0) << '\n';
    if (!ok)
        return fail(QStringLiteral("upload failed: ") + message);
    return 0;
}
