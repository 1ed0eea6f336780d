// The broadcast engine without Qt's event loop, against a real icecast2: the libshout
// wrapper's refusals, stalls and cancels, and the start/stop job with its queues, workers,
// encoder flush and recording file. A scripted input plays a tone on its own thread, as the
// audio library's capture thread would.
#include "BroadcastEngine.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <future>

using namespace castora::engine;
using castora::test::IcecastServer;
using castora::test::ScriptedAudioInput;
namespace audio = castora::test::audio;

namespace {

QString newMount() {
    return QStringLiteral("core-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Several MB of real MP3 frames, enough to fill the socket buffers of a frozen server.
QByteArray bulkMp3() {
    Mp3Encoder encoder;
    encoder.configure(44100, settingsForQuality(0), 44100);
    std::vector<qint16> noise(44100);
    quint32 seed = 1;
    for (qint16 &s : noise) {
        seed = seed * 1664525u + 1013904223u;
        s = qint16(seed >> 16);
    }
    QByteArray mp3;
    for (int second = 0; second < 30; ++second) {
        QByteArray chunk;
        encoder.encode(noise.data(), 44100, chunk);
        mp3 += chunk;
    }
    return mp3;
}

template <typename F> bool finishesWithin(F &&work, std::chrono::seconds limit) {
    auto done = std::async(std::launch::async, std::forward<F>(work));
    return done.wait_for(limit) == std::future_status::ready;
}

} // namespace

class EngineCoreTest : public QObject {
    Q_OBJECT

    IcecastServer m_icecast;
    QTemporaryDir m_recordings;

    BroadcastRequest request(const QString &mount, const QString &title = QStringLiteral("Core")) {
        BroadcastRequest r;
        r.deviceName = QStringLiteral("Scripted Microphone");
        r.quality = 2;
        r.bufferFrames = 2048;
        r.icecast.host = QStringLiteral("127.0.0.1");
        r.icecast.port = m_icecast.port();
        r.icecast.password = QString::fromLatin1(IcecastServer::kSourcePassword);
        r.icecast.mount = mount;
        r.recordingsFolder = m_recordings.path();
        r.title = title;
        return r;
    }

    IcecastSettings
    sinkSettings(const QString &mount,
                 const QString &password = QString::fromLatin1(IcecastServer::kSourcePassword)) {
        IcecastSettings s;
        s.host = QStringLiteral("127.0.0.1");
        s.port = m_icecast.port();
        s.password = password;
        s.mount = mount;
        return s;
    }

private slots:
    void initTestCase() {
        ignoreBrokenPipe();
        QVERIFY(m_icecast.start());
        QVERIFY(m_recordings.isValid());
    }

    void cleanup() {
        if (!m_icecast.isRunning()) {
            m_icecast.resume();
            QVERIFY(m_icecast.restart());
        }
        m_icecast.resume();
    }

    void sinkRefusals_data() {
        QTest::addColumn<bool>("serverDown");
        QTest::addColumn<QString>("password");
        QTest::newRow("nothing listening")
            << true << QString::fromLatin1(IcecastServer::kSourcePassword);
        QTest::newRow("wrong password") << false << QStringLiteral("not-the-password");
    }
    void sinkRefusals() {
        QFETCH(bool, serverDown);
        QFETCH(QString, password);
        if (serverDown)
            QVERIFY(m_icecast.kill());
        IcecastSink sink;
        QVERIFY(sink.configure(sinkSettings(newMount(), password)));
        QCOMPARE(sink.open({}), IcecastSink::Status::Failed);
        QVERIFY(!sink.isOpen());
        QVERIFY(!sink.errorText().isEmpty());
        QCOMPARE(sink.send("x", {}), IcecastSink::Status::Failed);
    }

    // The mount appears with the bitrate announced, and goes when the connection closes.
    void sinkOpensMount() {
        const QString mount = newMount();
        IcecastSink sink;
        IcecastSettings settings = sinkSettings(mount);
        settings.bitrate = 96;
        settings.sampleRate = 22050;
        QVERIFY(sink.configure(settings));
        QCOMPARE(sink.open({}), IcecastSink::Status::Ok);
        QCOMPARE(sink.send(bulkMp3().left(20000), {}), IcecastSink::Status::Ok);
        QTRY_VERIFY(m_icecast.hasMount(mount));
        QCOMPARE(m_icecast.source(mount).value(QStringLiteral("server_type")).toString(),
                 QStringLiteral("audio/mpeg"));
        sink.close();
        QTRY_VERIFY(!m_icecast.hasMount(mount));
    }

    // A frozen server stops taking data: the send gives up after its stall limit, or at
    // once when cancelled, instead of blocking its thread.
    void sinkGivesUpOnFrozenServer_data() {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("stall limit") << false;
        QTest::newRow("cancelled") << true;
    }
    void sinkGivesUpOnFrozenServer() {
        QFETCH(bool, cancel);
        IcecastSink sink;
        QVERIFY(sink.configure(sinkSettings(newMount())));
        QCOMPARE(sink.open({}), IcecastSink::Status::Ok);
        QVERIFY(m_icecast.pause());
        const QByteArray bulk = bulkMp3();
        std::atomic<bool> cancelled{false};
        IcecastSink::Status status = IcecastSink::Status::Ok;
        const bool ended = finishesWithin(
            [&] {
                for (int i = 0; i < 200 && status == IcecastSink::Status::Ok; ++i) {
                    if (cancel && i == 3)
                        cancelled = true; // from now on the sends are given up
                    status = sink.send(
                        bulk, [&] { return cancelled.load(); }, std::chrono::milliseconds(500));
                }
            },
            std::chrono::seconds(60));
        QVERIFY(ended);
        QCOMPARE(status, cancel ? IcecastSink::Status::Cancelled : IcecastSink::Status::Failed);
        // Broken until reopened: nothing more goes after a partly sent chunk.
        QCOMPARE(sink.send("more", {}), IcecastSink::Status::Failed);
        QVERIFY(m_icecast.resume());
    }

    // A whole broadcast: the file holds every captured buffer and the encoder's tail, the
    // mount comes and goes, the queues end empty.
    void broadcastRecordsEverything() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        BroadcastEngine engine(input);
        const QString mount = newMount();
        const StartResult started = engine.start(request(mount, QStringLiteral("Whole show")));
        QVERIFY2(started.ok(), qPrintable(started.message));
        QCOMPARE(started.sampleRate, 22050u);
        QVERIFY(
            QFileInfo(started.recordingPath).fileName().startsWith(QStringLiteral("Whole_show_")));
        QCOMPARE(started.recordingName, QStringLiteral("Whole_show"));
        QTRY_VERIFY(m_icecast.hasMount(mount));
        QTRY_VERIFY(engine.capturedFrames() > 22050 * 2);
        QTRY_VERIFY(engine.sender().chunksSent() > 5);

        StopResult stopped;
        QVERIFY(finishesWithin([&] { stopped = engine.stop(); }, std::chrono::seconds(15)));
        QVERIFY(stopped.wasOnAir);
        QCOMPARE(stopped.recordingPath, started.recordingPath);
        QCOMPARE(engine.sendQueue().size(), std::size_t(0));
        QCOMPARE(engine.recordQueue().size(), std::size_t(0));
        QTRY_VERIFY(!m_icecast.hasMount(mount));

        QCOMPARE(QFileInfo(stopped.recordingPath).size(), stopped.recordedBytes);
        const auto decoded = audio::decodeMp3File(stopped.recordingPath, 22050);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        const std::size_t captured = std::size_t(stopped.capturedFrames);
        QVERIFY2(decoded.samples.size() >= captured,
                 qPrintable(QStringLiteral("%1 < %2").arg(decoded.samples.size()).arg(captured)));
        QVERIFY(decoded.samples.size() <= captured + std::size_t(engine.encoderDelay()) + 2 * 576);
        QVERIFY(std::abs(audio::dominantFrequency(decoded.samples, 22050, 4096) - 440.0) < 5.0);
    }

    // The server goes away, the send queue fills to its bound while the send thread retries,
    // and the broadcast stops: the stop ends in bounded time, the file still holds everything,
    // and the next broadcast starts with empty queues, so neither its stream nor its file
    // carries anything of this one.
    void stopWithBackloggedQueuesLeavesNothingBehind() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        input.setGrantedFrames(512);
        BroadcastEngine engine(input);
        SendTiming timing;
        timing.drainLimit = std::chrono::milliseconds(500);
        engine.setSendTiming(timing);

        const StartResult first = engine.start(request(newMount(), QStringLiteral("First")));
        QVERIFY2(first.ok(), qPrintable(first.message));
        QTRY_VERIFY(engine.sender().chunksSent() > 3);
        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(engine.sendQueue().size() == BroadcastEngine::kSendQueueLimit,
                                 20000);
        StopResult stopped;
        QVERIFY(finishesWithin([&] { stopped = engine.stop(); }, std::chrono::seconds(15)));
        QVERIFY(!engine.sender().isRunning());
        QVERIFY(m_icecast.restart());
        const auto firstFile = audio::decodeMp3File(stopped.recordingPath, 22050);
        QVERIFY2(firstFile.errors.isEmpty(), qPrintable(firstFile.errors));
        QVERIFY(firstFile.samples.size() >= std::size_t(stopped.capturedFrames));

        input.setTone(1000.0);
        const QString mount = newMount();
        const StartResult second = engine.start(request(mount, QStringLiteral("Second")));
        QVERIFY2(second.ok(), qPrintable(second.message));
        QVERIFY(second.recordingPath != first.recordingPath);
        QTRY_VERIFY(engine.capturedFrames() > 22050);
        const QByteArray heard = m_icecast.listen(mount, 2.0);
        const StopResult secondStop = engine.stop();
        const auto secondFile = audio::decodeMp3File(secondStop.recordingPath, 22050);
        QVERIFY(secondFile.samples.size() >= std::size_t(secondStop.capturedFrames));
        QVERIFY(secondFile.samples.size() <= std::size_t(secondStop.capturedFrames) +
                                                 std::size_t(engine.encoderDelay()) + 2 * 576);
        // Only the second tone is in the second file and in what listeners got.
        QVERIFY(std::abs(audio::dominantFrequency(secondFile.samples, 22050, 2048) - 1000.0) <
                10.0);
        const auto stream = audio::decodeMp3(heard, 22050);
        QVERIFY(stream.samples.size() > 2048);
        QVERIFY(std::abs(audio::dominantFrequency(stream.samples, 22050, 1024) - 1000.0) < 10.0);
    }

    // A capture stream that cannot be opened or started ends the start with a message; no
    // connection is left open and no empty recording is left behind.
    void captureFailuresAbortTheStart_data() {
        QTest::addColumn<bool>("openFails");
        QTest::addColumn<int>("failure");
        QTest::newRow("open fails") << true << int(StartResult::Failure::CaptureOpen);
        QTest::newRow("start fails") << false << int(StartResult::Failure::CaptureStart);
    }
    void captureFailuresAbortTheStart() {
        QFETCH(bool, openFails);
        QFETCH(int, failure);
        ScriptedAudioInput input;
        input.failOpen(openFails, QStringLiteral("Device or resource busy"));
        input.failStart(!openFails, QStringLiteral("Device or resource busy"));
        BroadcastEngine engine(input);
        QTemporaryDir folder;
        const QString mount = newMount();
        BroadcastRequest r = request(mount, QStringLiteral("Failing"));
        r.recordingsFolder = folder.path();
        const StartResult result = engine.start(r);
        QCOMPARE(int(result.failure), failure);
        QVERIFY(result.message.contains(QStringLiteral("Device or resource busy")));
        QVERIFY(!engine.isOnAir());
        QVERIFY(!engine.sender().isRunning());
        QTRY_VERIFY(!m_icecast.hasMount(mount));
        QVERIFY(QDir(folder.path()).entryList(QDir::Files).isEmpty());
    }

    // The capture stream is reopened only for another device or rate; otherwise a new
    // broadcast just starts it again.
    void captureReopensForAnotherDeviceOrRate() {
        ScriptedAudioInput input;
        input.setDevices(
            {ScriptedAudioInput::device(0, QStringLiteral("Desk"), {22050, 44100}, 1, true),
             ScriptedAudioInput::device(1, QStringLiteral("Headset"), {48000}, 1)});
        BroadcastEngine engine(input);
        struct Step {
            QString device;
            int quality;
            int opens;
            unsigned int id;
            unsigned int rate;
        };
        const Step steps[] = {
            {QStringLiteral("Desk"), 2, 1, 0, 22050},
            {QStringLiteral("Desk"), 2, 1, 0, 22050},    // same: started again only
            {QStringLiteral("Desk"), 0, 2, 0, 44100},    // Premium: another rate
            {QStringLiteral("Headset"), 0, 3, 1, 48000}, // another device
            {QStringLiteral("Gone"), 0, 4, 0, 44100},    // unplugged: the default input
        };
        for (const Step &step : steps) {
            BroadcastRequest r = request(newMount());
            r.deviceName = step.device;
            r.quality = step.quality;
            r.recordingsFolder.clear();
            const StartResult result = engine.start(r);
            QVERIFY2(result.ok(), qPrintable(result.message));
            QCOMPARE(input.opens(), step.opens);
            QCOMPARE(input.openDeviceId(), step.id);
            QCOMPARE(input.openRate(), step.rate);
            QVERIFY(input.isRunning());
            engine.stop();
            QVERIFY(!input.isRunning());
            QVERIFY(input.isOpen());
        }
    }

    // Starts and stops from one thread while the capture thread runs and the server drops
    // out: the thread sanitizer's view of the whole job.
    void startStopUnderLoad() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        input.setGrantedFrames(256);
        BroadcastEngine engine(input);
        SendTiming timing;
        timing.retryDelay = std::chrono::milliseconds(20);
        timing.reconnectDelay = std::chrono::milliseconds(50);
        timing.drainLimit = std::chrono::milliseconds(300);
        engine.setSendTiming(timing);
        std::atomic<int> lost{0};
        std::atomic<int> restored{0};
        engine.setEvents({[&] { ++lost; }, [&] { ++restored; }, {}});
        for (int round = 0; round < 3; ++round) {
            const StartResult result = engine.start(request(newMount()));
            QVERIFY2(result.ok(), qPrintable(result.message));
            QTRY_VERIFY(engine.sender().chunksSent() > 2);
            if (round == 1) {
                QVERIFY(m_icecast.kill());
                QTRY_VERIFY_WITH_TIMEOUT(lost.load() == 1, 20000);
                QVERIFY(m_icecast.restart());
                QTRY_VERIFY_WITH_TIMEOUT(restored.load() == 1, 20000);
            }
            QVERIFY(finishesWithin([&] { engine.stop(); }, std::chrono::seconds(15)));
        }
        QCOMPARE(lost.load(), 1);
        QCOMPARE(restored.load(), 1);
    }
};

CASTORA_TEST_MAIN(EngineCoreTest)
#include "tst_enginecore.moc"
