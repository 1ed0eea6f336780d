#include "LiveBroadcast.h"

#include "StreamController.h"

#include <QTest>

#include <cmath>

namespace castora::test::live {

bool pressStart(StreamController &c, int timeoutMs, bool untilLive) {
    c.startStop();
    return QTest::qWaitFor(
        [&] { return c.streaming() && !c.jobInProgress() && (c.live() || !untilLive); }, timeoutMs);
}

bool pressStop(StreamController &c, int timeoutMs) {
    c.startStop();
    return QTest::qWaitFor(
        [&] { return !c.streaming() && !c.jobInProgress() && c.pendingNotices() == 0; }, timeoutMs);
}

bool hearsTone(const IcecastServer &icecast, const QString &mount, StreamController &c,
               double seconds) {
    const int rate = int(c.sampleRate());
    const auto decoded = audio::decodeMp3(icecast.listen(mount, seconds), rate);
    return std::abs(audio::dominantFrequency(decoded.samples, rate, 2048) - 440.0) < 5.0;
}

QString checkRecording(const QString &path, const engine::BroadcastEngine &engine, int rate,
                       std::size_t slack, audio::Decoded *decoded) {
    audio::Decoded file = audio::decodeMp3File(path, rate);
    const std::size_t captured = std::size_t(engine.encodedFrames()); // silence included
    // LAME's delay in front, and up to two frames of padding from the flush behind.
    const std::size_t most = captured + slack + std::size_t(engine.encoderDelay()) + 2 * 576;
    QString problem;
    if (!file.errors.isEmpty())
        problem = QStringLiteral("decoding %1: %2").arg(path, file.errors);
    else if (file.samples.size() < captured || file.samples.size() > most)
        problem = QStringLiteral("%1 decodes to %2 frames; captured %3, at most %4 expected")
                      .arg(path)
                      .arg(file.samples.size())
                      .arg(captured)
                      .arg(most);
    if (decoded)
        *decoded = std::move(file);
    return problem;
}

BarWatch::BarWatch(StreamController &c, const QElapsedTimer &clock) {
    const auto note = [this, &c, &clock] {
        const QString state = !c.networkBarVisible()  ? QStringLiteral("hidden")
                              : c.networkBarIsError() ? QStringLiteral("loss")
                                                      : QStringLiteral("restored");
        if (state != m_state)
            m_times[state].append(clock.elapsed());
        m_state = state;
    };
    connect(&c, &StreamController::networkBarVisibleChanged, this, note);
    connect(&c, &StreamController::networkBarIsErrorChanged, this, note);
}

} // namespace castora::test::live
