#include "Startup.h"

#include "AppLinks.h"
#include "AuthController.h"
#include "ChatController.h"
#include "ChatProtocol.h"
#include "NetworkClient.h"
#include "ProcessSignals.h"
#include "QmlRegistration.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "RtAudioInput.h"
#include "ScreenReadout.h"
#include "StartupProbe.h"
#include "StreamController.h"
#include "UpdateController.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

namespace castora {

void prepareEngine(QQmlEngine &engine) {
    linkQmlModules();
    engine.addImportPath(QStringLiteral("qrc:/"));
}

int runApplication(int argc, char **argv) {
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Castora"));
    QCoreApplication::setOrganizationName(QStringLiteral("Castora"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kAppVersion));
    // Ties the window to the installed desktop entry and icon (packaging/).
    QGuiApplication::setDesktopFileName(QStringLiteral(CASTORA_APP_ID));
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    // A dropped Icecast connection must not end the program; the send loop reconnects.
    engine::ignoreBrokenPipe();

    // The broadcast engine exists before every other controller and outlives the UI engine.
    engine::RtAudioInput audioInput;
    StreamController streamController(ServiceConfig::fromBuild(), audioInput);
    qmlapi::provide(&streamController);
    // The session ending or Ctrl-C in a terminal closes the program as closing its window does
    // (the bounded stop below), instead of killing it in the middle of a broadcast.
    engine::TerminationSignals termination([](int signal) {
        qInfo() << "Closing on signal" << signal;
        QCoreApplication::exit(0);
    });

    QQmlApplicationEngine engine;
    prepareEngine(engine);

    NetworkClient &client = NetworkClient::instance();
    qmlapi::provide(new AppLinks(client.config(), &app));
    qmlapi::provide(new AuthController(client, &app));
    qmlapi::provide(new ChatController(client.config(), &app));
    qmlapi::provide(new ChatProtocol(client.config().chatUrl, &app));
    auto *recordings = new RecordingController(client.config(), &app);
    qmlapi::provide(recordings);
    // A broadcast's recording is listed from its start; uploads wait until it is closed.
    QObject::connect(&streamController, &StreamController::recordingOpened, recordings,
                     [recordings](const QString &name, const QString &path) {
                         recordings->addRecording(name, path);
                         recordings->recordingStarted(path);
                     });
    QObject::connect(&streamController, &StreamController::recordingClosed, recordings,
                     &RecordingController::recordingFinished);
    qmlapi::provide(new UpdateController(client, &app));
    initDatabase();

    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [](QObject *object, const QUrl &url) {
            if (!object && url == kMainDocument)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine.load(kMainDocument);
    reportFirstFrame(engine); // development builds, for bench/ (CASTORA_STARTUP_PROBE)
    startInspection(engine);  // development builds, for tests/e2e (CASTORA_INSPECT)
    const int code = app.exec();
    // The window is gone; a broadcast still on air is stopped properly: the recording is
    // completed and closed and the backend hears of the stop.
    streamController.shutdown(std::chrono::milliseconds(10000));
    return code;
}

} // namespace castora
