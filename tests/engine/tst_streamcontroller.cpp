// StreamController against the stand-in backend and a real icecast2, with a scripted audio
// input: the microphone list and capture reopening, refused starts, the backend notices, the
// recording's name and folder, write failures, the network bar, closing while on air (also
// with a resolver that never answers), that every signal is emitted on the GUI thread; the
// channel calls (the channel record, stream details with artwork, usage reports, listener
// counts, the chat token), each also with failing and malformed replies; and a second account
// signed in after the first.
#include "AuthController.h"
#include "ChatController.h"
#include "ChatServer.h"
#include "LiveBroadcast.h"
#include "LocalServices.h"
#include "LogCapture.h"
#include "Multipart.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "SettingsStore.h"
#include "StandInBackend.h"
#include "StreamController.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QThread>
#include <QUdpSocket>

#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace castora;
using namespace castora::test;

namespace {

const QString kStartStream = "api/channel/start-stream";
const QString kStopStream = "api/channel/stop-stream";
const QString kUpdated = QStringLiteral("Event details updated successfully");
const QString kFailed =
    QStringLiteral("Failed to update stream details, please ensure file is not more than 2MB");
const QString kUnreadable =
    QStringLiteral("The selected image could not be read. Please choose another image.");

// Counts the signals a controller emits, and those emitted off the GUI thread.
struct ThreadWitness : QObject {
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
    std::atomic<int> signals_{0}, offGui{0};
public slots:
    void hit() { ++signals_, offGui += QThread::currentThread() != qApp->thread(); }
};

} // namespace

class StreamControllerTest : public QObject {
    Q_OBJECT

    IcecastServer m_icecast;
    test::StandInBackend m_backend;
    QString m_mount, m_token;
    std::unique_ptr<ScriptedAudioInput> m_input; // a fresh one per case, playing a tone
    QTemporaryDir m_files;

    dev::Channel &channel() { return m_backend->state().demoChannel(); }

    // A controller for the demo channel, allowed to broadcast, retrying quickly.
    std::unique_ptr<StreamController> controller(const QString &icecastHost = QString(),
                                                 const QString &sourcePassword = QString()) {
        ServiceConfig config = m_backend.config(0, m_icecast.port());
        if (!icecastHost.isEmpty())
            config.icecastHost = icecastHost;
        if (!sourcePassword.isEmpty())
            config.icecastPassword = sourcePassword;
        auto c = std::make_unique<StreamController>(config, *m_input);
        c->setMountPoint(m_mount);
        c->setSubStatus(true);
        c->setStreamTitle("Morning Show");
        engine::SendTiming quick;
        quick.retryDelay = std::chrono::milliseconds(30);
        quick.reconnectDelay = std::chrono::milliseconds(100);
        c->engine().setSendTiming(quick);
        return c;
    }

    int posted(const QString &path) const { return int(m_backend->requests(path).size()); }

    static bool answered(StreamController &c) {
        return QTest::qWaitFor([&] { return c.pendingRequests() == 0; }, 10000);
    }

private slots:
    void initTestCase() {
        engine::ignoreBrokenPipe();
        QVERIFY(m_icecast.start());
        dev::DevServer::Options options;
        options.icecastStatusUrl = m_icecast.baseUrl() + "/status-json.xsl";
        QVERIFY(m_backend.start(options));
        m_mount = channel().mountPoint;
        m_token = m_backend.signIn();
    }

    void init() {
        m_input = std::make_unique<ScriptedAudioInput>();
        m_backend->clearRequests();
        if (!m_icecast.isRunning())
            QVERIFY(m_icecast.restart());
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
    }

    // Input devices only; the chosen one is kept by name (by its key where the sound system
    // names its devices) across rebuilds of the list and falls back to the default input when
    // it is gone. The capture stream is reopened only for another device or sample rate;
    // otherwise a new broadcast starts it again. Renamed, a device is the same device; plugged
    // in again on air (a new index), the stream on the old one is given up and capture goes on
    // on the new one.
    void microphones() {
        m_input->setDevices({ScriptedAudioInput::device(0, "Speakers", {48000}, 0),
                             ScriptedAudioInput::device(1, "Desk Mic", {22050, 44100}, 1, true),
                             ScriptedAudioInput::device(2, "USB Mic", {22050}, 2)});
        auto c = controller();
        QAbstractItemModelTester tester(c.get());
        QCOMPARE(c->rowCount(), 2); // the chooser's rows and their roles: tst_broadcastscreen
        QCOMPARE(c->currentMic()->micName(), "Desk Mic");
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
        QTRY_COMPARE(reset.size(), 1); // announced by the input
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

        const auto desk = [](unsigned int id, const QString &name) {
            return ScriptedAudioInput::device(id, name, {22050}, 1, true, "alsa_input.desk");
        };
        m_input->setDevices({desk(5, "Desk Mic")});
        QTRY_COMPARE(c->currentMic()->micName(), "Desk Mic");
        broadcast(6, 5, 22050);
        m_input->setDevices({desk(5, "Desk Microphone")});
        QTRY_COMPARE(c->currentMic()->micName(), "Desk Microphone");
        QCOMPARE(c->currentMicIndex(), 0);
        broadcast(6, 5, 22050);
        QVERIFY(live::pressStart(*c));
        m_input->setDevices({desk(9, "Desk Microphone")});
        QTRY_COMPARE(m_input->openDeviceId(), 9u);
        QTRY_VERIFY(!c->microphoneLost() &&
                    c->engine().capturePhase() == castora::engine::CaptureState::Phase::Delivering);
        QCOMPARE(m_input->opens(), 7);
        QVERIFY(live::pressStop(*c));
    }

    // The internet probe: a refused connection counts as reachable. (So does any answer, even an
    // error status, and the probe repeats on its own without the backend's headers:
    // backendFailures.)
    void internetProbe() {
        ServiceConfig config = m_backend.config();
        config.probeUrl = "http://127.0.0.1:1/probe";
        StreamController c(config, *m_input);
        QVERIFY(!c.internetConnection());
        c.checkNetworkConnection();
        QTRY_VERIFY(c.internetConnection());
    }

    // A start that cannot go on air says why at once, frees the button, leaves no recording
    // and tells the backend nothing. So does a server that refuses the stream's login: a wrong
    // password (the mount is free) at its first answer, a mount that another source holds
    // after it kept refusing for the refusal limit (the mount could have been this program's own,
    // dropped a moment ago); what the broadcast recorded meanwhile is kept.
    void refusedStarts_data() {
        // message: a part of it
        columns<QString, QString>("fault", "message");
        row("subscription lapsed", "gate",
            "Your subscribtion has expired Or You don't have credits. Renew it and try again");
        row("capture cannot be opened", "open", "Device or resource busy");
        row("capture cannot be started", "start", "Device or resource busy");
        row("wrong source password", "password", "did not accept this program's source login");
        row("mount in use", "in use", StreamController::kMountInUseMessage);
    }
    void refusedStarts() {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        m_input->setFailures(fault == "open" ? message : "", fault == "start" ? message : "");
        QProcess otherSource; // another program on the channel's mount
        if (fault == "in use") {
            otherSource.start("ffmpeg", {"-v", "error", "-re", "-f", "lavfi", "-i",
                                         "sine=f=440:d=60", "-c:a", "libmp3lame", "-b:a", "96k",
                                         "-content_type", "audio/mpeg", "-f", "mp3",
                                         QString("icecast://source:%1@127.0.0.1:%2/%3")
                                             .arg(IcecastServer::sourcePassword())
                                             .arg(m_icecast.port())
                                             .arg(m_mount)});
            QTRY_VERIFY_WITH_TIMEOUT(m_icecast.hasMount(m_mount), 10000);
        }
        const auto stopOther = qScopeGuard([&] {
            otherSource.kill();
            otherSource.waitForFinished();
        });
        auto c = controller(QString(), fault == "password" ? "not the password" : QString());
        c->setSubStatus(fault != "gate");
        const bool refusedByServer = fault == "password" || fault == "in use";
        const QStringList files = QDir(c->getAppWritablePath()).entryList(QDir::Files);
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        QSignalSpy busy(c.get(), &StreamController::isBusyChanged);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy discarded(c.get(), &StreamController::recordingDiscarded);
        QElapsedTimer pressed;
        pressed.start();
        c->startStop();
        if (fault == "gate") { // refused on the spot, without a connection attempt
            QCOMPARE(completed.size(), 1);
            QVERIFY(c->showStatus());
            QCOMPARE(busy.size(), 0);
            QCOMPARE(c->startRecording(), 1);
            QCOMPARE(m_input->opens(), 0);
        } else {
            QVERIFY(c->isBusy());
            QVERIFY(completed.wait(fault == "in use" ? 20000 : 5000));
        }
        const QString said = completed.at(0).at(0).toString();
        QVERIFY2(fault == "gate" ? said == message : said.contains(message), qPrintable(said));
        QCOMPARE(completed.at(0).at(1).toBool(), true);
        QVERIFY(!c->isBusy() && !c->streaming() && !c->live());
        QVERIFY(!c->startTimeoutTimer().isActive());
        QTRY_VERIFY(!c->jobInProgress());
        QCOMPARE(posted(kStartStream) + posted(kStopStream), 0);
        if (fault == "in use") {
            // Tried for the refusal limit, then told; the seconds recorded are kept.
            QVERIFY2(pressed.elapsed() >= 9000, qPrintable(QString::number(pressed.elapsed())));
            QCOMPARE(QDir(c->getAppWritablePath()).entryList(QDir::Files).size(), files.size() + 1);
            return;
        }
        QCOMPARE(opened.size(), discarded.size());
        QCOMPARE(opened.size(), refusedByServer ? 1 : 0);
        QCOMPARE(QDir(c->getAppWritablePath()).entryList(QDir::Files), files);
        QVERIFY(!m_icecast.hasMount(m_mount));
    }

    // The backend hears of each broadcast once it is on air and of its end exactly once, even
    // through a lost and restored connection; a press while the stop is under way changes
    // nothing, and the stop is carried out when the subscription lapsed meanwhile. The
    // recording is named after the title and the start time, inside the recordings folder
    // whatever the title holds, and the recordings library hears of it. Under umask 022, as
    // most desktops run, the recordings folder is made 0700 and the recording 0600. Usage
    // reports go out at the usage interval on air, the first one an interval after going on
    // air, none once off air. Every signal on the way (the send thread's included) is emitted
    // on the GUI thread.
    void broadcast() {
        const mode_t previousUmask = ::umask(022);
        const auto restoreUmask = qScopeGuard([previousUmask] { ::umask(previousUmask); });
        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Castora";
        QVERIFY(QDir(folder).removeRecursively());
        auto c = controller();
        ThreadWitness witness(c.get());
        c->setStreamTitle("../../AC/DC: live\\now\t");
        constexpr int interval = 400;
        const QString usage = "api/channel/update-usage-duration";
        c->setUsageInterval(interval);
        QElapsedTimer sinceOnAir;
        qint64 firstUsage = -1;
        connect(c.get(), &StreamController::streamingChanged, this, [&] { sinceOnAir.start(); });
        // Connected for this function only: the lambda holds its locals.
        const QMetaObject::Connection watching =
            connect(&m_backend.server(), &dev::DevServer::requestReceived, this,
                    [&](const dev::RecordedRequest &r) {
                        if (r.path == usage && firstUsage < 0)
                            firstUsage = sinceOnAir.elapsed();
                    });
        const auto unwatch = qScopeGuard([watching] { disconnect(watching); });
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy closed(c.get(), &StreamController::recordingClosed);
        QVERIFY(live::pressStart(*c));
        QTRY_COMPARE(posted(kStartStream), 1);
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QTRY_VERIFY(channel().onAir);
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.at(0).at(0).toString(), "____AC_DC__live_now_");
        const QString path = opened.at(0).at(1).toString();
        QCOMPARE(QFileInfo(path).absolutePath(), QDir(c->getAppWritablePath()).absolutePath());

        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && c->networkBarIsError(), 15000);
        QVERIFY(m_icecast.restart());
        QTRY_VERIFY_WITH_TIMEOUT(c->networkBarVisible() && !c->networkBarIsError(), 15000);
        c->setSubStatus(false);
        c->startStop();
        c->startStop(); // while stopping: ignored, and so is the press of pressStop()
        QVERIFY(live::pressStop(*c));
        QVERIFY(!c->networkBarVisible());
        QCOMPARE(posted(kStopStream), 1);
        QCOMPARE(posted(kStartStream), 1);
        QVERIFY(!channel().onAir); // taken by the stand-in: with the token
        QCOMPARE(m_backend->requests(kStopStream).first().body, QByteArray("{\n}\n"));
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.at(0).at(0).toString(), path);
        QVERIFY(QFileInfo(path).size() > 0);
        QCOMPARE(QList<int>({test::modeOf(folder), test::modeOf(path)}), QList<int>({0700, 0600}));
        QVERIFY2(firstUsage >= interval * 9 / 10, qPrintable(QString::number(firstUsage)));
        QVERIFY(posted(usage) >= 2 && !c->usageTimer().isActive());
        const int reports = posted(usage);
        QVERIFY(!QTest::qWaitFor([&] { return posted(usage) > reports; }, 3 * interval));
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
        if (diskFull) { // files of this process may not grow past 8 KB from now on
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{8192, previous.rlim_max};
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        } else { // a file in the folder's place
            QDir(folder).removeRecursively();
            QVERIFY(QDir().mkpath(QFileInfo(folder).absolutePath()) &&
                    QFile(folder).open(QIODevice::WriteOnly));
        }
        QVERIFY(live::pressStart(*c));
        QTRY_COMPARE_WITH_TIMEOUT(completed.size(), 1, 20000);
        QVERIFY(completed.at(0).at(0).toString().contains(message));
        QVERIFY(completed.at(0).at(1).toBool());
        const int sent = c->engine().sender().chunksSent();
        QTRY_VERIFY(c->engine().sender().chunksSent() > sent + 5); // still broadcasting
        QVERIFY(c->streaming() && m_icecast.hasMount(m_mount));
        QTRY_COMPARE(posted(kStartStream), 1);
        QVERIFY(live::pressStop(*c));
        QCOMPARE(completed.size(), 1);
        QCOMPARE(opened.size(), diskFull ? 1 : 0);
        QVERIFY(diskFull ? QFileInfo(opened.at(0).at(1).toString()).size() <= 8192
                         : QFile::remove(folder));
    }

    // Closing the program (or pressing Stop, the same job) while on air completes and closes
    // the recording and tells the backend within 3 s; closing during a start gives the start
    // up. So it does whatever DNS does: with a resolver that reads every query and never
    // answers, during a start whose lookup of the Icecast host hangs, and on air during
    // reconnections whose lookups hang (icecast2 killed). The host is found through a private
    // /etc/hosts at first; the test then takes its line out, which sends lookups to DNS.
    void shutdown_data() {
        columns<bool, bool>("whileOnAir", "silentDns");
        row("on air", true, false);
        row("during the start", false, false);
        row("during a start whose lookup hangs", false, true);
        row("on air, reconnections whose lookups hang", true, true);
    }
    void shutdown() {
        QFETCH(bool, whileOnAir);
        QFETCH(bool, silentDns);
        if (silentDns)
            CASTORA_IN_OWN_NAMESPACES("--mount");
        const QString host = silentDns ? QStringLiteral("icecast.castora.test") : QString();
        QUdpSocket resolver;
        int queries = 0;
        QFile hosts(m_files.filePath("hosts"));
        const auto writeHosts = [&hosts](const QByteArray &lines) {
            // In place: the bind mount holds on to the file's inode.
            if (!hosts.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return false;
            const bool written = hosts.write("127.0.0.1 localhost\n" + lines) > 0;
            hosts.close();
            return written;
        };
        if (silentDns) {
            QHostAddress address;
            for (quint32 i = 1; i < 50 && resolver.state() != QAbstractSocket::BoundState; ++i) {
                address = QHostAddress((127u << 24) | (53u << 16) | ((::getpid() + i) & 0xffff));
                resolver.bind(address, 53);
            }
            QCOMPARE(resolver.state(), QAbstractSocket::BoundState);
            connect(&resolver, &QUdpSocket::readyRead, this, [&] {
                while (resolver.hasPendingDatagrams())
                    queries += resolver.receiveDatagram().isValid();
            });
            QVERIFY(test::writeFile(m_files.filePath("resolv.conf"),
                                    "nameserver " + address.toString().toLatin1() +
                                        "\noptions timeout:30 attempts:3\n"));
            QVERIFY(writeHosts("127.0.0.1 " + host.toLatin1() + "\n"));
            for (const char *target : {"/etc/resolv.conf", "/etc/hosts"}) {
                const QByteArray source = QFile::encodeName(
                    m_files.filePath(QString::fromLatin1(target).section('/', -1)));
                QVERIFY2(::mount(source.constData(), target, nullptr, MS_BIND, nullptr) == 0,
                         strerror(errno));
            }
        }
        auto c = controller(host);
        QSignalSpy opened(c.get(), &StreamController::recordingOpened);
        QSignalSpy closed(c.get(), &StreamController::recordingClosed);
        QSignalSpy discarded(c.get(), &StreamController::recordingDiscarded);
        if (whileOnAir) {
            QVERIFY(live::pressStart(*c));
            QTRY_VERIFY(c->engine().capturedFrames() > 22050);
            QTRY_VERIFY(m_icecast.hasMount(m_mount));
        }
        if (silentDns) {
            QVERIFY(writeHosts(""));
            if (whileOnAir)
                QVERIFY(m_icecast.kill());
            else
                c->startStop();
            QTRY_VERIFY_WITH_TIMEOUT(queries > 0, 15000); // a lookup is waiting for DNS now
        } else if (!whileOnAir) {
            c->startStop();
        }
        QElapsedTimer closing;
        closing.start();
        QVERIFY(c->shutdown(std::chrono::milliseconds(10000)));
        QVERIFY2(closing.elapsed() < 3000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(!c->streaming() && !c->engine().isOnAir() && !c->isBusy());
        QCOMPARE(posted(kStartStream), posted(kStopStream));
        QCOMPARE(closed.size() + discarded.size(), opened.size());
        if (!whileOnAir)
            return;
        QCOMPARE(c->pendingNotices(), 0);
        QVERIFY(!channel().onAir); // the one stop-stream notice taken
        const auto decoded = audio::decodeMp3File(closed.at(0).at(0).toString(), 22050);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY(decoded.samples.size() >= std::size_t(c->engine().capturedFrames()));
    }

    // Every endpoint fails in one way for a whole broadcast, from its start-stream notice to
    // its stop-stream notice, while the timers call out many times a second and the user asks
    // for the channel, the chat token, new stream details and the chat history: the stream goes
    // on, the internet probe still counts the network as there, the stop is prompt, the channel
    // keeps its values, the user hears once of the one thing asked for that failed, and answered
    // again the backend hears from the same controller. (How each call ends on each failure and
    // what it keeps: replies and streamDetails here, tst_chatcontroller, tst_recordinguploads.)
    void backendFailures_data() {
        QTest::addColumn<QString>("fault");
        row("server errors", "status 500");
        row("signed out", "status 401");
        row("garbage", "garbage");
        row("dropped connections", "drop");
    }
    void backendFailures() {
        QFETCH(QString, fault);
        m_input->setGrantedFrames(4096);
        auto controlled = controller();
        StreamController &c = *controlled;
        ChatController chat(ServiceConfig::local(m_backend->port()));
        // The channel as a healthy backend has it, kept through the failures.
        c.fetchChannel();
        c.fetchChatToken();
        QTRY_VERIFY(c.pendingRequests() == 0 && !c.chatToken().isEmpty());
        const char *const kept[] = {"channelId", "channelName",  "ChannelSlug", "streamTitle",
                                    "credits",   "mountPoint",   "channelArt",  "streamArt",
                                    "subStatus", "isSubscriber", "chatToken"};
        QVariantMap before;
        for (const char *name : kept)
            before.insert(name, c.property(name));
        c.setUsageInterval(500);
        c.setListenerPollInterval(300);
        c.getInternetStatus();
        QSignalSpy messages(&c, &StreamController::requestCompleted);
        m_backend->clearRequests();
        constexpr int kEvery = 1 << 20; // every backend call from now on fails
        if (fault == "garbage")
            m_backend->malformNext(kEvery);
        else if (fault == "drop")
            m_backend->dropNext(kEvery);
        else
            m_backend->failNext(kEvery, fault.section(' ', 1).toInt());

        QVERIFY(live::pressStart(c));
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        const int sentAtStart = c.engine().sender().chunksSent();
        c.fetchChannel();
        c.fetchChatToken();
        c.updateStreamDetails(QStringLiteral("Renamed"), QString());
        chat.fetchMessages(c.ChannelSlug());
        // clang-format off
        const QStringList paths = {
            "api/channel/start-stream", "api/channel/user-channel", "api/comment/fetch-chat-token",
            "api/channel/update/stream-details", "api/comment/" + c.ChannelSlug(),
            "api/channel/update-usage-duration", "api/stats/" + m_mount, "probe"};
        // clang-format on
        for (const QString &path : paths)
            QTRY_VERIFY2(posted(path) > 0, qPrintable(path));
        // The stream went on all the while, and a listener hears it.
        QTRY_VERIFY_WITH_TIMEOUT(c.engine().sender().chunksSent() > sentAtStart + 10, 20000);
        QVERIFY(live::hearsTone(m_icecast, m_mount, c));
        // Any answer of the probe, repeated every second, means the network is there; it
        // carries none of the backend's headers.
        QTRY_VERIFY(posted("probe") >= 3);
        QVERIFY(c.internetConnection());
        const dev::RecordedRequest probe = m_backend->requests("probe").last();
        QVERIFY(!probe.hasHeader("Authorization") && !probe.hasHeader("Accept"));
        QSignalSpy notices(&c, &StreamController::pendingNoticesChanged);
        QVERIFY(live::pressStop(c, 10000));
        // The stop-stream notice went out and was answered (failing). A connection the server
        // drops may take a request with it that the server never read: the stop is over at
        // once, while the timers' requests are still in flight.
        QVERIFY(notices.size() >= 2);
        QVERIFY(posted(kStopStream) > 0 || fault == "drop");
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
        QVERIFY(!c.networkBarVisible() && !c.isLoading());
        for (const char *name : kept)
            QCOMPARE(c.property(name), before.value(name));
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.at(0).at(0).toString() == kFailed && messages.at(0).at(1).toBool());

        // Answered again, the backend hears from the same controller as before.
        m_backend->clearFaults();
        messages.clear();
        const QString title = QString("After ") + QTest::currentDataTag();
        c.updateStreamDetails(title, QString());
        QTRY_COMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).at(1).toBool(), false);
        QTRY_COMPARE(c.streamTitle(), title);
    }

    // Each call answered well, failing or malformed: the stated log line, no word to the user,
    // and its property set or kept (a listener count that is not a number reads 0). A record
    // sets the slug before the mount point. (Server errors, refusals, garbage and dropped
    // connections of every call: backendFailures.)
    void replies_data() {
        // value: invalid: as the stand-in has it
        columns<QByteArray, QString, QString, QVariant>("call", "fault", "log", "value");
        const char *const rows[][5] = {
            // clang-format off
            {"record", "fetchChannel", "", "Title and Name are set", ""},
            {"record 203", "fetchChannel", "answer 203 {\"data\":[{\"uuid\":\"x\"}]}", "203", "held"},
            {"record {}", "fetchChannel", "answer 200 {}", "Channel record without", "(none)"},
            {"record, data []", "fetchChannel", "answer 200 {\"data\":[]}", "Channel record without", "(none)"},
            {"record, data [1]", "fetchChannel", "answer 200 {\"data\":[1]}", "Channel record without", "(none)"},
            {"token", "fetchChatToken", "", "Chat token fetched successfully", ""},
            {"token {}", "fetchChatToken", "answer 200 {}", "Chat token reply without a token", "held"},
            {"listeners 17", "fetchListeners", "answer 200 17", "", "17"},
            {"listeners, not live", "fetchListeners", "", "", "0"},
            {"listeners, 17 and a word", "fetchListeners", "answer 200 17 listeners", "", "0"},
            {"listeners, JSON", "fetchListeners", "answer 200 {}", "", "0"},
            {"listeners 502", "fetchListeners", "status 502", "", "5"},
            {"usage", "updateUsageDuration", "", "Usage duration updated successfully", ""},
            // clang-format on
        };
        for (const auto &row : rows) {
            QTest::newRow(row[0]) << QByteArray(row[1]) << QString::fromUtf8(row[2]) << row[3]
                                  << (*row[4] ? QVariant(row[4]) : QVariant());
        }
    }
    void replies() {
        QFETCH(QByteArray, call);
        QFETCH(QString, fault);
        QFETCH(QString, log);
        QFETCH(QVariant, value);
        const QHash<QByteArray, QPair<QString, QByteArray>> endpoints = {
            {"fetchChannel", {"api/channel/user-channel", "mountPoint"}},
            {"fetchChatToken", {"api/comment/fetch-chat-token", "chatToken"}},
            {"fetchListeners", {"api/stats/held", "listeners"}},
            {"updateUsageDuration", {"api/channel/update-usage-duration", ""}}};
        const auto [path, property] = endpoints.value(call);
        LogCapture logged;
        auto c = controller();
        c->setMountPoint(QStringLiteral("held")); // polls the listener count at once
        c->setChatToken(QStringLiteral("held"));
        QVERIFY(answered(*c));
        c->setListeners(5);
        QString slugAtMountChange;
        connect(c.get(), &StreamController::mountPointChanged, this,
                [&] { slugAtMountChange = c->ChannelSlug(); });
        m_backend->clearRequests();
        QSignalSpy told(c.get(), &StreamController::requestCompleted);
        m_backend.fail(fault, path);
        if (call == "fetchListeners") // the poll's own call, not one for the UI
            c->fetchListeners();
        else
            QVERIFY(QMetaObject::invokeMethod(c.get(), call.constData()));
        QVERIFY(answered(*c));
        QVERIFY2(logged.contains(log), qPrintable(logged.lines().join('\n')));
        QCOMPARE(told.size(), 0); // none of these calls is the user's: a failure is only logged
        const bool stats = call == "fetchListeners";
        const dev::RecordedRequest sent = m_backend->requests(path).value(0);
        QCOMPARE(sent.hasHeader("Accept"), !stats);
        QCOMPARE(sent.header("Authorization"), stats ? QByteArray() : "Bearer " + m_token.toUtf8());
        if (value == "(none)") { // a record without a channel: every field at its default
            QCOMPARE(c->mountPoint(), QString());
            QVERIFY(c->streamTitle().isEmpty() && !c->subStatus());
        } else if (value.isValid()) {
            QCOMPARE(c->property(property).toString(), value.toString());
        }
        const bool newRecord = call == "fetchChannel" && !value.isValid();
        QCOMPARE(slugAtMountChange, newRecord ? channel().slug : QString());
        if (newRecord) {
            QCOMPARE(c->mountPoint(), channel().mountPoint);
            QCOMPARE(c->channelArt(),
                     m_backend->baseUrl() + QStringLiteral("/artwork/channel-1.png"));
            QVERIFY(c->subStatus() && c->isSubscriber());
        } else if (call == "fetchChatToken" && !value.isValid()) {
            QVERIFY(m_backend->chat().isValidToken(c->chatToken()));
            QVERIFY(!logged.contains(c->chatToken())); // a secret: never in the log
        }
    }

    // The title alone goes as JSON; a chosen image as multipart with its own file name, stored
    // by the service and served as the stream art. An image that cannot be read sends nothing.
    // (A backend that fails the call: backendFailures.)
    void streamDetails_data() {
        // image: below the test's folder; "": none
        // form: how the file dialog hands it over
        columns<QString, QString, QString>("image", "form", "message");
        const char *png = "Cover art \u00e9t\u00e9 #1 100%.png";
        const QString rows[][4] = {
            // clang-format off
            {"title only", "", "path", kUpdated},
            {"png, path", png, "path", kUpdated},
            {"png, encoded URL", png, "encoded", kUpdated},
            {"png, URL as QML has it", png, "as QML has it", kUpdated},
            {"image missing", "gone.png", "encoded", kUnreadable},
            {"image is a folder", "folder", "path", kUnreadable},
            {"image too large", "large.png", "path", kFailed},
            // clang-format on
        };
        for (const auto &row : rows)
            QTest::newRow(qPrintable(row[0])) << row[1] << row[2] << row[3];
    }
    void streamDetails() {
        QFETCH(QString, image);
        QFETCH(QString, form);
        QFETCH(QString, message);
        const QString path = m_files.filePath(image);
        QByteArray bytes("\x89PNG\r\n\x1a\n\0\r\n--\r\n", 16);
        bytes += QByteArray(image == "large.png" ? 3000000 : 20000, '\x7f');
        if (image == "folder")
            QVERIFY(QDir().mkpath(path));
        else if (image != "gone.png" && !image.isEmpty())
            QVERIFY(test::writeFile(path, bytes));
        const QUrl url = QUrl::fromLocalFile(path);
        const QString chosen = image.isEmpty()     ? QString()
                               : form == "path"    ? path
                               : form == "encoded" ? QString::fromUtf8(url.toEncoded())
                                                   : url.toString();
        auto c = controller();
        c->fetchChannel();
        QVERIFY(answered(*c));
        const QString title = c->streamTitle() + " \u00e0 \"deux\"";
        QStringList order;
        connect(
            c.get(), &StreamController::requestCompleted, this,
            [&](const QString &text, bool error) { order << text << QVariant(error).toString(); });
        connect(c.get(), &StreamController::isLoadingChanged, this,
                [&] { order << QVariant(c->isLoading()).toString(); });
        const QString endpoint = "api/channel/update/stream-details";
        c->updateStreamDetails(title, chosen);
        QVERIFY(answered(*c));
        QCOMPARE(order,
                 QStringList({"true", message, QVariant(message != kUpdated).toString(), "false"}));
        const QList<dev::RecordedRequest> sent = m_backend->requests(endpoint);
        QCOMPARE(sent.isEmpty(), message == kUnreadable);
        QCOMPARE(c->streamTitle() == title, message == kUpdated); // from the record fetched again
        if (sent.isEmpty())
            return;
        const dev::MultipartBody body =
            dev::MultipartBody::parse(sent[0].header("Content-Type"), sent[0].body);
        if (image.isEmpty()) {
            QCOMPARE(sent[0].header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(QJsonDocument::fromJson(sent[0].body).object(),
                     QJsonObject({{"channel_id", channel().id}, {"stream_title", title}}));
            return;
        }
        QList<QByteArray> names, values;
        for (const auto &part : body.parts())
            names << part.name, values << part.body;
        QCOMPARE(names, QList<QByteArray>({"channel_id", "stream_title", "stream_art"}));
        QCOMPARE(values,
                 QList<QByteArray>({QByteArray::number(channel().id), title.toUtf8(), bytes}));
        QCOMPARE(body.parts()[2].fileName, image.toUtf8());
        QCOMPARE(body.parts()[2].header("Content-Type"), QByteArray("image/jpeg"));
        if (message != kUpdated)
            return;
        QNetworkAccessManager nam;
        std::unique_ptr<QNetworkReply> art(nam.get(QNetworkRequest(QUrl(c->streamArt()))));
        QVERIFY(QSignalSpy(art.get(), &QNetworkReply::finished).wait(5000));
        QCOMPARE(art->readAll(), bytes);
    }

    // Account A goes on air and off and signs out, with its channel record still on its way;
    // account B signs in and its channel cannot be fetched. Nothing of A is left: a press of
    // Start is refused with a message, nothing reaches icecast2 and the backend hears of no
    // start. The refusal fetches the record again, and B's own arrives.
    void accountSwitch() {
        const auto restoreToken = qScopeGuard([this] { settings::setToken(m_token); });
        const int channelB = m_backend->state().addAccount("b@castora.local", "second").channelId;
        const QString mountB = m_backend->state().channelById(channelB)->mountPoint;
        AuthController auth(m_backend.client());
        auto c = controller();
        connect(&auth, &AuthController::signedOut, c.get(), &StreamController::resetAccount);
        const auto signIn = [&](const QString &email, const QString &password) {
            auth.login(email, password);
            return QTest::qWaitFor([&] { return auth.loggedIn(); }, 10000);
        };

        QVERIFY(signIn(dev::DevState::kDemoEmail, dev::DevState::kDemoPassword));
        c->fetchChatToken();
        QVERIFY(answered(*c) && !c->chatToken().isEmpty());
        QVERIFY(live::pressStart(*c));
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QVERIFY(live::pressStop(*c));
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
        c->fetchChannel();
        auth.logout();
        QVERIFY(answered(*c));
        QCOMPARE(c->mountPoint(), QString());
        QVERIFY(c->ChannelSlug().isEmpty() && c->chatToken().isEmpty() && !c->subStatus());

        QVERIFY(signIn("b@castora.local", "second"));
        m_backend->failNext(1, 500, "api/channel/user-channel");
        c->fetchChannel();
        QVERIFY(answered(*c));
        m_backend->clearRequests();
        QSignalSpy completed(c.get(), &StreamController::requestCompleted);
        c->startStop();
        QCOMPARE(completed.size(), 1);
        QCOMPARE(completed.at(0), (QVariantList{engine::kNoMountMessage, true}));
        QVERIFY(!c->isBusy() && !c->jobInProgress() && !c->streaming());
        QCOMPARE(m_icecast.sources().size(), 0);
        QVERIFY(answered(*c));
        QCOMPARE(posted(kStartStream), 0);
        QCOMPARE(c->mountPoint(), mountB);
    }
};

CASTORA_TEST_MAIN(StreamControllerTest)
#include "tst_streamcontroller.moc"
