// The MP3 encoder wrapper: what it produces decodes to what went in, at the bitrate asked,
// whatever the buffer sizes, and a stop's flush delivers the tail.
#include "LocalServices.h"
#include "Mp3Encoder.h"
#include "TestMain.h"

#include <cmath>

Q_DECLARE_METATYPE(std::vector<unsigned int>)

using namespace castora::engine;
using castora::test::audio::decodeMp3;

namespace {

std::vector<qint16> tone(std::size_t frames, double frequency, int rate, double phase = 0.0) {
    std::vector<qint16> samples(frames);
    for (std::size_t i = 0; i < frames; ++i)
        samples[i] = qint16(
            std::lround(std::sin(phase + 2.0 * M_PI * frequency * double(i) / rate) * 16000));
    return samples;
}

// Encodes `total` frames of a 440 Hz tone in buffers whose sizes cycle through `sizes`.
QByteArray encodeTone(Mp3Encoder &encoder, int rate, std::size_t total,
                      const std::vector<unsigned int> &sizes, bool flush, int *failures) {
    const std::vector<qint16> samples = tone(total, 440.0, rate);
    QByteArray stream;
    std::size_t done = 0;
    std::size_t turn = 0;
    *failures = 0;
    while (done < total) {
        const unsigned int n =
            unsigned(std::min<std::size_t>(sizes[turn++ % sizes.size()], total - done));
        QByteArray chunk;
        if (!encoder.encode(samples.data() + done, n, chunk))
            ++*failures;
        stream += chunk;
        done += n;
    }
    if (flush)
        stream += encoder.flush();
    return stream;
}

} // namespace

class EncoderTest : public QObject {
    Q_OBJECT

private slots:
    void qualityTable_data() {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<int>("lameQuality");
        QTest::newRow("Premium") << 0 << 192 << 2;
        QTest::newRow("High") << 1 << 128 << 2;
        QTest::newRow("Standard") << 2 << 96 << 5;
        QTest::newRow("Low") << 3 << 64 << 7;
        QTest::newRow("7 from a document") << 7 << 192 << 2;
        QTest::newRow("negative") << -1 << 192 << 2;
    }
    void qualityTable() {
        QFETCH(int, quality);
        QFETCH(int, bitrate);
        QFETCH(int, lameQuality);
        const EncoderSettings settings = settingsForQuality(quality);
        QCOMPARE(settings.bitrate, bitrate);
        QCOMPARE(settings.quality, lameQuality);
    }

    // Whole streams: decoded length covers every sample put in (plus the encoder's delay and
    // the last frame's padding), the tone is the tone, the size matches the bitrate.
    void streamDecodes_data() {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("rate");
        QTest::addColumn<unsigned int>("buffer");
        QTest::newRow("Standard 22050, 16384-frame buffers") << 2 << 22050 << 16384u;
        QTest::newRow("Premium 44100, 16384-frame buffers") << 0 << 44100 << 16384u;
        QTest::newRow("Low 48000, 1000-frame buffers") << 3 << 48000 << 1000u;
        QTest::newRow("High 44100, 512-frame buffers") << 1 << 44100 << 512u;
    }
    void streamDecodes() {
        QFETCH(int, quality);
        QFETCH(int, rate);
        QFETCH(unsigned int, buffer);
        Mp3Encoder encoder;
        QVERIFY(encoder.configure(unsigned(rate), settingsForQuality(quality), buffer));
        const int delay = encoder.encoderDelay();
        const int frameSize = encoder.frameSize();
        const std::size_t total = std::size_t(rate) * 3;
        int failures = 0;
        const QByteArray mp3 = encodeTone(encoder, rate, total, {buffer}, true, &failures);
        QCOMPARE(failures, 0);

        const auto decoded = decodeMp3(mp3, rate);
        QVERIFY(decoded.ok);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY2(decoded.samples.size() >= total,
                 qPrintable(QString::number(decoded.samples.size())));
        QVERIFY2(decoded.samples.size() <= total + std::size_t(delay + 2 * frameSize),
                 qPrintable(QString::number(decoded.samples.size())));
        QVERIFY(std::abs(castora::test::audio::dominantFrequency(decoded.samples, rate,
                                                                 std::size_t(rate) / 10) -
                         440.0) < 5.0);

        const double seconds = double(mp3.size()) * 8 / 1000 / settingsForQuality(quality).bitrate;
        QVERIFY2(std::abs(seconds - double(total + std::size_t(delay)) / rate) < 0.15,
                 qPrintable(QString::number(seconds)));
    }

    // Short capture buffers: LAME needs up to 1.25 x samples + 7200 bytes of room; a buffer
    // sized by the number of frames alone refuses frames and audio goes missing.
    void shortBuffersLoseNothing_data() {
        QTest::addColumn<std::vector<unsigned int>>("sizes");
        QTest::newRow("single frames") << std::vector<unsigned int>{1};
        QTest::newRow("odd small sizes") << std::vector<unsigned int>{3, 7, 64, 1, 200};
        QTest::newRow("around one MP3 frame") << std::vector<unsigned int>{575, 577, 1151, 1153};
    }
    void shortBuffersLoseNothing() {
        QFETCH(std::vector<unsigned int>, sizes);
        const int rate = 22050;
        Mp3Encoder encoder;
        // Announced for large buffers, fed small ones: the room must hold for any of them.
        unsigned int largest = 0;
        for (unsigned int s : sizes)
            largest = std::max(largest, s);
        QVERIFY(encoder.configure(unsigned(rate), settingsForQuality(0), largest));
        const std::size_t total = std::size_t(rate);
        int failures = 0;
        const QByteArray mp3 = encodeTone(encoder, rate, total, sizes, true, &failures);
        QCOMPARE(failures, 0);
        const auto decoded = decodeMp3(mp3, rate);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY(decoded.samples.size() >= total);
    }

    // Longer buffers than announced are still encoded whole.
    void longerBufferThanAnnounced() {
        Mp3Encoder encoder;
        QVERIFY(encoder.configure(22050, settingsForQuality(2), 256));
        int failures = 0;
        const QByteArray mp3 = encodeTone(encoder, 22050, 22050, {22050}, true, &failures);
        QCOMPARE(failures, 0);
        QVERIFY(decodeMp3(mp3, 22050).samples.size() >= 22050);
    }

    // Without the flush the last ~60 ms stay inside LAME.
    void flushDeliversTheTail() {
        const int rate = 22050;
        const std::size_t total = 22050;
        Mp3Encoder withFlush;
        Mp3Encoder without;
        QVERIFY(withFlush.configure(rate, settingsForQuality(2), 4096));
        QVERIFY(without.configure(rate, settingsForQuality(2), 4096));
        int failures = 0;
        const QByteArray flushed = encodeTone(withFlush, rate, total, {4096}, true, &failures);
        const QByteArray cut = encodeTone(without, rate, total, {4096}, false, &failures);
        QVERIFY(flushed.size() > cut.size());
        QVERIFY(flushed.startsWith(cut));
        QVERIFY(decodeMp3(cut, rate).samples.size() < total);
        QVERIFY(decodeMp3(flushed, rate).samples.size() >= total);
        QVERIFY(!withFlush.isConfigured()); // spent: a new broadcast configures a new one
    }

    // A new configuration starts a clean stream: its first bytes are a frame header.
    void freshEncoderStartsClean() {
        Mp3Encoder encoder;
        int failures = 0;
        QVERIFY(encoder.configure(22050, settingsForQuality(2), 16384));
        encodeTone(encoder, 22050, 30000, {16384}, false, &failures);
        QVERIFY(encoder.configure(44100, settingsForQuality(0), 16384));
        const QByteArray second = encodeTone(encoder, 44100, 44100, {16384}, true, &failures);
        QVERIFY(second.size() > 2);
        QCOMPARE(quint8(second.at(0)), quint8(0xFF));
        QCOMPARE(quint8(second.at(1)) & 0xE0, 0xE0);
        const auto decoded = decodeMp3(second, 44100);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY(decoded.samples.size() >= 44100);
    }
};

CASTORA_TEST_MAIN(EncoderTest)
#include "tst_encoder.moc"
