// StreamController against the stand-in backend and a real icecast2, with a scripted audio
// input: the microphone list and capture reopening, refused starts, the backend notices, the
// recording's name and folder, write failures, the network bar, closing while on air, and
// that every signal is emitted on the GUI thread.
#include "DevServer.h"
#include "LiveBroadcast.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "SettingsStore.h"
#include "StreamController.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFileInfo>
#include <QMetaMethod>
#include <QPointer>
#include <QSignalSpy>
#include <QThread>

#include <csignal>
#include <sys/resource.h>

using namespace castora;
using castora::test::IcecastServer;
using castora::test::ScriptedAudioInput;
namespace audio = castora::test::audio;
namespace live = castora::test::live;
using castora::test::row;

namespace {

const QString kStartStream = "api/channel/start-stream";
const QString kStopStream = "api/channel/stop-stream";

// Counts the signals a controller emits, and those emitted off the GUI thread.
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
    std::unique_ptr<ScriptedAudioInput> m_input; // a fresh one per case, playing a tone

    // A controller for the demo channel, allowed to broadcast, retrying quickly.
    std::unique_ptr<StreamController> controller() {
        auto c = std::make_unique<StreamController>(
            ServiceConfig::local(m_backend.port(), 0, m_icecast.port()), *m_input);
        c->setMountPoint(m_mount);
        c->setSubStatus(true);
        c->setStreamTitle("Morning Show");
        engine::SendTiming quick;
        quick.retryDelay = std::chrono::milliseconds(30);
        quick.reconnectDelay = std::chrono::milliseconds(100);
        c->engine().setSendTiming(quick);
        return c;
    }

    int posted(const QString &path) const { return int(m_backend.requests(path).size()); }

    QStringList recordingFiles(StreamController &c) {
        return QDir(c.getAppWritablePath()).entryList(QDir::Files);
    }

private slots:
    void initTestCase() {
        engine::ignoreBrokenPipe();
        QVERIFY(m_backend.listen() != 0);
        QVERIFY(m_icecast.start());
        m_mount = m_backend.state().demoChannel().mountPoint;
        settings::setToken(m_backend.state().issueToken(dev::DevState::kDemoEmail));
    }

    void init() {
        m_input = std::make_unique<ScriptedAudioInput>();
        m_input->setTone(440.0);
        m_backend.clearRequests();
        if (!m_icecast.isRunning())
            QVERIFY(m_icecast.restart());
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
    }

    // Input devices only; the chosen one is kept by name across rebuilds of the list and falls
    // back to the default input when it is gone. The capture stream is reopened only for
    // another device or sample rate; otherwise a new broadcast starts it again.
    void microphones() {
        m_input->setDevices({ScriptedAudioInput::device(0, "Speakers", {48000}, 0),
                             ScriptedAudioInput::device(1, "Desk Mic", {22050, 44100}, 1, true),
                             ScriptedAudioInput::device(2, "USB Mic", {22050}, 2)});
        auto c = controller();
        QAbstractItemModelTester tester(c.get());
        QCOMPARE(c->rowCount(), 2);
        QCOMPARE(c->data(c->index(0), StreamController::MicNameRole).toString(), "Desk Mic");
        QCOMPARE(c->data(c->index(1), StreamController::MicIdRole).toInt(), 2);
        QCOMPARE(c->currentMic()->micName(), "Desk Mic");
        QCOMPARE(c->micLevel(), 0.0f);
        QVERIFY(!c->streaming() && !c->isBusy());

        const auto broadcast = [&](int opens, unsigned int device, unsigned int rate) {
            QVERIFY(live::pressStart(*c));
            QCOMPARE(m_input->opens(), opens);
            QCOMPARE(m_input->openDeviceId(), device);
            QCOMPARE(m_input->openRate(), rate);
            QVERIFY(live::pressStop(*c));
            QVERIFY(!m_input->isRunning() && m_input->isOpen());
        };
        broadcast(1, 1, 22050);
        broadcast(1, 1, 22050);
        c->setStreamQuality(0); // Premium: another rate
        broadcast(2, 1, 44100);
        c->changeMic(1);
        QCOMPARE(c->currentMic()->micName(), "USB Mic");
        broadcast(3, 2, 22050);

        // The desk microphone is unplugged; the USB one moves to index 0.
        QPointer<MicModel> oldRow = c->currentMic();
        QSignalSpy reset(c.get(), &QAbstractItemModel::modelReset);
        m_input->setDevices({ScriptedAudioInput::device(0, "USB Mic", {22050}, 1, true)});
        QTRY_COMPARE(reset.size(), 1); // the 2 s device watch
        QCOMPARE(c->rowCount(), 1);
        QCOMPARE(c->currentMic()->micName(), "USB Mic");
        QCOMPARE(c->currentMic()->micID(), 0);
        QTRY_VERIFY(oldRow.isNull());
        broadcast(4, 0, 22050);

        // Now it goes too and others arrive: back to the default input.
        m_input->setDevices({ScriptedAudioInput::device(0, "Built-in", {48000}, 1, true),
                             ScriptedAudioInput::device(1, "Webcam", {16000}, 1)});
        QTRY_COMPARE(reset.size(), 2);
        QCOMPARE(c->currentMic()->micName(), "Built-in");
        broadcast(5, 0, 48000);
    }

    // The internet probe: any answer, even an error status or a refused connection, counts as
    // reachable; the request carries no headers of the backend's. It repeats on its own.
    void internetProbe_data() {
        QTest::addColumn<int>("failStatus");
        QTest::addColumn<bool>("nothingListening");
        row("page answers", 0, false);
        row("HTTP 404", 404, false);
        row("connection refused", 0, true);
    }
    void internetProbe() {
        QFETCH(int, failStatus);
        QFETCH(bool, nothingListening);
        ServiceConfig config = ServiceConfig::local(m_backend.port());
        if (nothingListening)
            config.probeUrl = "http://127.0.0.1:1/probe";
        StreamController c(config, *m_input);
        if (failStatus != 0)
            m_backend.failNext(1, failStatus, "probe");
        QSignalSpy changed(&c, &StreamController::internetConnectionChanged);
        c.checkNetworkConnection();
        QVERIFY(changed.wait(5000));
        QVERIFY(c.internetConnection());
        if (nothingListening)
            return;
        const dev::RecordedRequest probe = m_backend.requests("probe").last();
        QVERIFY(!probe.hasHeader("Authorization") && !probe.hasHeader("Accept"));
        c.getInternetStatus();
        QTRY_VERIFY_WITH_TIMEOUT(m_backend.requests("probe").size() >= 3, 5000);
    }

    // A start that cannot go on air says why at once, frees the button, leaves no recording
    // and tells the backend nothing.
    void refusedStarts_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message"); // a part of it
        row("subscription lapsed", "gate",
            "Your subscribtion has expired Or You don't have credits. Renew it and try again");
        row("streaming server down", "server", "streaming server");
        row("capture cannot be opened", "open", "Device or resource busy");
        row("capture cannot be started", "start", "Device or resource busy");
    }
    void refusedStarts() {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        m_input->failOpen(fault == "open", "Device or resource busy");
        m_input->failStart(fault == "start", "Device or resource busy");
        if (fault == "server")
            QVERIFY(m_icecast.kill());
        auto c = controller();
        c->setSubStatus(fault != "gate");
        const QStringList files = recordingFiles(*c);
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy busy(c.get(), &StreamController::isBusyChanged);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        c->startStop();
        if (fault == "gate") {
            // Refused on the spot, without a connection attempt.
            QCOMPARE(completed.size(), 1);
            QCOMPARE(completed.at(0).at(0).toString(), message);
            QVERIFY(c->showStatus());
            QCOMPARE(busy.size(), 0);
            QCOMPARE(c->startRecording(), 1);
            QCOMPARE(m_input->opens(), 0);
        } else {
            QVERIFY(c->isBusy());
            QVERIFY(completed.wait(5000));
            QVERIFY2(completed.at(0).at(0).toString().contains(message),
                     qPrintable(completed.at(0).at(0).toString()));
        }
        QCOMPARE(completed.at(0).at(1).toBool(), true);
        QVERIFY(!c->isBusy() && !c->streaming());
        QVERIFY(!c->startTimeoutTimer().isActive());
        QTRY_VERIFY(!c->jobInProgress());
        QCOMPARE(opened.size(), 0);
        QCOMPARE(recordingFiles(*c), files);
        QCOMPARE(posted(kStartStream), 0);
        QVERIFY(!m_icecast.hasMount(m_mount));
    }

    // The backend hears of each broadcast once it is on air and of its end exactly once; a
    // press while the stop is under way changes nothing. The recording is named after the
    // title and the start time, inside the recordings folder whatever the title holds, and
    // the recordings library hears of it.
    void broadcastNoticesAndRecording() {
        auto c = controller();
        c->setStreamTitle("../../AC/DC: live\\now\t");
        const dev::Channel &channel = m_backend.state().demoChannel();
        const int starts = channel.streamStarts;
        const int stops = channel.streamStops;
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy closed(c.get(), &StreamController::recordingClosed);
        QVERIFY(live::pressStart(*c));
        QTRY_COMPARE(posted(kStartStream), 1);
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QTRY_VERIFY(channel.onAir);
        QVERIFY(c->usageTimer().isActive());
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.at(0).at(0).toString(), "____AC_DC__live_now_");
        const QString path = opened.at(0).at(1).toString();
        QCOMPARE(QFileInfo(path).absolutePath() + '/',
                 QDir(c->getAppWritablePath()).absolutePath() + '/');
        QVERIFY(QFileInfo(path).fileName().startsWith("____AC_DC__live_now__"));
        QTRY_VERIFY(c->engine().capturedFrames() > 22050);

        c->startStop();
        c->startStop(); // while stopping: ignored, and so is the press of pressStop()
        QVERIFY(live::pressStop(*c));
        QCOMPARE(posted(kStopStream), 1);
        QCOMPARE(posted(kStartStream), 1);
        QCOMPARE(channel.streamStarts, starts + 1);
        QCOMPARE(channel.streamStops, stops + 1);
        QVERIFY(!channel.onAir);
        QVERIFY(!c->usageTimer().isActive());
        const dev::RecordedRequest stop = m_backend.requests(kStopStream).first();
        QCOMPARE(stop.bearerToken(), settings::token().toUtf8());
        QCOMPARE(stop.body, QByteArray("{\n}\n"));
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.at(0).at(0).toString(), path);
        QVERIFY(QFileInfo(path).size() > 0);
    }

    // Loss, restore and the bar hiding itself; a stop hides it too, and is carried out even
    // when the subscription lapsed meanwhile. Every signal on the way (the send thread's
    // included) is emitted on the GUI thread.
    void networkBar() {
        auto c = controller();
        ThreadWitness witness(c.get());
        QVERIFY(live::pressStart(*c));
        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && c->networkBarIsError(), 15000);
        QVERIFY(m_icecast.restart());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && !c->networkBarIsError(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(!c->networkBarVisible(), 6000);

        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && c->networkBarIsError(), 15000);
        c->setSubStatus(false);
        QVERIFY(live::pressStop(*c));
        QVERIFY(!c->networkBarVisible());
        QCOMPARE(posted(kStartStream), 1);
        QCOMPARE(posted(kStopStream), 1);
        QVERIFY(witness.signals_.load() > 8);
        QCOMPARE(witness.offGui.load(), 0);
    }

    // The recording cannot be written (no recordings folder, a full disk): on air all the
    // same, without a recording or with what fitted, and the user is told once.
    void recordingFailures_data() {
        QTest::addColumn<QString>("message");
        row("no recordings folder", "recordings folder");
        row("disk full", "recording could not be written");
    }
    void recordingFailures() {
        QFETCH(QString, message);
        const bool diskFull = message.contains("written");
        m_input->setGrantedFrames(1024);
        auto c = controller();
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        rlimit previous{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
        const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &previous); });
        const QString folder = QDir(c->getAppWritablePath()).absolutePath();
        if (diskFull) {
            // Files of this process may not grow past 8 KB from now on.
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit small = previous;
            small.rlim_cur = 8192;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        } else {
            QDir().mkpath(QFileInfo(folder).absolutePath());
            QDir(folder).removeRecursively();
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly)); // a file in the folder's place
        }
        QVERIFY(live::pressStart(*c));
        QTRY_COMPARE_WITH_TIMEOUT(completed.size(), 1, 20000);
        QVERIFY(completed.at(0).at(0).toString().contains(message));
        QVERIFY(completed.at(0).at(1).toBool());
        QVERIFY(c->streaming());
        const int sent = c->engine().sender().chunksSent();
        QTRY_VERIFY(c->engine().sender().chunksSent() > sent + 5); // still broadcasting
        QVERIFY(m_icecast.hasMount(m_mount));
        QTRY_COMPARE(posted(kStartStream), 1);
        QVERIFY(live::pressStop(*c));
        QCOMPARE(completed.size(), 1);
        QCOMPARE(opened.size(), diskFull ? 1 : 0);
        if (diskFull)
            QVERIFY(QFileInfo(opened.at(0).at(1).toString()).size() <= 8192);
        else
            QVERIFY(QFile::remove(folder));
    }

    // Closing the program while on air completes and closes the recording and tells the
    // backend before shutdown() returns; closing during a start gives the start up.
    void shutdown_data() {
        QTest::addColumn<bool>("whileOnAir");
        row("on air", true);
        row("during the start", false);
    }
    void shutdown() {
        QFETCH(bool, whileOnAir);
        auto c = controller();
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy closed(c.get(), &StreamController::recordingClosed);
        if (whileOnAir) {
            QVERIFY(live::pressStart(*c));
            QTRY_VERIFY(c->engine().capturedFrames() > 22050);
        } else {
            c->startStop();
        }
        QVERIFY(c->shutdown(std::chrono::milliseconds(10000)));
        QVERIFY(!c->streaming());
        QVERIFY(!c->engine().isOnAir());
        QCOMPARE(posted(kStartStream), posted(kStopStream));
        QCOMPARE(closed.size(), opened.size());
        if (!whileOnAir)
            return;
        QCOMPARE(c->pendingNotices(), 0);
        QCOMPARE(posted(kStopStream), 1);
        QVERIFY(!m_backend.state().demoChannel().onAir);
        const auto decoded = audio::decodeMp3File(opened.at(0).at(1).toString(), 22050);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY(decoded.samples.size() >= std::size_t(m_input->framesDelivered()));
    }
};

CASTORA_TEST_MAIN(StreamControllerTest)
#include "tst_streamcontroller.moc"
