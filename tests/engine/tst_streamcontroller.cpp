// StreamController against the stand-in backend and a real icecast2, with a scripted audio
// input: the subscription gate, start failures, the backend notices, the microphone list,
// recording names and folders, write failures, the network bar, the level meter, closing
// while on air, and that every property changes on the GUI thread.
#include "DevServer.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "SettingsStore.h"
#include "StreamController.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaProperty>
#include <QPointer>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <sys/resource.h>

using namespace castora;
using castora::engine::AudioDevice;
using castora::test::IcecastServer;
using castora::test::ScriptedAudioInput;
namespace audio = castora::test::audio;

namespace {

const QString kGateMessage = QStringLiteral(
    "Your subscribtion has expired Or You don't have credits. Renew it and try again");

// Notes the thread of every signal the controller emits.
class ThreadWitness : public QObject {
    Q_OBJECT
public:
    explicit ThreadWitness(QObject *watched) {
        const QMetaObject *meta = watched->metaObject();
        const QMetaMethod hit = metaObject()->method(metaObject()->indexOfSlot("hit()"));
        for (int i = QObject::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                connect(watched, meta->method(i), this, hit, Qt::DirectConnection);
        }
    }
    std::atomic<int> signals_{0};
    std::atomic<int> offGui{0};
public slots:
    void hit() {
        ++signals_;
        if (QThread::currentThread() != qApp->thread())
            ++offGui;
    }
};

} // namespace

class StreamControllerTest : public QObject {
    Q_OBJECT

    dev::DevServer m_backend;
    IcecastServer m_icecast;
    QString m_mount;

    ServiceConfig config() const {
        return ServiceConfig::local(m_backend.port(), 0, m_icecast.port());
    }

    // A controller for the demo channel, allowed to broadcast.
    std::unique_ptr<StreamController> controller(ScriptedAudioInput &input) {
        auto c = std::make_unique<StreamController>(config(), input);
        c->setMountPoint(m_mount);
        c->setSubStatus(true);
        c->setStreamTitle(QStringLiteral("Morning Show"));
        engine::SendTiming quick;
        quick.retryDelay = std::chrono::milliseconds(30);
        quick.reconnectDelay = std::chrono::milliseconds(100);
        c->engine().setSendTiming(quick);
        return c;
    }

    int posted(const QString &path) const { return int(m_backend.requests(path).size()); }

    static bool onAir(StreamController &c) {
        return QTest::qWaitFor([&] { return c.streaming() && !c.jobInProgress(); }, 15000);
    }
    static bool offAir(StreamController &c) {
        return QTest::qWaitFor(
            [&] { return !c.streaming() && !c.jobInProgress() && c.pendingNotices() == 0; }, 15000);
    }

private slots:
    void initTestCase() {
        engine::ignoreBrokenPipe();
        QVERIFY(m_backend.listen() != 0);
        QVERIFY(m_icecast.start());
        dev::Channel &channel = m_backend.state().demoChannel();
        m_mount = channel.mountPoint;
        settings::setToken(
            m_backend.state().issueToken(QString::fromLatin1(dev::DevState::kDemoEmail)));
    }

    void init() {
        m_backend.clearRequests();
        if (!m_icecast.isRunning())
            QVERIFY(m_icecast.restart());
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
    }

    void initialState() {
        ScriptedAudioInput input;
        input.setDevices(
            {ScriptedAudioInput::device(0, QStringLiteral("Speakers"), {48000}, 0),
             ScriptedAudioInput::device(1, QStringLiteral("Desk Mic"), {44100}, 1, true),
             ScriptedAudioInput::device(2, QStringLiteral("Headset"), {48000}, 2)});
        auto c = controller(input);
        QAbstractItemModelTester tester(c.get());
        QCOMPARE(c->rowCount(), 2);
        QCOMPARE(c->data(c->index(0), StreamController::MicNameRole).toString(),
                 QStringLiteral("Desk Mic"));
        QCOMPARE(c->data(c->index(1), StreamController::MicIdRole).toInt(), 2);
        QVERIFY(!c->data(c->index(2), StreamController::MicNameRole).isValid());
        QCOMPARE(c->roleNames().value(StreamController::MicNameRole), QByteArray("micName"));
        QVERIFY(c->currentMic());
        QCOMPARE(c->currentMic()->micName(), QStringLiteral("Desk Mic"));
        QCOMPARE(c->streamQuality(), 2);
        QCOMPARE(c->micLevel(), 0.0f);
        QVERIFY(!c->streaming());
        QVERIFY(!c->isBusy());
    }

    void qualityClearsInitialized() {
        ScriptedAudioInput input;
        auto c = controller(input);
        QCOMPARE(c->init_stream(), 0);
        QVERIFY(c->initialized());
        QSignalSpy quality(c.get(), &StreamController::streamQualityChanged);
        QSignalSpy initialized(c.get(), &StreamController::initializedChanged);
        c->setStreamQuality(2);
        QCOMPARE(quality.size(), 0);
        c->setStreamQuality(0);
        QCOMPARE(quality.size(), 1);
        QCOMPARE(initialized.size(), 1);
        QVERIFY(!c->initialized());
    }

    // The internet probe: any answer, even an error status or a refused connection, counts as
    // reachable; the request carries no headers of the backend's.
    void internetProbe_data() {
        QTest::addColumn<int>("failStatus");
        QTest::addColumn<bool>("nothingListening");
        QTest::newRow("page answers") << 0 << false;
        QTest::newRow("HTTP 404") << 404 << false;
        QTest::newRow("connection refused") << 0 << true;
    }
    void internetProbe() {
        QFETCH(int, failStatus);
        QFETCH(bool, nothingListening);
        ScriptedAudioInput input;
        ServiceConfig cfg = config();
        if (nothingListening)
            cfg.probeUrl = QStringLiteral("http://127.0.0.1:1/probe");
        StreamController c(cfg, input);
        if (failStatus != 0)
            m_backend.failNext(1, failStatus, QStringLiteral("probe"));
        QSignalSpy changed(&c, &StreamController::internetConnectionChanged);
        c.checkNetworkConnection();
        QVERIFY(changed.wait(5000));
        QVERIFY(c.internetConnection());
        if (!nothingListening) {
            const dev::RecordedRequest probe = m_backend.requests(QStringLiteral("probe")).last();
            QVERIFY(!probe.hasHeader("Authorization"));
            QVERIFY(!probe.hasHeader("Accept"));
        }
    }

    void periodicProbing() {
        ScriptedAudioInput input;
        StreamController c(config(), input);
        c.getInternetStatus();
        QTRY_VERIFY_WITH_TIMEOUT(m_backend.requests(QStringLiteral("probe")).size() >= 2, 5000);
    }

    // A lapsed subscription refuses a start, without connecting or telling the backend, and
    // never stands in the way of a stop.
    void subscriptionGate() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        c->setSubStatus(false);
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy busy(c.get(), &StreamController::isBusyChanged);
        c->startStop();
        QCOMPARE(completed.size(), 1);
        QCOMPARE(completed.at(0).at(0).toString(), kGateMessage);
        QCOMPARE(completed.at(0).at(1).toBool(), true);
        QVERIFY(c->showStatus());
        QCOMPARE(busy.size(), 0);
        QCOMPARE(c->startRecording(), 1);
        QCOMPARE(input.opens(), 0);
        QVERIFY(!m_icecast.hasMount(m_mount));
        QCOMPARE(posted(QStringLiteral("api/channel/start-stream")), 0);

        c->setSubStatus(true);
        c->startStop();
        QVERIFY(onAir(*c));
        c->setSubStatus(false); // lapses while on air
        c->startStop();
        QVERIFY(offAir(*c));
        QCOMPARE(posted(QStringLiteral("api/channel/stop-stream")), 1);
    }

    // A refused connection is reported at once; the backend is told nothing.
    void startFailsAtConnection() {
        QVERIFY(m_icecast.kill());
        ScriptedAudioInput input;
        auto c = controller(input);
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        c->startStop();
        QVERIFY(c->isBusy());
        QVERIFY(completed.wait(5000));
        QVERIFY(completed.at(0).at(1).toBool());
        QVERIFY(completed.at(0).at(0).toString().contains(QStringLiteral("streaming server")));
        QVERIFY(!c->isBusy());
        QVERIFY(!c->streaming());
        QVERIFY(!c->startTimeoutTimer().isActive());
        QCOMPARE(posted(QStringLiteral("api/channel/start-stream")), 0);
        QVERIFY(!c->jobInProgress());
    }

    // A capture stream that cannot be opened or started ends the start with a message.
    void captureFailures_data() {
        QTest::addColumn<bool>("openFails");
        QTest::newRow("open") << true;
        QTest::newRow("start") << false;
    }
    void captureFailures() {
        QFETCH(bool, openFails);
        ScriptedAudioInput input;
        input.failOpen(openFails, QStringLiteral("Device or resource busy"));
        input.failStart(!openFails, QStringLiteral("Device or resource busy"));
        auto c = controller(input);
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        c->startStop();
        QVERIFY(completed.wait(5000));
        QVERIFY(
            completed.at(0).at(0).toString().contains(QStringLiteral("Device or resource busy")));
        QVERIFY(completed.at(0).at(1).toBool());
        QVERIFY(!c->isBusy());
        QVERIFY(!c->streaming());
        QCOMPARE(opened.size(), 0);
        QCOMPARE(posted(QStringLiteral("api/channel/start-stream")), 0);
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
    }

    // The backend hears of each broadcast once it is on air, and of its end exactly once;
    // a press while the stop is under way changes nothing.
    void noticesOncePerBroadcast() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        const dev::Channel &channel = m_backend.state().demoChannel();
        const int starts = channel.streamStarts;
        const int stops = channel.streamStops;
        c->startStop();
        QVERIFY(onAir(*c));
        QTRY_COMPARE(posted(QStringLiteral("api/channel/start-stream")), 1);
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QTRY_VERIFY(channel.onAir);
        QVERIFY(c->usageTimer().isActive());

        c->startStop();
        c->startStop(); // while stopping: ignored
        c->startStop();
        QVERIFY(offAir(*c));
        QCOMPARE(posted(QStringLiteral("api/channel/stop-stream")), 1);
        QCOMPARE(posted(QStringLiteral("api/channel/start-stream")), 1);
        QCOMPARE(channel.streamStarts, starts + 1);
        QCOMPARE(channel.streamStops, stops + 1);
        QVERIFY(!channel.onAir);
        QVERIFY(!c->usageTimer().isActive());
        const dev::RecordedRequest stop =
            m_backend.requests(QStringLiteral("api/channel/stop-stream")).first();
        QCOMPARE(stop.bearerToken(), settings::token().toUtf8());
        QCOMPARE(stop.body, QByteArray("{\n}\n"));
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
    }

    // Properties, requestCompleted and the recording signals: all on the GUI thread.
    void everySignalOnTheGuiThread() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        ThreadWitness witness(c.get());
        c->startStop();
        QVERIFY(onAir(*c));
        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && c->networkBarIsError(), 15000);
        QVERIFY(m_icecast.restart());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && !c->networkBarIsError(), 15000);
        c->startStop();
        QVERIFY(offAir(*c));
        QCOMPARE(posted(QStringLiteral("api/channel/start-stream")), 1);
        QVERIFY(witness.signals_.load() > 8);
        QCOMPARE(witness.offGui.load(), 0);
    }

    // Loss, restore, and the bar hiding itself 4 s after the restore; a stop hides it too.
    void networkBar() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        c->startStop();
        QVERIFY(onAir(*c));
        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible(), 15000);
        QVERIFY(c->networkBarIsError());
        QVERIFY(!c->internetConnection());
        QCOMPARE(c->networkBarMessage(), QStringLiteral("No network connection. Retrying..."));
        QVERIFY(m_icecast.restart());
        QTRY_VERIFY_WITH_TIMEOUT(!c->networkBarIsError(), 15000);
        QVERIFY(c->networkBarVisible());
        QVERIFY(c->internetConnection());
        QCOMPARE(c->networkBarMessage(), QStringLiteral("Network restored. Stream resumed."));
        QVERIFY(c->networkBarTimer().isActive());
        QTRY_VERIFY_WITH_TIMEOUT(!c->networkBarVisible(), 6000);
        QTRY_VERIFY(m_icecast.hasMount(m_mount));

        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && c->networkBarIsError(), 15000);
        c->startStop();
        QVERIFY(offAir(*c));
        QVERIFY(!c->networkBarVisible());
        QCOMPARE(c->networkBarMessage(), QStringLiteral("No network connection. Retrying..."));
    }

    void levelMeter() {
        ScriptedAudioInput input;
        auto c = controller(input);
        c->startStop();
        QVERIFY(onAir(*c));
        QList<float> levels;
        connect(c.get(), &StreamController::micLevelChanged, this,
                [&] { levels.append(c->micLevel()); });
        std::vector<qint16> buffer(1024, 0);
        buffer[100] = -32768;
        QVERIFY(input.deliver(buffer));
        // the next tick shows full scale, the one after (no new buffer) silence
        QTRY_COMPARE(levels, QList<float>({1.0f, 0.0f}));
        QVERIFY(input.deliver(std::vector<qint16>(1024, 0)));
        c->onLevelTimerTimeout();
        QCOMPARE(c->micLevel(), 0.0f);
        c->startStop();
        QVERIFY(offAir(*c));
    }

    // Devices come and go: the chosen microphone is kept by name under its new row and
    // index, falls back to the default input when it is gone, and the capture stream follows.
    void hotPlugKeepsTheChosenMicrophone() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        input.setDevices(
            {ScriptedAudioInput::device(0, QStringLiteral("Desk Mic"), {44100}, 1, true),
             ScriptedAudioInput::device(1, QStringLiteral("USB Mic"), {22050}, 1)});
        auto c = controller(input);
        QAbstractItemModelTester tester(c.get());
        c->changeMic(1);
        QCOMPARE(c->currentMic()->micName(), QStringLiteral("USB Mic"));
        QPointer<MicModel> oldRow = c->currentMic();

        // The desk microphone is unplugged; the USB one moves to index 0.
        input.setDevices(
            {ScriptedAudioInput::device(0, QStringLiteral("USB Mic"), {22050}, 1, true)});
        QSignalSpy reset(c.get(), &QAbstractItemModel::modelReset);
        QTRY_COMPARE(reset.size(), 1); // the 2 s device watch
        QCOMPARE(c->rowCount(), 1);
        QVERIFY(c->currentMic());
        QCOMPARE(c->currentMic()->micName(), QStringLiteral("USB Mic"));
        QCOMPARE(c->currentMic()->micID(), 0);
        QTRY_VERIFY(oldRow.isNull());
        c->startStop();
        QVERIFY(onAir(*c));
        QCOMPARE(input.openDeviceId(), 0u);
        c->startStop();
        QVERIFY(offAir(*c));

        // Now the USB microphone goes too and another one arrives: back to the default input,
        // and the next start opens that one.
        input.setDevices(
            {ScriptedAudioInput::device(0, QStringLiteral("Built-in"), {48000}, 1, true),
             ScriptedAudioInput::device(1, QStringLiteral("Webcam"), {16000}, 1)});
        QTRY_COMPARE(reset.size(), 2);
        QCOMPARE(c->currentMic()->micName(), QStringLiteral("Built-in"));
        QVERIFY(!c->initialized());
        const int opens = input.opens();
        c->startStop();
        QVERIFY(onAir(*c));
        QCOMPARE(input.opens(), opens + 1);
        QCOMPARE(input.openRate(), 48000u);
        c->startStop();
        QVERIFY(offAir(*c));

        // Choosing another microphone reopens the capture stream for it.
        c->changeMic(1);
        c->startStop();
        QVERIFY(onAir(*c));
        QCOMPARE(input.opens(), opens + 2);
        QCOMPARE(input.openDeviceId(), 1u);
        QCOMPARE(input.openRate(), 16000u);
        c->startStop();
        QVERIFY(offAir(*c));
    }

    // The file is named after the title and the start time, inside the recordings folder
    // whatever the title holds, and the recordings library hears of it.
    void recordingNamedSafely_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::newRow("plain") << "Morning Show"
                               << "Morning_Show";
        QTest::newRow("path characters") << "../../AC/DC: live\\now"
                                         << "____AC_DC__live_now";
        QTest::newRow("control characters") << QStringLiteral("Tab\there\r\n") << "Tab_here__";
    }
    void recordingNamedSafely() {
        QFETCH(QString, title);
        QFETCH(QString, name);
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        c->setStreamTitle(title);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy closed(c.get(), &StreamController::recordingClosed);
        c->startStop();
        QVERIFY(onAir(*c));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.at(0).at(0).toString(), name);
        const QString path = opened.at(0).at(1).toString();
        QCOMPARE(QFileInfo(path).absolutePath() + QLatin1Char('/'),
                 QDir(c->getAppWritablePath()).absolutePath() + QLatin1Char('/'));
        QVERIFY(QFileInfo(path).fileName().startsWith(name + QLatin1Char('_')));
        QVERIFY(QFileInfo::exists(path));
        QTRY_VERIFY(c->engine().capturedFrames() > 22050);
        c->startStop();
        QVERIFY(offAir(*c));
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.at(0).at(0).toString(), path);
        QVERIFY(QFileInfo(path).size() > 0);
    }

    // No recordings folder: on air all the same, without a recording, and the user is told.
    void recordingsFolderCannotBeCreated() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        QString folder = c->getAppWritablePath();
        folder.chop(1);
        QDir().mkpath(QFileInfo(folder).absolutePath());
        QDir(folder).removeRecursively();
        QFile blocker(folder);
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
        blocker.close();
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        c->startStop();
        QVERIFY(onAir(*c));
        QCOMPARE(opened.size(), 0);
        QCOMPARE(completed.size(), 1);
        QVERIFY(completed.at(0).at(0).toString().contains(QStringLiteral("recordings folder")));
        QVERIFY(completed.at(0).at(1).toBool());
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QTRY_COMPARE(posted(QStringLiteral("api/channel/start-stream")), 1);
        c->startStop();
        QVERIFY(offAir(*c));
        QVERIFY(QFile::remove(folder));
    }

    // The disk fills up: the broadcast goes on, writing stops, the user is told once.
    void diskFullIsReportedOnce() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        input.setGrantedFrames(1024);
        auto c = controller(input);
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        // Files of this process may not grow past 8 KB from now on.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit previous{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        rlimit small = previous;
        small.rlim_cur = 8192;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &previous); });
        c->startStop();
        QVERIFY(onAir(*c));
        QVERIFY(completed.wait(20000));
        QCOMPARE(completed.size(), 1);
        QVERIFY(completed.at(0).at(0).toString().contains(
            QStringLiteral("recording could not be written")));
        QVERIFY(c->streaming());
        const int sent = c->engine().sender().chunksSent();
        QTRY_VERIFY(c->engine().sender().chunksSent() > sent + 5); // still broadcasting
        QVERIFY(m_icecast.hasMount(m_mount));
        c->startStop();
        QVERIFY(offAir(*c));
        QCOMPARE(completed.size(), 1);
        QVERIFY(QFileInfo(opened.at(0).at(1).toString()).size() <= 8192);
    }

    // Closing the program while on air: the recording is completed and closed and the
    // backend is told, before shutdown() returns.
    void shutdownWhileOnAir() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy closed(c.get(), &StreamController::recordingClosed);
        c->startStop();
        QVERIFY(onAir(*c));
        QTRY_VERIFY(c->engine().capturedFrames() > 22050);
        QVERIFY(c->shutdown(std::chrono::milliseconds(10000)));
        QVERIFY(!c->streaming());
        QCOMPARE(closed.size(), 1);
        QCOMPARE(c->pendingNotices(), 0);
        QCOMPARE(posted(QStringLiteral("api/channel/stop-stream")), 1);
        QVERIFY(!m_backend.state().demoChannel().onAir);
        const QString path = opened.at(0).at(1).toString();
        const auto decoded = audio::decodeMp3File(path, 22050);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY(decoded.samples.size() >= std::size_t(input.framesDelivered()));
    }

    // Closing during a start: the connection attempt is given up and nothing stays on air.
    void shutdownDuringStart() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        auto c = controller(input);
        c->startStop();
        QVERIFY(c->shutdown(std::chrono::milliseconds(10000)));
        QVERIFY(!c->streaming());
        QVERIFY(!c->engine().isOnAir());
        QCOMPARE(posted(QStringLiteral("api/channel/start-stream")),
                 posted(QStringLiteral("api/channel/stop-stream")));
    }
};

CASTORA_TEST_MAIN(StreamControllerTest)
#include "tst_streamcontroller.moc"
