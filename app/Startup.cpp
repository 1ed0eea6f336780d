#include "Startup.h"

#include "AppLinks.h"
#include "AuthController.h"
#include "ChatController.h"
#include "ChatProtocol.h"
#include "CommandLine.h"
#include "DesktopService.h"
#include "NetworkAccess.h"
#include "NetworkClient.h"
#include "ProcessSignals.h"
#include "QmlRegistration.h"
#include "RecordingController.h"
#include "RecordingWriter.h"
#include "RecordingsDatabase.h"
#include "RenderBackend.h"
#include "RtAudioInput.h"
#include "ScreenReadout.h"
#include "StartupProbe.h"
#include "StreamController.h"
#include "UpdateController.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlNetworkAccessManagerFactory>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace castora {

namespace {

void nameApplication() {
    QCoreApplication::setApplicationName(QStringLiteral("Castora"));
    QCoreApplication::setOrganizationName(QStringLiteral("Castora"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kAppVersion));
}

// The controller of the broadcast while the event loop may end the process from under it: Qt's
// X11 platform calls exit(1) when the display connection breaks (the session ending, the X
// server gone), and exec() never returns. The exit handler then stops the broadcast itself.
std::atomic<StreamController *> g_controllerAtExit{nullptr};

void stopBroadcastAtExit() {
    StreamController *controller = g_controllerAtExit.exchange(nullptr);
    if (!controller)
        return; // a normal end: the bounded stop after exec() has run
    std::fprintf(stderr, "The program is ending without its event loop; stopping the broadcast\n");
    controller->stopForExit();
    std::fflush(stdout);
    std::fflush(stderr);
    // Nothing else of the process may run now: its threads and Qt's global objects are still
    // in use, and the static destructors that exit() would run next could hang or crash on them.
    std::_Exit(EXIT_FAILURE);
}

// The screens fetch artwork (channel and stream images) from addresses that backend replies
// carry: the UI's own requests follow the program's redirect rule and time-out, and an image
// larger than the artwork limit is refused while it arrives.
class ArtworkAccessFactory : public QQmlNetworkAccessManagerFactory {
public:
    QNetworkAccessManager *create(QObject *parent) override {
        return new net::AccessManager(parent, net::kMaxArtworkBytes);
    }
};

} // namespace

void prepareEngine(QQmlEngine &engine) {
    linkQmlModules();
    engine.addImportPath(QStringLiteral("qrc:/"));
    static ArtworkAccessFactory artworkAccess; // outlives every engine; create() keeps no state
    engine.setNetworkAccessManagerFactory(&artworkAccess);
}

void connectControllers(StreamController &stream, AuthController &auth, ChatController &chat,
                        RecordingController &recordings) {
    QObject::connect(&stream, &StreamController::recordingOpened, &recordings,
                     [&recordings](const QString &name, const QString &path) {
                         recordings.addRecording(name, path);
                         recordings.recordingStarted(path);
                     });
    QObject::connect(&stream, &StreamController::recordingClosed, &recordings,
                     &RecordingController::recordingFinished);
    QObject::connect(&stream, &StreamController::recordingMoved, &recordings,
                     &RecordingController::recordingMoved);
    QObject::connect(&stream, &StreamController::recordingDiscarded, &recordings,
                     &RecordingController::recordingDiscarded);
    QObject::connect(&auth, &AuthController::signedOut, &stream, &StreamController::resetAccount);
    QObject::connect(&auth, &AuthController::signedOut, &chat, &ChatController::resetAccount);
    QObject::connect(&auth, &AuthController::signedOut, &recordings,
                     &RecordingController::cancelUploads);
}

void afterFirstFrame(const QQmlApplicationEngine &engine, QObject *context,
                     const std::function<void()> &work) {
    auto done = std::make_shared<bool>(false);
    const auto once = [done, work] {
        if (!std::exchange(*done, true))
            work();
    };
    // A window that is never shown draws no frame: the work waits half a second at most.
    QTimer::singleShot(kFirstFrameWaitMs, context, once);
    const QList<QObject *> roots = engine.rootObjects();
    for (QObject *root : roots) {
        if (auto *window = qobject_cast<QQuickWindow *>(root)) {
            // frameSwapped may come from the render thread: the work runs on this one.
            QObject::connect(window, &QQuickWindow::frameSwapped, context, once,
                             Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
            return;
        }
    }
}

bool openRecordingsDatabase(RecordingController &recordings) {
    // The recordings are the broadcaster's own: a folder an older release left open to others
    // is tightened at the start, before anything is listed or written there.
    const QString folder = engine::defaultRecordingsFolder();
    engine::makePrivateFolder(folder);
    const DatabaseStart start = openDatabase(folder);
    recordings.setDatabaseNotice(start.notice);
    return start.open;
}

int runApplication(int argc, char **argv) {
    if (runsWithoutWindow(argc, argv)) {
        QCoreApplication app(argc, argv);
        nameApplication();
        return sendCommand(parseCommandLine(app)); // --help and --version print and exit
    }
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication app(argc, argv);
    nameApplication();
    parseCommandLine(app); // before any controller: only a plain start goes on
    // One program per desktop session, before any window, sound server or database: a second
    // launch raises the first one's window instead of broadcasting on the same settings and
    // recordings.
    desktop::DesktopService desktopService;
    if (desktopService.claim() == desktop::DesktopService::Claim::Taken)
        return desktopService.activateRunning() ? EXIT_SUCCESS : EXIT_FAILURE;
    // Ties the window to the installed desktop entry and icon (packaging/).
    QGuiApplication::setDesktopFileName(QStringLiteral(CASTORA_APP_ID));
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    chooseRenderBackend(); // before the window: how it is drawn
    // A dropped Icecast connection must not end the program; the send loop reconnects.
    engine::ignoreBrokenPipe();

    // The broadcast engine exists before every other controller and outlives the UI engine.
    engine::RtAudioInput audioInput;
    StreamController streamController(ServiceConfig::fromBuild(), audioInput);
    qmlapi::provide(&streamController);
    // The session ending or Ctrl-C in a terminal closes the program as closing its window does
    // (the bounded stop below), instead of killing it in the middle of a broadcast.
    // Only while the event loop runs: an exit() during the bounded stop below would make its
    // waits return at once.
    bool closing = false;
    engine::TerminationSignals termination([&closing](int signal) {
        if (closing) {
            qInfo() << "Already closing; signal" << signal << "ignored";
            return;
        }
        closing = true;
        qInfo() << "Closing on signal" << signal;
        QCoreApplication::exit(0);
    });
    g_controllerAtExit = &streamController;
    std::atexit(stopBroadcastAtExit);

    QQmlApplicationEngine engine;
    prepareEngine(engine);

    NetworkClient &client = NetworkClient::instance();
    qmlapi::provide(new AppLinks(client.config(), &app));
    auto *auth = new AuthController(client, &app);
    qmlapi::provide(auth);
    auto *chat = new ChatController(client.config(), &app);
    qmlapi::provide(chat);
    qmlapi::provide(new ChatProtocol(client.config().chatUrl, &app));
    auto *recordings = new RecordingController(client.config(), &app);
    qmlapi::provide(recordings);
    connectControllers(streamController, *auth, *chat, *recordings);
    qmlapi::provide(new UpdateController(client, &app));

    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [](QObject *object, const QUrl &url) {
            if (!object && url == kMainDocument)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine.load(kMainDocument);
    // Nothing on the first screen needs the recordings library: it opens once the window
    // is shown (a broadcast, which lists its recording, starts from a later screen).
    afterFirstFrame(engine, recordings, [recordings] { openRecordingsDatabase(*recordings); });
    reportFirstFrame(engine); // development builds, for bench/ (CASTORA_STARTUP_PROBE)
    startInspection(engine);  // development builds, for tests/e2e (CASTORA_INSPECT)
    desktopService.serve(streamController, *auth, engine);
    const int code = app.exec();
    closing = true;
    desktopService.release(); // a launch from now on starts anew
    // The window is gone; a broadcast still on air is stopped properly: the recording is
    // completed and closed and the backend hears of the stop.
    streamController.shutdown(std::chrono::milliseconds(streamController.stopWaitMs()));
    g_controllerAtExit = nullptr;
    if (!streamController.waitForJobs(std::chrono::milliseconds(StreamController::kJobsWaitMs))) {
        // A job is stuck in the sound system (the sound server went away under it): the
        // broadcast is stopped, but nothing may be destroyed under that job.
        qWarning() << "A sound system call does not return; ending without clean-up";
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(code);
    }
    return code;
}

} // namespace castora
