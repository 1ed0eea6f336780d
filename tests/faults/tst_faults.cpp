// Fault runs of a whole broadcast on real parts: RtAudio capturing a PulseAudio virtual
// microphone that plays a 440 Hz tone, a real icecast2, the stand-in backend, the recordings
// database. icecast2 is killed and restarted at random moments, stopped for a few seconds or
// for half a minute, down at the press, and the path to it goes silent for a while; the
// recordings folder runs out of space or is removed; the microphone vanishes or stalls. And
// speech through voice processing reaches the recording and the listeners leveled.
// Through all of it the broadcast goes on, listeners are back at the live moment, the
// recording holds what it should, and the user hears of each problem once. Before going on
// air the meter shows the microphone's level and nothing is encoded.
//
// The seed of the random moments is printed; CASTORA_FAULT_SEED=<seed> runs the same schedule
// again.
#include "DevServer.h"
#include "LiveBroadcast.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "RtAudioInput.h"
#include "SettingsStore.h"
#include "StreamController.h"
#include "TestMain.h"
#include "UploadRoutes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <cmath>
#include <future>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace castora;
using namespace castora::test;

namespace {

constexpr std::size_t kBufferFrames = 16384; // what the controller asks the device for
// About 25 s of speech for the voice processing row.
const char *const kSpeech =
    "Good evening, and welcome to the late show. Tonight we talk about the old harbour, the "
    "boats, and the people who built them. My first guest has spent forty years repairing "
    "wooden hulls by hand, and she learned the trade from her father. Later we hear from the "
    "choir that sings every Sunday by the water. The chat is open for the whole hour, so send "
    "your questions and your memories. Now let us begin.";

// The 10-minute run outlasts QtTest's watchdog, which ends a test function after 5 minutes.
const bool kWatchdogSet = qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT") ||
                          qputenv("QTEST_FUNCTION_TIMEOUT", "1500000");

} // namespace

class FaultRunsTest : public QObject {
    Q_OBJECT

    dev::DevServer m_backend;
    IcecastServer m_icecast;
    VirtualMicrophone m_microphone;
    QString m_mount;
    std::unique_ptr<engine::RtAudioInput> m_input;
    std::unique_ptr<RecordingController> m_recordings;
    std::unique_ptr<StreamController> m_controller; // a fresh one for every case

    bool requested(const QString &path) const { return !m_backend.requests(path).isEmpty(); }

    // The listed recording of the file at `path`; null when there is none.
    const RecordingModel *recording(const QString &path) const {
        const QList<RecordingModel *> &all = m_recordings->recordings();
        const auto found = std::find_if(all.begin(), all.end(),
                                        [&](const RecordingModel *r) { return r->path() == path; });
        return found == all.end() ? nullptr : *found;
    }

    // A controller on the demo channel that reaches icecast2 on `icecastPort`, wired to the
    // recordings as the program wires it: listed from the start, uploadable once closed.
    std::unique_ptr<StreamController> makeController(quint16 icecastPort) {
        auto c = std::make_unique<StreamController>(
            ServiceConfig::local(m_backend.port(), 0, icecastPort), *m_input);
        c->setMountPoint(m_mount);
        c->setSubStatus(true);
        c->setStreamTitle(QStringLiteral("Fault Run"));
        RecordingController *recordings = m_recordings.get();
        connect(c.get(), &StreamController::recordingOpened, recordings,
                [recordings](const QString &name, const QString &path) {
                    recordings->addRecording(name, path);
                    recordings->recordingStarted(path);
                });
        connect(c.get(), &StreamController::recordingClosed, recordings,
                &RecordingController::recordingFinished);
        connect(c.get(), &StreamController::recordingMoved, recordings,
                &RecordingController::recordingMoved);
        connect(c.get(), &StreamController::recordingDiscarded, recordings,
                &RecordingController::recordingDiscarded);
        return c;
    }

    // The recording of the broadcast just stopped holds every buffer the device delivered,
    // outages or not; the device delivered the whole time on air (PulseAudio holds the first
    // buffers back for up to 1.8 s); and the tone runs through every outage: no second of the
    // file is silent once it began.
    void checkWholeBroadcast(const QString &path, qint64 pressedAt, qint64 onAirAt, qint64 stopAt,
                             qint64 offAirAt) {
        StreamController &c = *m_controller;
        const int rate = int(c.sampleRate());
        QCOMPARE(c.engine().droppedBuffers(), 0);
        audio::Decoded decoded;
        const QString problem =
            live::checkRecording(path, c.engine(), rate, kBufferFrames, &decoded);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const double captured = double(c.engine().capturedFrames()) / rate;
        QVERIFY2(captured > (stopAt - onAirAt) / 1000.0 - 2.5 &&
                     captured < (offAirAt - pressedAt) / 1000.0 + 1.0,
                 qPrintable(QString::asprintf("captured %.2f s in %.2f s on air", captured,
                                              (stopAt - onAirAt) / 1000.0)));
        std::size_t from = 0;
        while (from < decoded.samples.size() && std::abs(int(decoded.samples[from])) < 8000)
            ++from;
        double quietest = 1e9;
        for (std::size_t at = from; at + rate <= decoded.samples.size(); at += std::size_t(rate))
            quietest = std::min(quietest, audio::rms(decoded.samples, at, std::size_t(rate)));
        QVERIFY2(quietest > 3000.0, qPrintable(QString::number(quietest)));
    }

private slots:
    void initTestCase() {
        engine::ignoreBrokenPipe();
        QVERIFY(m_microphone.start());
        QVERIFY(m_microphone.playTone(440, 1500)); // outlasts the long run
        QVERIFY(m_icecast.start() && m_backend.listen() != 0);
        m_mount = m_backend.state().demoChannel().mountPoint;
        settings::setToken(m_backend.state().issueToken(dev::DevState::kDemoEmail));
        QVERIFY(initDatabase());
        const ServiceConfig config = ServiceConfig::local(m_backend.port(), 0, m_icecast.port());
        m_recordings = std::make_unique<RecordingController>(config);
        m_input = std::make_unique<engine::RtAudioInput>();
    }

    void init() {
        m_backend.clearFaults();
        // icecast2 lets a mount go a moment after its source left.
        QTRY_VERIFY_WITH_TIMEOUT(!m_icecast.hasMount(m_mount), 15000);
        m_controller = makeController(m_icecast.port());
        QVERIFY2(m_controller->rowCount() > 0, "PulseAudio lists no input device");
    }

    // A failed check must not leave the next case a broadcast on air or a server down.
    void cleanup() {
        m_backend.clearFaults();
        if (m_controller->streaming())
            QVERIFY(live::pressStop(*m_controller));
        m_controller.reset();
        if (!m_icecast.isRunning())
            QVERIFY(m_icecast.restart());
    }

    // Outages of the streaming server and of the path to it, during a broadcast or at its start,
    // each with its down and up steps, on real parts. Every row holds:
    //  - back: a player hears the stream again within `backWithin` ms of icecast2 taking sources
    //    again (or of the path healing), and the connection is reopened once per outage;
    //  - the bar: an outage shorter than the ten send attempts (they fail 9 s after the kill at
    //    the earliest) shows nothing; a kill that outlasts them (12.5 s with room) shows the loss,
    //    after the tenth failed attempt, then the restored bar, hidden 4 s later;
    //  - the recording holds every buffer the device delivered, the tone through every outage.
    // The rows:
    //  - "seeded": icecast2 killed and restarted at random moments, down 20 s the first time,
    //    then for a random while (shorter and longer than the attempts take: there the bar's
    //    check depends on the draw); the seed is printed, CASTORA_FAULT_SEED replays it;
    //  - "kill 5 s": shorter than the attempts, so never a bar;
    //  - "silent 30 s": the path goes silent as a dead route or a frozen NAT does, then heals:
    //    back within 3 s, connection attempts made during the silence notwithstanding;
    //  - "marks": time marks in the microphone's sound (a beep every 2 s, each at a pitch of its
    //    own): how late a player hears the broadcaster before icecast2 goes away for 30 s and
    //    from a few seconds after it is back, counting only marks made after the player joined
    //    (icecast2 hands a joining player a burst of older audio): what piled up during the outage
    //    goes out at once, so the player is as close to the live moment as before. Then a 12 s
    //    kill and a stop the moment icecast2 is back: a player who joined then still receives
    //    the broadcast to its end;
    //  - "at the press": Start pressed while icecast2 is down, up 15 s later: the broadcast
    //    records from the press and says it is not on air yet; it goes live by itself (listed
    //    within 3 s of the server taking sources), the backend hears of it once it is live and
    //    of its end, once each, and the recording holds everything from the press to the stop.
    void outages_data() {
        QTest::addColumn<QString>("path");   // "kill" or "silent"
        QTest::addColumn<int>("seconds");    // on air in all (seeded rows)
        QTest::addColumn<int>("outages");    // how many
        QTest::addColumn<int>("down");       // ms; 0: drawn from the seed
        QTest::addColumn<int>("backWithin"); // ms
        QTest::addColumn<QString>("extra");  // "", "marks", "press"
        row("seeded", "kill", 150, 3, 0, 2000, "");
        row("seeded long", "kill", 600, 10, 0, 2000, "");
        row("kill 5 s", "kill", 0, 1, 5000, 2000, "");
        row("silent 30 s", "silent", 0, 1, 30000, 3000, "");
        row("marks", "kill", 0, 1, 30000, 2000, "marks");
        row("at the press", "kill", 0, 1, 15000, 3000, "press");
    }
    void outages() {
        QFETCH(QString, path);
        QFETCH(int, seconds);
        QFETCH(int, outages);
        QFETCH(int, down);
        QFETCH(int, backWithin);
        QFETCH(QString, extra);
        const bool silent = path == "silent", marks = extra == "marks", press = extra == "press";
        if (silent)
            CASTORA_IN_OWN_NAMESPACES("--net");
        std::unique_ptr<test::SilentPath> silentPath;
        if (silent) {
            silentPath = std::make_unique<test::SilentPath>(m_icecast.port());
            QVERIFY(silentPath->start());
            m_controller = makeController(silentPath->port());
        }
        const quint32 seed = qEnvironmentVariableIsSet("CASTORA_FAULT_SEED")
                                 ? quint32(qEnvironmentVariable("CASTORA_FAULT_SEED").toUInt())
                                 : QRandomGenerator::system()->generate();
        if (down == 0)
            qInfo("Fault run seed %u (CASTORA_FAULT_SEED=%u runs this schedule again)", seed, seed);
        QRandomGenerator random(seed);
        StreamController &c = *m_controller;
        QSignalSpy closed(&c, &StreamController::recordingClosed);
        QTemporaryDir work;
        const auto playTone = qScopeGuard([&] { m_microphone.playTone(440, 1500); });
        // When the network bar turned to loss, restored and hidden, as the GUI thread saw it.
        QElapsedTimer clock;
        clock.start();
        const live::BarWatch bar(c, clock); // disconnects with this function's locals
        const qint64 playedAt = clock.elapsed();
        if (marks) {
            const QString file = work.filePath(QStringLiteral("marks.wav"));
            QVERIFY(audio::writeMarks(file, 60));
            QVERIFY(m_microphone.play(file));
        }
        // The down and up steps of one outage, icecast2 or the path coming back on a worker
        // thread, which then waits for a player to hear the stream.
        struct Back {
            qint64 killingAt = -1, killedAt = -1, restartAt = -1, backAt = -1, heardAt = -1;
        };
        const auto goDown = [&](Back &back) {
            back.killingAt = clock.elapsed();
            const bool gone = silent ? silentPath->freeze() : m_icecast.kill();
            back.killedAt = clock.elapsed();
            return gone;
        };
        const auto comeBack = [&](Back &back, bool waitForPlayer) {
            std::atomic<qint64> restartAt{-1}, backAt{-1}, heardAt{-1};
            auto coming = std::async(std::launch::async, [&] {
                restartAt = clock.elapsed();
                if (silent ? !silentPath->heal() : !m_icecast.restart())
                    return;
                const qint64 asking = clock.elapsed();
                backAt = silent ? restartAt.load() : asking; // healed / taking sources
                const qint64 waited = waitForPlayer ? m_icecast.waitForAudio(m_mount, 30000) : -1;
                if (waited >= 0)
                    heardAt = asking + waited; // when its first bytes came
            });
            const bool ready = QTest::qWaitFor(
                [&] {
                    return coming.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
                },
                60000);
            back.restartAt = restartAt;
            back.backAt = backAt;
            back.heardAt = heardAt;
            return ready && back.backAt >= 0;
        };

        const qint64 pressedAt = clock.elapsed();
        if (press) {
            // Recording, not on air yet, while the server is away; live by itself once it is back.
            m_backend.clearRequests();
            c.showInputLevel(true); // the broadcast screen's meter: the capture runs at the press
            QTRY_VERIFY_WITH_TIMEOUT(c.micLevel() > 0.4f, 5000);
            Back back;
            QVERIFY(goDown(back));
            const qint64 pressAt = clock.elapsed();
            QVERIFY(live::pressStart(c, 15000, false));
            QTRY_VERIFY_WITH_TIMEOUT(c.connectingToServer(), 3000);
            QVERIFY(!c.live() && !requested("api/channel/start-stream"));
            QTest::qWait(int(std::max<qint64>(0, pressAt + down - clock.elapsed())));
            QVERIFY(c.connectingToServer() && c.streaming());
            QVERIFY(comeBack(back, false));
            QTRY_VERIFY_WITH_TIMEOUT(m_icecast.hasMount(m_mount), backWithin + 2000);
            const qint64 listedAfter = clock.elapsed() - back.backAt;
            qInfo("listed %lld ms after icecast2 took sources again", listedAfter);
            QVERIFY2(listedAfter <= backWithin, qPrintable(QString::number(listedAfter)));
            QTRY_VERIFY(c.live() && !c.connectingToServer());
            QVERIFY(live::hearsTone(m_icecast, m_mount, c));
            const qint64 stopAt = clock.elapsed();
            QVERIFY(live::pressStop(c));
            QCOMPARE(m_backend.requests("api/channel/start-stream").size(), 1);
            QCOMPARE(m_backend.requests("api/channel/stop-stream").size(), 1);
            QCOMPARE(closed.size(), 1);
            const int rate = int(c.sampleRate());
            const audio::Decoded decoded =
                audio::decodeMp3File(closed.at(0).at(0).toString(), rate);
            const double recorded = double(decoded.samples.size()) / rate;
            const double sincePress = (stopAt - pressAt) / 1000.0;
            qInfo("%.2f s recorded, %.2f s from the press to the stop", recorded, sincePress);
            QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
            QVERIFY(std::abs(recorded - sincePress) <= 2.0);
            return;
        }

        QVERIFY(live::pressStart(c));
        const qint64 onAirAt = clock.elapsed();
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        // MP3 at the Standard bitrate, which icecast2 lists a moment after the mount.
        QCOMPARE(m_icecast.source(m_mount).value("server_type").toString(), QString("audio/mpeg"));
        QTRY_COMPARE(m_icecast.source(m_mount).value("bitrate").toVariant().toInt(), 96);
        QCOMPARE(int(c.sampleRate()), 22050);
        const int rate = int(c.sampleRate());

        // Each mark a player heard: when it was made (on `clock`) and when its bytes arrived.
        const double bytesPerSample = 96000.0 / 8 / rate;
        const auto heard = [&](const IcecastServer::Reception &got, bool sinceJoining) {
            QList<std::pair<qint64, qint64>> found;
            const audio::Decoded decoded = audio::decodeMp3(got.audio, rate);
            for (const auto &[at, mark] : audio::findMarks(decoded.samples, rate)) {
                const qint64 made = playedAt + qint64(mark * audio::kMarkSeconds * 1000);
                const qint64 arrived = got.arrivalOf(qint64(double(at) * bytesPerSample));
                if ((!sinceJoining || made > got.joinedAt) && arrived >= 0)
                    found.append({made, arrived});
            }
            return found;
        };
        const auto lateness = [&] {
            QList<qint64> late;
            for (const auto &[made, arrived] : heard(m_icecast.receive(m_mount, 8.0, clock), true))
                late.append(arrived - made);
            std::sort(late.begin(), late.end());
            return late;
        };
        QList<qint64> before;

        // About 20 s per outage (down, the retries, the player); the rest is time on air.
        const int upMost = std::max(10000, seconds * 1000 / outages - 20000);
        for (int i = 1; i <= outages; ++i) {
            const int up = down == 0 ? 5000 + int(random.bounded(quint32(upMost - 5000))) : 6000;
            const int downMs = down != 0 ? down
                               : i == 1  ? 20000
                                         : 200 + int(random.bounded(16000u));
            if (marks)
                before = lateness();
            else
                QTest::qWait(up);
            QVERIFY(c.streaming());
            const int failedBefore = c.engine().sender().failedSends();
            const qsizetype losses = bar.times("loss").size();
            Back back;
            QVERIFY(goDown(back));
            QTest::qWait(downMs);
            if (downMs >= 10000)
                QVERIFY(!m_icecast.hasMount(m_mount)); // icecast2 gave up a silent source
            QVERIFY2(comeBack(back, !marks), "the server or the path did not come back");
            QTRY_COMPARE(c.engine().sender().reconnects(), i);
            const bool lost = bar.times("loss").size() > losses;
            const int failed = c.engine().sender().failedSends() - failedBefore;
            const QString timeline = QString::asprintf(
                "outage %d/%d: on air %d ms, down %d ms, %d failed attempts; after it began: "
                "lost %lld, back %lld, heard %lld ms (%lld ms after it was back)",
                i, outages, up, downMs, failed,
                lost ? bar.times("loss").last() - back.killingAt : -1, back.backAt - back.killingAt,
                back.heardAt - back.killingAt, back.heardAt - back.backAt);
            qInfo().noquote() << timeline;
            if (!marks) {
                QVERIFY2(back.heardAt >= 0, "the stream did not come back");
                QVERIFY2(back.heardAt - back.backAt <= backWithin, qPrintable(timeline));
            }
            // The first send fails at the kill at the earliest, up to two chunks (0.74 s each)
            // after it returned at the latest; each further attempt starts a second after the
            // one before and is refused at once. So the tenth fails 9 s after the kill began
            // at the earliest: a server back by then costs no bar. One back only after the
            // kill, the first failure and the nine seconds (12.5 s with room) does.
            const bool shortOutage = back.backAt <= back.killingAt + 9000;
            if (down != 0 && down < 9000)
                QVERIFY2(shortOutage, qPrintable(timeline)); // the row's premise
            if (shortOutage)
                QVERIFY2(!lost && failed < 10, qPrintable(timeline));
            if (back.restartAt >= back.killedAt + 12500)
                QVERIFY2(lost, qPrintable(timeline));
            if (!lost) {
                QCOMPARE(bar.times("restored").size(), losses);
                QVERIFY(!c.networkBarVisible());
            } else {
                if (!silent) { // a silent path's attempts each wait for the stall limit
                    const qint64 retrying = bar.times("loss").last();
                    QVERIFY2(retrying >= back.killingAt + 9000 && retrying <= back.killedAt + 12500,
                             qPrintable(timeline));
                    QCOMPARE(failed, 10);
                }
                QTRY_COMPARE(bar.times("restored").size(), losses + 1);
                // The green bar hides itself 4 s after it showed.
                QTRY_COMPARE_WITH_TIMEOUT(bar.times("hidden").size(), losses + 1, 6000);
                const qint64 shown = bar.times("hidden").last() - bar.times("restored").last();
                QVERIFY2(shown >= 3900 && shown <= 4600, qPrintable(QString::number(shown)));
            }
            if (!marks)
                QVERIFY(live::hearsTone(m_icecast, m_mount, c));
        }

        if (marks) {
            QTest::qWait(3000); // a few seconds after the mount is back
            const QList<qint64> after = lateness();
            const auto join = [](const QList<qint64> &values) {
                QStringList texts;
                for (qint64 value : values)
                    texts << QString::number(value);
                return texts.join(QLatin1Char(','));
            };
            const QString late = QStringLiteral("ms from a mark to a player hearing it: before "
                                                "the outage %1; after it %2")
                                     .arg(join(before), join(after));
            qInfo().noquote() << late;
            QVERIFY2(before.size() >= 2 && after.size() >= 2, qPrintable(late));
            QVERIFY2(std::abs(after.at(after.size() / 2) - before.at(before.size() / 2)) <= 1500,
                     qPrintable(late));
            QVERIFY(c.engine().sender().catchUpChunks() > 10);

            // Stopped as soon as the server is back, with a player on the mount: it receives the
            // marks up to the stop, the last of them made within a player's lateness and a
            // mark's spacing of the stop.
            Back again;
            QVERIFY(goDown(again));
            QTest::qWait(12000);
            QVERIFY(comeBack(again, false));
            QTRY_VERIFY_WITH_TIMEOUT(m_icecast.hasMount(m_mount), 10000);
            auto player = std::async(std::launch::async,
                                     [&] { return m_icecast.receive(m_mount, 20.0, clock); });
            QTRY_VERIFY(m_icecast.source(m_mount).value("listeners").toInt() > 0);
            // icecast2 counts a joining player before it sends it anything; a second player
            // that joined later receiving audio means the first one receives too.
            QVERIFY(m_icecast.waitForAudio(m_mount, 10000) >= 0);
            const qint64 stopAt = clock.elapsed();
            QVERIFY(live::pressStop(c));
            QTRY_VERIFY_WITH_TIMEOUT(
                player.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 25000);
            const QList<std::pair<qint64, qint64>> end = heard(player.get(), false);
            QVERIFY(!end.isEmpty());
            const qint64 lastMade = end.last().first;
            qInfo("the last mark a player heard was made %lld ms before the stop",
                  stopAt - lastMade);
            QVERIFY2(stopAt - lastMade <= before.last() + 2 * qint64(audio::kMarkSeconds * 1000),
                     qPrintable(QString::number(stopAt - lastMade)));
            return;
        }
        QTest::qWait(int(std::max<qint64>(0, onAirAt + seconds * 1000 - clock.elapsed())));
        const qint64 stopAt = clock.elapsed();
        QVERIFY(live::pressStop(c));
        const qint64 offAirAt = clock.elapsed();
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
        QCOMPARE(closed.size(), 1);
        checkWholeBroadcast(closed.at(0).at(0).toString(), pressedAt, onAirAt, stopAt, offAirAt);
    }

    // The broadcast screen shows the input's level before going on air: the meter moves with
    // the tone and stays at zero (not one change of level or clip state) with silence, also
    // on a stream stopped by a broadcast and started again (PulseAudio keeps what it heard
    // meanwhile), and nothing of it is encoded: icecast2 takes no source connection and the
    // recordings folder gets no file. Then the tone moves the meter on the stream already running.
    void inputCheck_data() {
        QTest::addColumn<bool>("tone");
        QTest::addColumn<bool>("afterBroadcast");
        row("tone", true, false);
        row("silence", false, false);
        row("silence after a broadcast", false, true);
    }
    void inputCheck() {
        QFETCH(bool, tone);
        QFETCH(bool, afterBroadcast);
        StreamController &c = *m_controller;
        if (afterBroadcast) { // no screen: the stop stops the stream, the check starts it
            QVERIFY(live::pressStart(c));
            QTRY_VERIFY(c.engine().capturedFrames() > 0);
            QVERIFY(live::pressStop(c));
            QTRY_COMPARE(c.micLevel(), 0.0f); // the last buffer has played out on the meter
        }
        const quint64 captured = c.engine().capturedFrames();
        m_backend.clearRequests();
        const QStringList files = QDir(c.getAppWritablePath()).entryList(QDir::Files);
        const int sources = m_icecast.sourceConnections();
        QVERIFY(sources >= 0);
        if (!tone) {
            QVERIFY(m_microphone.quiet());
            // What PulseAudio holds for a running record stream (about a buffer) is the tone's
            // last moments; a stream that ran through the pause reads it after its start.
            if (afterBroadcast)
                QTest::qWait(1000);
        }
        const auto playAgain = qScopeGuard([&] { m_microphone.playTone(440, 1500); });
        QSignalSpy levels(&c, &StreamController::micLevelChanged);
        QSignalSpy clipping(&c, &StreamController::clippingChanged);
        c.showInputLevel(true);
        if (tone) {
            QTRY_VERIFY_WITH_TIMEOUT(c.micLevel() > 0.4f, 5000);
        } else {
            // PulseAudio's first data comes within 1.8 s, then a buffer every 0.74 s.
            QTest::qWait(4000);
            QCOMPARE(levels.size() + clipping.size(), 0);
            QCOMPARE(c.micLevel(), 0.0f);
            QVERIFY(m_microphone.playTone(440, 1500));
            QTRY_VERIFY_WITH_TIMEOUT(c.micLevel() > 0.4f, 3000);
        }
        QVERIFY(c.inputProblem().isEmpty());
        QCOMPARE(c.clipping(), false); // the tone peaks at half of full scale
        QTest::qWait(1000);            // more buffers go by
        QCOMPARE(m_icecast.sourceConnections(), sources);
        QVERIFY(!m_icecast.hasMount(m_mount));
        QCOMPARE(QDir(c.getAppWritablePath()).entryList(QDir::Files), files);
        QVERIFY(!requested("api/channel/start-stream"));
        QCOMPARE(c.engine().capturedFrames(), captured);
    }

    // Voice processing through the whole engine: espeak-ng's speech at about -30 LUFS on the
    // microphone, the switch on. The recording and a listener's stream both carry it leveled
    // to about -16 LUFS once the leveler has caught up (the first seconds left out). The other
    // rows play a steady tone, which noise suppression rightly takes for noise: they keep it
    // off.
    void voiceProcessing() {
        StreamController &c = *m_controller;
        QTemporaryDir work;
        const QString spoken = work.filePath(QStringLiteral("spoken.wav"));
        QCOMPARE(QProcess::execute(QStringLiteral("espeak-ng"), {"-w", spoken, kSpeech}), 0);
        int rate = 0;
        std::vector<qint16> speech = audio::readWav(spoken, &rate);
        QVERIFY2(speech.size() > std::size_t(15 * rate), "espeak-ng must speak the text");
        const double gain = std::pow(10.0, (-30.0 - audio::integratedLoudness(speech, rate)) / 20);
        for (qint16 &sample : speech)
            sample = qint16(std::lround(sample * gain));
        const QString quiet = work.filePath(QStringLiteral("speech.wav"));
        QVERIFY(audio::writeWav(quiet, speech, rate));
        const auto tone = qScopeGuard([&] {
            c.setVoiceProcessing(false);
            m_microphone.playTone(440, 1500);
        });
        c.setVoiceProcessing(true);
        QVERIFY(m_microphone.play(quiet));
        QVERIFY(live::pressStart(c));
        const QString recording = c.recordingPath();
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QElapsedTimer clock;
        clock.start();
        const IcecastServer::Reception heard = m_icecast.receive(m_mount, 16.0, clock);
        QVERIFY(live::pressStop(c));

        const int broadcastRate = int(c.sampleRate());
        const std::size_t settled = std::size_t(8 * broadcastRate);
        const audio::Decoded file = audio::decodeMp3File(recording, broadcastRate);
        const audio::Decoded stream = audio::decodeMp3(heard.audio, broadcastRate);
        const double fileLufs = audio::integratedLoudness(file.samples, broadcastRate, settled);
        const double streamLufs = audio::integratedLoudness(stream.samples, broadcastRate, settled);
        qInfo("speech played at %.1f LUFS; recording %.1f LUFS, stream %.1f LUFS (after 8 s)",
              audio::integratedLoudness(speech, rate), fileLufs, streamLufs);
        QVERIFY(file.ok && file.errors.isEmpty() && stream.ok);
        QVERIFY(stream.samples.size() > settled + std::size_t(3 * broadcastRate));
        QVERIFY(std::abs(fileLufs + 16.0) <= 2.5);
        QVERIFY(std::abs(streamLufs + 16.0) <= 2.5);
    }

    // The only input vanishes (its module unloaded, leaving no source and no sink) and comes
    // back, off air and on air, while the broadcast screen shows the level: the program lives
    // on and the microphone list empties and fills again within 2 s each time. Off air the
    // meter area says there is no input, and shows the level again by itself. On air the
    // broadcast goes on for the 10 s without it: the user hears within 2 s that the microphone
    // is lost, silence goes out and into the file in its place, the mount stays listed and a
    // listener stays connected all along; when the source is back capture resumes on it by
    // itself, and the recording decodes clean and is as long as the time on air, within a
    // buffer and the encoder's delay. The same, the device staying listed, when the source
    // stops delivering without a word for 10 s (suspended): the user is told within 3 s.
    void deviceLoss_data() {
        QTest::addColumn<bool>("onAir");
        QTest::addColumn<bool>("stall");
        row("off air", false, false);
        row("on air", true, false);
        row("on air, stalled", true, true);
    }
    void deviceLoss() {
        QFETCH(bool, onAir);
        QFETCH(bool, stall);
        StreamController &c = *m_controller;
        const QString name = c.currentMic()->micName();
        QCOMPARE(c.rowCount(), 1);
        QSignalSpy closed(&c, &StreamController::recordingClosed);
        c.showInputLevel(true);
        QTRY_VERIFY_WITH_TIMEOUT(c.micLevel() > 0.4f, 5000);
        QElapsedTimer clock;
        clock.start();
        qint64 onAirFrom = 0;
        constexpr double kListenSeconds = 19.0;
        std::future<std::pair<qint64, QByteArray>> listener;
        if (onAir) {
            QVERIFY(live::pressStart(c));
            onAirFrom = clock.elapsed();
            QTRY_VERIFY(m_icecast.hasMount(m_mount));
            listener = std::async(std::launch::async, [this] {
                QElapsedTimer listened;
                listened.start();
                const QByteArray heard = m_icecast.listen(m_mount, kListenSeconds);
                return std::pair(listened.elapsed(), heard);
            });
            QTRY_VERIFY(m_icecast.source(m_mount).value("listeners").toInt() > 0);
            QTest::qWait(1500);
        }
        const qint64 unpluggedAt = clock.elapsed();
        bool unplugged = stall ? m_microphone.suspend(true) : m_microphone.unplug();
        const auto replug = qScopeGuard([&] {
            if (unplugged)
                stall ? m_microphone.suspend(false) : m_microphone.plug();
        });
        QVERIFY(unplugged);
        // Noticed within 2 s (a stall within 3 s: a buffer period and a second without audio):
        // on air the warning, off air the meter area's words.
        const int noticeWithin = stall ? 3000 : 2000;
        QTRY_VERIFY_WITH_TIMEOUT(onAir ? c.microphoneLost() : !c.inputProblem().isEmpty(),
                                 noticeWithin);
        QVERIFY(clock.elapsed() - unpluggedAt <= noticeWithin);
        QCOMPARE(c.microphoneStalled(), stall);
        QVERIFY(c.inputProblem().isEmpty() == onAir);
        QTRY_COMPARE_WITH_TIMEOUT(c.rowCount(), stall ? 1 : 0, 2000);
        // Gone for a while: on air the mount stays listed all the time.
        while (clock.elapsed() < unpluggedAt + (onAir ? 10000 : 3000)) {
            QVERIFY(!onAir || m_icecast.hasMount(m_mount));
            QTest::qWait(500);
        }
        QCOMPARE(c.streaming(), onAir);
        QCOMPARE(c.micLevel(), 0.0f);
        QVERIFY(stall ? m_microphone.suspend(false) : m_microphone.plug());
        unplugged = false;
        QTRY_COMPARE_WITH_TIMEOUT(c.rowCount(), 1, 2000);
        QCOMPARE(c.currentMic()->micName(), name);
        // Capture resumes by itself: a new stream's first audio comes within 1.8 s.
        QTRY_VERIFY_WITH_TIMEOUT(!c.microphoneLost() && c.inputProblem().isEmpty(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(c.micLevel() > 0.4f, 3000);
        if (!onAir)
            return;
        QTRY_VERIFY_WITH_TIMEOUT(
            listener.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 30000);
        const auto [listened, heard] = listener.get();
        const qint64 stopAt = clock.elapsed();
        QVERIFY(live::pressStop(c));
        const qint64 onAirMs = stopAt - onAirFrom;
        QCOMPARE(closed.size(), 1);
        QVERIFY(requested("api/channel/stop-stream"));

        // The listener stayed all along, fed at the stream's rate (96 kbit/s), and hears the
        // tone again at the end.
        const int rate = int(c.sampleRate());
        QVERIFY2(listened >= kListenSeconds * 1000 - 500, qPrintable(QString::number(listened)));
        QVERIFY2(heard.size() > kListenSeconds * 12000 * 0.8,
                 qPrintable(QString::number(heard.size())));
        const audio::Decoded stream = audio::decodeMp3(heard, rate);
        const std::vector<qint16> end(stream.samples.end() - rate, stream.samples.end());
        QVERIFY(std::abs(audio::dominantFrequency(end, rate) - 440.0) < 5.0);

        const audio::Decoded decoded = audio::decodeMp3File(closed.at(0).at(0).toString(), rate);
        QVERIFY2(decoded.ok && decoded.errors.isEmpty(), qPrintable(decoded.errors));
        // As long as the time on air, within a buffer (the one in the device at the start and
        // at the stop) and the encoder's delay and padding.
        const double expected = double(onAirMs) * rate / 1000.0;
        const double slack =
            stall ? 2.0 * rate
                  : double(kBufferFrames + std::size_t(c.engine().encoderDelay()) + 2 * 576);
        const QString length = QString::asprintf(
            "%zu frames recorded in %lld ms on air (%.0f), %llu of them silence",
            decoded.samples.size(), onAirMs, expected, c.engine().silenceFrames());
        qInfo().noquote() << length;
        QVERIFY2(std::abs(double(decoded.samples.size()) - expected) <= slack, qPrintable(length));
        // With the silence of the time without the microphone in it.
        QVERIFY(c.engine().silenceFrames() > quint64(9 * rate));
    }

    // The recordings folder removed on air, the library's database with it: within a couple of
    // seconds the broadcast goes on in a new file in the folder made again, which the library
    // (made anew) lists; the user hears of it once. The new file holds the rest of the
    // broadcast, is the one the stop reports, and the row of the removed file is gone.
    void folderRemoved() {
        StreamController &c = *m_controller;
        QSignalSpy messages(&c, &StreamController::requestCompleted);
        QSignalSpy opened(&c, &StreamController::recordingOpened);
        QSignalSpy moved(&c, &StreamController::recordingMoved);
        QSignalSpy closed(&c, &StreamController::recordingClosed);
        QVERIFY(live::pressStart(c));
        QTRY_VERIFY(c.engine().recorder().chunksWritten() > 2);
        const QString first = opened.at(0).at(1).toString();
        QVERIFY(recording(first));
        const QString folder = QDir(c.getAppWritablePath()).absolutePath();
        QVERIFY(recordingsDataDirectory().startsWith(folder + QLatin1Char('/')));
        QVERIFY(QDir(folder).removeRecursively());
        QElapsedTimer removed;
        removed.start();
        // Looked at every 2 s, as a chunk is written (every 0.74 s).
        QTRY_COMPARE_WITH_TIMEOUT(moved.size(), 1, 4000);
        const QString path = moved.at(0).at(2).toString();
        QVERIFY(QFileInfo(path).absolutePath() == folder && QFileInfo::exists(path));
        QTRY_VERIFY(recording(path) && m_recordings->isRecording(recording(path)->id()));
        QVERIFY(!recording(first));
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.at(0).at(0).toString(),
                 QString::fromLatin1(StreamController::kRecordingMovedMessage));
        QTest::qWait(4000);
        const double sinceRemoval = removed.elapsed() / 1000.0;
        QVERIFY(live::pressStop(c));
        QCOMPARE(messages.size(), 1);
        QCOMPARE(closed.size(), 1);
        QCOMPARE(closed.at(0).at(0).toString(), path);
        QVERIFY(!m_recordings->isRecording(recording(path)->id()));
        const audio::Decoded decoded = audio::decodeMp3File(path, int(c.sampleRate()));
        const double seconds = double(decoded.samples.size()) / c.sampleRate();
        qInfo("%.2f s in the new file, %.2f s on air after the removal", seconds, sinceRemoval);
        QVERIFY2(decoded.ok && seconds >= sinceRemoval - 0.5 && seconds <= sinceRemoval + 3.0,
                 qPrintable(decoded.errors));
    }

    // The recordings folder on a small filesystem with little room left, the library's database
    // with it: the recording stops where the room ends and says so once, the broadcast goes
    // on, the stop is prompt, what fitted decodes, and the recording is listed. (That a failed
    // write is said once and the broadcast goes on: tst_streamcontroller's recordingFailures;
    // that a closed recording uploads: tst_recordinguploads.)
    void fullDisk() {
        if (::geteuid() != 0)
            QSKIP("Mounting a small tmpfs over the recordings folder needs root; not run");
        StreamController &c = *m_controller;
        const QString folder = QDir(c.getAppWritablePath()).absolutePath();
        const QByteArray where = QFile::encodeName(folder);
        QVERIFY(QDir().mkpath(folder));
        QVERIFY2(::mount("tmpfs", where.constData(), "tmpfs", 0, "size=1m") == 0, strerror(errno));
        // The database's folder lies inside the recordings folder: it shares the small
        // filesystem, as it shares the user's disk.
        const auto unmount = qScopeGuard([&] {
            ::umount2(where.constData(), MNT_DETACH);
            initDatabase();
            m_recordings->loadRecordings();
        });
        QVERIFY(recordingsDataDirectory().startsWith(folder + QLatin1Char('/')));
        QVERIFY(initDatabase());
        // Room for about five seconds of the Standard quality's 12,000 bytes a second.
        constexpr qint64 kRoom = 60 * 1024;
        struct statvfs space {};
        QCOMPARE(::statvfs(where.constData(), &space), 0);
        QFile filler(folder + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly) &&
                filler.write(QByteArray(qsizetype(space.f_bavail * space.f_bsize - kRoom), 0)) > 0);
        filler.close();

        QSignalSpy messages(&c, &StreamController::requestCompleted);
        QSignalSpy opened(&c, &StreamController::recordingOpened);
        QVERIFY(live::pressStart(c));
        QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, 20000);
        QVERIFY2(messages.at(0).at(0).toString().contains("could not be written") &&
                     messages.at(0).at(1).toBool(),
                 qPrintable(messages.at(0).at(0).toString()));
        const int sent = c.engine().sender().chunksSent();
        QTRY_VERIFY_WITH_TIMEOUT(c.engine().sender().chunksSent() > sent + 3, 10000);
        QVERIFY(live::pressStop(c, 5000));
        QCOMPARE(messages.size(), 1);

        // What fitted is in the file, and it decodes; the recording is listed.
        QCOMPARE(opened.size(), 1);
        const QString path = opened.at(0).at(1).toString();
        const qint64 size = QFileInfo(path).size();
        QVERIFY2(size > kRoom - 16384 && size <= kRoom, qPrintable(QString::number(size)));
        const auto decoded = audio::decodeMp3File(path, int(c.sampleRate()));
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY(decoded.samples.size() > std::size_t(c.sampleRate()) * 3);
        const RecordingModel *listed = recording(path);
        QVERIFY(listed && !listed->uploadStatus() && !m_recordings->isRecording(listed->id()));
    }
};

CASTORA_TEST_MAIN(FaultRunsTest)
#include "tst_faults.moc"
