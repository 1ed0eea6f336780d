// The MP3 encoder wrapper: what it produces decodes to what went in, at the bitrate of the
// quality chosen, whatever the buffer sizes, and a stop's flush delivers the tail.
#include "LocalServices.h"
#include "Mp3Encoder.h"
#include "TestMain.h"

#include <cmath>

Q_DECLARE_METATYPE(std::vector<unsigned int>)

using namespace castora::engine;
using castora::test::row;
using castora::test::audio::decodeMp3;

namespace {

// Encodes `total` frames of a 440 Hz tone in buffers whose sizes cycle through `sizes`;
// `failures` counts the buffers the encoder refused.
QByteArray encodeTone(Mp3Encoder &encoder, int rate, std::size_t total,
                      const std::vector<unsigned int> &sizes, bool flush, int &failures) {
    std::vector<qint16> samples(total);
    for (std::size_t i = 0; i < total; ++i)
        samples[i] = qint16(std::lround(std::sin(2.0 * M_PI * 440.0 * double(i) / rate) * 16000));
    QByteArray stream;
    failures = 0;
    for (std::size_t done = 0, turn = 0; done < total;) {
        const unsigned int n =
            unsigned(std::min<std::size_t>(sizes[turn++ % sizes.size()], total - done));
        QByteArray chunk;
        failures += encoder.encode(samples.data() + done, n, chunk) ? 0 : 1;
        stream += chunk;
        done += n;
    }
    return flush ? stream + encoder.flush() : stream;
}

} // namespace

class EncoderTest : public QObject {
    Q_OBJECT

private slots:
    // Two seconds of tone: every buffer is taken (LAME needs up to 1.25 x samples + 7200
    // bytes of room, so an area sized by frames alone refuses short buffers), the decoded
    // length covers every sample plus the encoder's delay and the last frame's padding, the
    // tone is the tone, and the size matches the bitrate of the quality.
    void streamDecodes_data() {
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("bitrate");
        QTest::addColumn<int>("rate");
        QTest::addColumn<unsigned int>("announced"); // the buffer size configured for
        QTest::addColumn<std::vector<unsigned int>>("sizes");
        using Sizes = std::vector<unsigned int>;
        row("Standard 22050", 2, 96, 22050, 16384u, Sizes{16384});
        row("Premium 44100", 0, 192, 44100, 16384u, Sizes{16384});
        row("Low 48000", 3, 64, 48000, 1000u, Sizes{1000});
        row("High 44100", 1, 128, 44100, 512u, Sizes{512});
        row("7 reads as Premium", 7, 192, 44100, 4096u, Sizes{4096});
        row("-1 reads as Premium", -1, 192, 44100, 4096u, Sizes{4096});
        row("single frames", 0, 192, 44100, 1u, Sizes{1});
        row("odd small sizes", 0, 192, 44100, 200u, Sizes{3, 7, 64, 1, 200});
        row("around one MP3 frame", 0, 192, 44100, 1153u, Sizes{575, 577, 1151, 1153});
        row("longer than announced", 2, 96, 22050, 256u, Sizes{22050});
    }
    void streamDecodes() {
        QFETCH(int, quality);
        QFETCH(int, bitrate);
        QFETCH(int, rate);
        QFETCH(unsigned int, announced);
        QFETCH(std::vector<unsigned int>, sizes);
        Mp3Encoder encoder;
        QVERIFY(encoder.configure(unsigned(rate), settingsForQuality(quality), announced));
        const std::size_t total = std::size_t(rate) * 2;
        const std::size_t delay = std::size_t(encoder.encoderDelay());
        int failures = 0;
        const QByteArray mp3 = encodeTone(encoder, rate, total, sizes, true, failures);
        QCOMPARE(failures, 0);

        const auto decoded = decodeMp3(mp3, rate);
        QVERIFY2(decoded.ok && decoded.errors.isEmpty(), qPrintable(decoded.errors));
        QVERIFY2(decoded.samples.size() >= total &&
                     decoded.samples.size() <= total + delay + 2 * encoder.frameSize(),
                 qPrintable(QString::number(decoded.samples.size())));
        QVERIFY(std::abs(castora::test::audio::dominantFrequency(decoded.samples, rate,
                                                                 std::size_t(rate) / 10) -
                         440.0) < 5.0);
        const double seconds = double(mp3.size()) * 8 / 1000 / bitrate;
        QVERIFY2(std::abs(seconds - double(total + delay) / rate) < 0.15,
                 qPrintable(QString::number(seconds)));
    }

    // Without the flush the last ~60 ms stay inside LAME. A flushed encoder is spent; a new
    // configuration, even of an encoder left mid-stream, starts a clean stream with a frame.
    void flushAndReconfigure() {
        Mp3Encoder withFlush, without;
        QVERIFY(withFlush.configure(22050, settingsForQuality(2), 4096));
        QVERIFY(without.configure(22050, settingsForQuality(2), 4096));
        int failures = 0;
        const QByteArray flushed = encodeTone(withFlush, 22050, 22050, {4096}, true, failures);
        const QByteArray cut = encodeTone(without, 22050, 22050, {4096}, false, failures);
        QVERIFY(flushed.size() > cut.size());
        QVERIFY(flushed.startsWith(cut));
        QVERIFY(decodeMp3(cut, 22050).samples.size() < 22050);
        QVERIFY(decodeMp3(flushed, 22050).samples.size() >= 22050);
        QVERIFY(!withFlush.isConfigured());

        QVERIFY(without.configure(44100, settingsForQuality(0), 16384));
        const QByteArray second = encodeTone(without, 44100, 44100, {16384}, true, failures);
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
