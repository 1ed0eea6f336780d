// The broadcast engine without Qt's event loop, against a real icecast2: the chunk queues
// between the capture callback and the workers (bound, order, a producer and a consumer racing
// up to a stop), the libshout wrapper's stalls and cancels, the start/stop job with its queues,
// workers, encoder flush and recording file, the input watch's silence for a lost
// microphone, and voice processing switched while buffers flow. A scripted input plays a tone on
// its own thread, as the audio library's capture thread would.
#include "BroadcastEngine.h"
#include "ChunkQueue.h"
#include "LiveBroadcast.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <future>
#include <thread>

using namespace castora::engine;
using namespace castora::test;

namespace {

QString newMount() {
    return "core-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// Several MB of real MP3 frames (constant bitrate), enough to fill the socket buffers of a
// frozen server.
QByteArray bulkMp3() {
    Mp3Encoder encoder;
    encoder.configure(44100, settingsForQuality(0), 44100 * 30);
    const std::vector<qint16> silence(44100 * 30);
    QByteArray mp3;
    encoder.encode(silence.data(), unsigned(silence.size()), mp3);
    return mp3;
}

QByteArray numbered(int i) {
    return QByteArray::number(i).rightJustified(8, '0');
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

    BroadcastRequest request(const QString &mount, const QString &title = "Core") {
        BroadcastRequest r;
        r.deviceName = "Scripted Microphone";
        r.quality = 2;
        r.bufferFrames = 2048;
        r.icecast = sinkSettings(mount);
        r.recordingsFolder = m_recordings.path();
        r.title = title;
        return r;
    }

    IcecastSettings sinkSettings(const QString &mount) {
        IcecastSettings s;
        s.host = "127.0.0.1";
        s.port = m_icecast.port();
        s.password = IcecastServer::sourcePassword();
        s.mount = mount;
        return s;
    }

private slots:
    void initTestCase() {
        ignoreBrokenPipe();
        QVERIFY(m_icecast.start());
    }

    void cleanup() {
        m_icecast.resume();
        if (!m_icecast.isRunning())
            QVERIFY(m_icecast.restart());
    }

    // The oldest chunks stay and the newest are refused; the encoder's tail at a stop goes in
    // past the bound, last.
    void bound_data() {
        columns<int, int, int>("capacity", "pushes", "kept");
        row("send queue, under its bound", 40, 39, 39);
        row("send queue, at its bound", 40, 40, 40);
        row("send queue, past its bound", 40, 100, 40);
        row("record queue, unbounded past its first room", 0, 1000, 1000);
    }
    void bound() {
        QFETCH(int, capacity);
        QFETCH(int, pushes);
        QFETCH(int, kept);
        ChunkQueue queue(std::size_t(capacity), 4);
        for (int i = 0; i < pushes; ++i)
            QCOMPARE(queue.push(numbered(i)), i < kept);
        QCOMPARE(int(queue.dropped()), pushes - kept);
        queue.pushAlways("tail");
        QByteArray chunk;
        for (int i = 0; i < kept; ++i) {
            QVERIFY(queue.tryPop(chunk));
            QCOMPARE(chunk, numbered(i));
        }
        QVERIFY(queue.tryPop(chunk));
        QCOMPARE(chunk, QByteArray("tail"));
        QVERIFY(!queue.tryPop(chunk));
    }

    // Producer and consumer on their own threads, as the capture callback and a worker are:
    // every chunk arrives once and in order through the wrapping ring (an unbounded one grows
    // on the way); a bounded queue only drops, never reorders. A consumer told to stop takes
    // what is still queued, then ends.
    void producerAndConsumerRace_data() {
        QTest::addColumn<int>("capacity");
        row("record queue", 0);
        row("send queue", 40);
    }
    void producerAndConsumerRace() {
        QFETCH(int, capacity);
        ChunkQueue queue(std::size_t(capacity), 8);
        std::atomic<bool> running{true};
        const int total = 20000;
        std::vector<int> received;
        received.reserve(total);
        std::thread consumer([&] {
            QByteArray chunk;
            while (queue.waitPop(chunk, running))
                received.push_back(chunk.toInt());
        });
        int accepted = 0;
        for (int i = 0; i < total; ++i) {
            accepted += queue.push(QByteArray::number(i)) ? 1 : 0;
            if (i % 512 == 0)
                std::this_thread::yield();
        }
        running = false;
        queue.wakeAll();
        consumer.join();
        QCOMPARE(int(received.size()), accepted);
        QCOMPARE(int(queue.dropped()), total - accepted);
        QVERIFY(std::is_sorted(received.begin(), received.end()));
        QVERIFY(std::adjacent_find(received.begin(), received.end()) == received.end());
        if (capacity == 0)
            QCOMPARE(accepted, total);
    }

    // A frozen server stops taking data: the send gives up after its stall limit, or at
    // once when cancelled, instead of blocking its thread.
    void sinkGivesUpOnFrozenServer_data() {
        QTest::addColumn<bool>("cancel");
        row("stall limit", false);
        row("cancelled", true);
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
    }

    // The server goes away mid-broadcast, the send queue fills to its bound while the send
    // thread retries, and the broadcast stops: in bounded time, with both queues empty and a
    // file holding every captured buffer and the encoder's tail. The next broadcast starts
    // with empty queues and a fresh encoder: neither its stream nor its file carries anything
    // of the first, and it goes through a lost and restored connection (quick retries this
    // time); its mount goes when it stops. Both have the same title and start second: the
    // second file gets a name of its own instead of being appended to the first.
    void broadcastsLeaveNothingBehind() {
        ScriptedAudioInput input;
        input.setTone(440.0);
        input.setGrantedFrames(512);
        BroadcastEngine engine(input);
        SendTiming timing;
        timing.drainLimit = std::chrono::milliseconds(500);
        engine.setSendTiming(timing);
        std::atomic<int> lost{0}, restored{0};
        engine.setEvents({[&] { ++lost; }, [&] { ++restored; }, {}, {}, {}, {}});
        const auto checkRecording = [&](const StopResult &stopped, double frequency) {
            QCOMPARE(QFileInfo(stopped.recordingPath).size(), stopped.recordedBytes);
            QCOMPARE(stopped.capturedFrames, engine.capturedFrames());
            audio::Decoded decoded;
            const QString problem =
                live::checkRecording(stopped.recordingPath, engine, 22050, 0, &decoded);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QVERIFY(std::abs(audio::dominantFrequency(decoded.samples, 22050, 2048) - frequency) <
                    10.0);
        };

        const QString firstMount = newMount();
        BroadcastRequest firstRequest = request(firstMount, "Whole show");
        firstRequest.startTime = QDateTime::currentDateTime();
        const StartResult first = engine.start(firstRequest);
        QVERIFY2(first.ok(), qPrintable(first.message));
        QTRY_VERIFY(m_icecast.hasMount(firstMount));
        QTRY_VERIFY(engine.sender().chunksSent() > 5);
        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(engine.sendQueue().size() == BroadcastEngine::kSendQueueLimit,
                                 20000);
        StopResult stopped;
        QVERIFY(finishesWithin([&] { stopped = engine.stop(); }, std::chrono::seconds(15)));
        QVERIFY(stopped.wasOnAir);
        QCOMPARE(stopped.recordingPath, first.recordingPath);
        QVERIFY(!engine.sender().isRunning());
        QCOMPARE(engine.sendQueue().size(), std::size_t(0));
        QCOMPARE(engine.recordQueue().size(), std::size_t(0));
        checkRecording(stopped, 440.0);
        QVERIFY(m_icecast.restart());

        input.setTone(1000.0);
        timing.retryDelay = std::chrono::milliseconds(20);
        timing.reconnectDelay = std::chrono::milliseconds(50);
        engine.setSendTiming(timing);
        const QString mount = newMount();
        BroadcastRequest secondRequest = request(mount, "Whole show");
        secondRequest.startTime = firstRequest.startTime;
        const qint64 firstSize = QFileInfo(first.recordingPath).size();
        const StartResult second = engine.start(secondRequest);
        QVERIFY2(second.ok(), qPrintable(second.message));
        QCOMPARE(second.recordingPath,
                 first.recordingPath.chopped(4) + "_2.mp3"); // "<name>_<time>_2.mp3"
        QTRY_VERIFY(engine.sender().chunksSent() > 2);
        const int lostBefore = lost.load();
        QVERIFY(m_icecast.kill());
        QTRY_VERIFY_WITH_TIMEOUT(lost.load() == lostBefore + 1, 20000);
        QVERIFY(m_icecast.restart());
        QTRY_VERIFY_WITH_TIMEOUT(restored.load() == 1, 20000);
        QTRY_VERIFY(m_icecast.hasMount(mount));
        const QByteArray heard = m_icecast.listen(mount, 2.0);
        checkRecording(engine.stop(), 1000.0);
        QCOMPARE(QFileInfo(first.recordingPath).size(), firstSize);
        QTRY_VERIFY(!m_icecast.hasMount(mount));
        const auto stream = audio::decodeMp3(heard, 22050);
        QVERIFY(stream.samples.size() > 2048);
        QVERIFY(std::abs(audio::dominantFrequency(stream.samples, 22050, 1024) - 1000.0) < 10.0);
    }

    // The microphone's stream breaks on air; a while later its device is opened again. Silence
    // fills the time without it through the same encoder, queues and file, and the returning
    // stream takes over where the silence ends: the stream is as long as the time on air,
    // within a buffer. The capture stream may run for the meter before the start: nothing of it
    // is encoded off air, and the start uses it as it runs.
    // The microphone goes away on air: its stream breaks (as when it is pulled) or stops
    // delivering without a word (a suspended source). Silence goes out in its place from the
    // moment its audio stopped; a broken stream is given up and a new one opened, a stalled one
    // goes on by itself. A stop while the new stream is still being opened (the sound system
    // slow to answer) does not wait for it.
    void lostMicrophone_data() {
        columns<bool, QString>("runningBefore", "fault");
        row("broken, capture opened at the start", false, "broken");
        row("broken, capture running for the meter before the start", true, "broken");
        row("stalled", false, "stalled");
        row("stop while reopening", false, "stop while reopening");
    }
    void lostMicrophone() {
        QFETCH(bool, runningBefore);
        QFETCH(QString, fault);
        constexpr unsigned int kFrames = 2048, kRate = 22050;
        ScriptedAudioInput input;
        input.setGrantedFrames(kFrames);
        BroadcastEngine engine(input);
        const QString mount = newMount();
        const BroadcastRequest r = request(mount, "Lost");
        const InputRequest microphone{r.deviceName, {}, r.quality, r.bufferFrames};
        if (runningBefore) {
            QVERIFY(engine.openInput(microphone).ok());
            QTRY_VERIFY(input.framesDelivered() > kRate / 2);
            QCOMPARE(engine.capturedFrames(), quint64(0));
            QCOMPARE(engine.sendQueue().size(), std::size_t(0));
            QVERIFY(!m_icecast.hasMount(mount));
        }
        QElapsedTimer onAir;
        const StartResult started = engine.start(r);
        onAir.start();
        QVERIFY2(started.ok(), qPrintable(started.message));
        QCOMPARE(input.opens(), 1);
        QTRY_VERIFY(engine.capturedFrames() > kRate / 2);

        const bool stalled = fault == "stalled";
        if (stalled)
            input.stall(true);
        else
            input.breakStream();
        QElapsedTimer lost;
        lost.start();
        QTRY_VERIFY_WITH_TIMEOUT(engine.microphoneLost(), 3000);
        // A look every 100 ms; a stalled stream after a buffer period and a second.
        QVERIFY(lost.elapsed() < (stalled ? 1700 : 500));
        QCOMPARE(engine.microphoneStalled(), stalled);
        const quint64 captured = engine.capturedFrames();
        QTRY_VERIFY(engine.silenceFrames() > kRate * 3 / 2);
        QCOMPARE(engine.capturedFrames(), captured);
        if (fault == "stop while reopening") {
            input.setOpenDelay(std::chrono::seconds(60));
            auto reopening =
                std::async(std::launch::async, [&] { return engine.openInput(microphone); });
            QTRY_COMPARE(input.openAttempts(), 2);
            QElapsedTimer stopping;
            stopping.start();
            const StopResult stopped = engine.stop();
            QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString::number(stopping.elapsed())));
            QVERIFY(stopped.wasOnAir && QFileInfo(stopped.recordingPath).size() > 0);
            input.releaseOpens();
            QVERIFY(reopening.get().ok()); // the meter's stream, off air now
            return;
        }
        if (stalled) {
            input.stall(false);
        } else {
            const InputResult back = engine.openInput(microphone);
            QVERIFY(back.ok());
        }
        QCOMPARE(input.opens(), stalled ? 1 : 2);
        QCOMPARE(input.openRate(), kRate);
        QTRY_VERIFY(!engine.microphoneLost());
        QTRY_VERIFY(engine.capturedFrames() > captured + kRate / 2);
        const quint64 silence = engine.silenceFrames();
        const double seconds = onAir.nsecsElapsed() / 1e9;
        const StopResult stopped = engine.stop();
        QCOMPARE(stopped.silenceFrames, silence);

        // No gap and no overlap: the stream is as long as the time on air, within a buffer
        // (and the scheduler's slack).
        const double encoded = double(engine.encodedFrames()) / kRate;
        QVERIFY2(
            std::abs(encoded - seconds) < double(kFrames) / kRate + 0.05,
            qPrintable(QString::asprintf("%.3f s encoded in %.3f s on air", encoded, seconds)));
        audio::Decoded decoded;
        const QString problem =
            live::checkRecording(stopped.recordingPath, engine, kRate, 0, &decoded);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        // The silence is where the microphone was away: one quiet stretch of that length.
        std::size_t longest = 0;
        for (std::size_t at = 0, run = 0; at < decoded.samples.size(); ++at) {
            run = std::abs(int(decoded.samples[at])) < 300 ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        QVERIFY2(longest + 2 * 1152 > silence && longest < silence + 2 * 1152,
                 qPrintable(QString("%1 quiet frames decoded, %2 fed").arg(longest).arg(silence)));
    }

    // Voice processing switched on and off from another thread, over and over, while buffers
    // flow (off air for the meter, then on air), and set up anew for a stream opened again
    // after the microphone's broke, while buffers of the old one may still be on their way:
    // the recording holds every frame encoded and decodes clean.
    void voiceProcessingSwitchedWhileFlowing() {
        constexpr unsigned int kRate = 22050;
        ScriptedAudioInput input;
        input.setGrantedFrames(2048);
        BroadcastEngine engine(input);
        const BroadcastRequest r = request(newMount(), "Voice");
        const InputRequest microphone{r.deviceName, {}, r.quality, r.bufferFrames};
        engine.setVoiceProcessing(true);
        QVERIFY(engine.openInput(microphone).ok());
        QTRY_VERIFY(std::isfinite(engine.shortTermLoudness())); // processed for the meter
        std::atomic<bool> done{false};
        std::thread switching([&] {
            for (bool on = false; !done; on = !on) {
                engine.setVoiceProcessing(on);
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
        });
        const auto stopSwitching = qScopeGuard([&] {
            done = true;
            switching.join();
        });
        QVERIFY(engine.start(r).ok());
        QTRY_VERIFY(engine.capturedFrames() > kRate);
        input.breakStream();
        QTRY_VERIFY(engine.microphoneLost());
        QVERIFY(engine.openInput(microphone).ok());
        QTRY_VERIFY(!engine.microphoneLost());
        const quint64 captured = engine.capturedFrames();
        QTRY_VERIFY(engine.capturedFrames() > captured + kRate);
        const StopResult stopped = engine.stop();
        const QString problem = live::checkRecording(stopped.recordingPath, engine, kRate, 0);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }
};

CASTORA_TEST_MAIN(EngineCoreTest)
#include "tst_enginecore.moc"
