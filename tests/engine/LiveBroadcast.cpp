#include "LiveBroadcast.h"

#include "StreamController.h"

#include <QTest>

namespace castora::test::live {

bool pressStart(StreamController &c, int timeoutMs) {
    c.startStop();
    return QTest::qWaitFor([&] { return c.streaming() && !c.jobInProgress(); }, timeoutMs);
}

bool pressStop(StreamController &c, int timeoutMs) {
    c.startStop();
    return QTest::qWaitFor(
        [&] { return !c.streaming() && !c.jobInProgress() && c.pendingNotices() == 0; }, timeoutMs);
}

double heardFrequency(const IcecastServer &icecast, const QString &mount, double seconds,
                      int sampleRate) {
    const auto decoded = audio::decodeMp3(icecast.listen(mount, seconds), sampleRate);
    return audio::dominantFrequency(decoded.samples, sampleRate, 2048);
}

QString checkRecording(const QString &path, StreamController &c, std::size_t slack,
                       audio::Decoded *decoded) {
    audio::Decoded file = audio::decodeMp3File(path, int(c.sampleRate()));
    const std::size_t captured = std::size_t(c.engine().capturedFrames());
    // LAME's delay in front, and up to two frames of padding from the flush behind.
    const std::size_t most = captured + slack + std::size_t(c.engine().encoderDelay()) + 2 * 576;
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

} // namespace castora::test::live
