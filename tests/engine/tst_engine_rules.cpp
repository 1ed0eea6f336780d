// Plain rules of the engine: recording file names, the sample rate chosen for a device and a
// quality, the level meter's pace (and the peak level of a buffer), dead air, and the MP3 encoder
// wrapper, whose output decodes to what went in at the bitrate of the quality chosen, whatever
// the buffer sizes.
#include "AudioInput.h"
#include "LevelMeter.h"
#include "LocalServices.h"
#include "Mp3Encoder.h"
#include "RecordingWriter.h"
#include "TestMain.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cmath>

using namespace castora::engine;
using castora::test::columns;
using castora::test::row;
using castora::test::audio::decodeMp3;

Q_DECLARE_METATYPE(std::vector<unsigned int>)

namespace {

// Encodes `total` frames of a 440 Hz tone in buffers whose sizes cycle through `sizes`, and
// flushes; `failures` counts the buffers the encoder refused.
QByteArray encodeTone(Mp3Encoder &encoder, int rate, std::size_t total,
                      const std::vector<unsigned int> &sizes, int &failures) {
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
    return stream + encoder.flush();
}

} // namespace

class EngineRulesTest : public QObject {
    Q_OBJECT

private slots:
    void fileName_data() {
        columns<QString, QString>("title", "name");
        row("blanks", "Morning Show", "Morning_Show");
        row("empty", "", "");
        row("climbing out", "../../etc/passwd", "____etc_passwd");
        row("backslash and drive", "C:\\Temp\\x", "C__Temp_x");
        row("control characters", "Line\nTwo\tThree\x7f", "Line_Two_Three_");
        row("single dot kept", "v1.2 live", "v1.2_live");
        row("windows-refused", "Q&A? <live> \"now\" | *", "Q&A___live___now_____");
        row("unicode kept", "Café 🎙 show", "Café_🎙_show");
        row("half a surrogate pair", QString("a") + QChar(0xd83c) + "b" + QChar(0xdf99), "a_b_");
        // Long titles: 230 bytes of UTF-8 leave room for the time stamp, "_9999" and ".mp3".
        row("long ASCII", QString(400, 'x'), QString(230, 'x'));
        row("118 Cyrillic letters", QString(118, QChar(0x416)), QString(115, QChar(0x416)));
        row("80 CJK characters", QString(80, QChar(0x4e2d)), QString(76, QChar(0x4e2d)));
        row("emoji at the cut", QString(228, 'x') + "🎙🎙", QString(228, 'x'));
        row("accent at the cut", QString(228, 'x') + "e\u0301", QString(228, 'x'));
        row("one character longer than the room", "e" + QString(300, QChar(0x301)),
            "e" + QString(114, QChar(0x301)));
    }
    void fileName() {
        QFETCH(QString, title);
        QFETCH(QString, name);
        const QDateTime start(QDate(2026, 3, 21), QTime(7, 5, 9));
        QCOMPARE(recordingBaseName(title), name);
        const QString fileName = recordingFileName(title, start);
        QCOMPARE(fileName, name + "_20260321_070509.mp3");
        QCOMPARE(QString::fromUtf8(fileName.toUtf8()), fileName); // valid UTF-8 all through
        // Whatever the title, the file lands in the recordings folder and can be created, also
        // with the largest collision suffix; a name taken gets "_2".
        QTemporaryDir folder;
        const QString path = folder.filePath(fileName);
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(folder.path()).absoluteFilePath());
        QFile largest(folder.filePath(name + "_20260321_070509_9999.mp3"));
        QVERIFY2(largest.open(QIODevice::WriteOnly), qPrintable(largest.errorString()));
        for (const QString &used : {fileName, name + "_20260321_070509_2.mp3"}) {
            RecordingWriter writer;
            QVERIFY2(writer.open(path), qPrintable(writer.errorText()));
            QCOMPARE(writer.path(), folder.filePath(used));
        }
    }

    void sampleRate_data() {
        columns<std::vector<unsigned int>, int, unsigned int>("rates", "quality", "rate");
        const std::vector<unsigned int> odd{8000, 16000, 32000, 96000};
        row("Standard, odd device: nearest to 22050", odd, 2, 16000u);
        row("Premium, odd device: nearest to 44100", odd, 0, 32000u);
        row("High, 44100 and 48000", std::vector<unsigned int>{44100, 48000}, 1, 44100u);
        row("Premium, 48000 only", std::vector<unsigned int>{48000}, 0, 48000u);
        row("Standard prefers 22050", std::vector<unsigned int>{48000, 44100, 22050}, 2, 22050u);
        row("Premium skips 22050", std::vector<unsigned int>{22050, 48000}, 0, 48000u);
        row("tie: first listed", std::vector<unsigned int>{20050, 24050}, 2, 20050u);
        row("no rates listed", std::vector<unsigned int>{}, 2, 44100u);
    }
    void sampleRate() {
        QFETCH(std::vector<unsigned int>, rates);
        QFETCH(int, quality);
        QFETCH(unsigned int, rate);
        QCOMPARE(chooseSampleRate(rates, quality), rate);
    }

    // A long capture buffer plays out on the meter slice by slice, one per tick, at the pace of
    // the audio, each slice at its peak (|-32768| is full scale); nothing waiting reads as
    // silence; a reader that fell behind skips ahead.
    void levelMeterSlices() {
        LevelMeter meter;
        meter.setSampleRate(22050); // 727 frames a slice
        std::vector<qint16> buffer(16384, 0);
        buffer[727 * 5 + 3] = -32768;
        buffer[727 * 9] = 16384;
        meter.publish(buffer.data(), unsigned(buffer.size()));
        QList<int> ticks;
        for (int i = 0; i < 24; ++i)
            ticks.append(meter.take());
        QList<int> expected(24, 0);
        expected[5] = 1000;
        expected[9] = 500;
        QCOMPARE(ticks, expected); // 23 slices, then nothing waiting

        for (int i = 0; i < 3; ++i) // three buffers while the reader was away
            meter.publish(buffer.data(), unsigned(buffer.size()));
        ticks.clear();
        for (int i = 0; i < 6; ++i)
            ticks.append(meter.take());
        QCOMPARE(ticks, QList<int>({0, 0, 0, 0, 0, 1000})); // the newest buffer's sixth slice
        meter.clear();
        QCOMPARE(meter.take(), 0);
    }

    // A tone, 25 s below -50 dBFS, the tone again, in capture buffers of one size: dead air from
    // the buffer in which the quiet reaches 20 s to the first buffer with sound in it (at most
    // a buffer after the sound returns: 0.74 s for 16384 frames at 22050 Hz). A quiet input
    // just above the threshold is never dead air.
    void deadAir_data() {
        // quiet: the peak of the quiet part
        columns<unsigned int, int, bool>("buffer", "quiet", "dead");
        row("silence, 16384-frame buffers", 16384u, 0, true);
        row("hum at -51 dBFS, 1000-frame buffers", 1000u, 92, true);
        row("hiss at -49 dBFS", 16384u, 116, false);
    }
    void deadAir() {
        QFETCH(unsigned int, buffer);
        QFETCH(int, quiet);
        QFETCH(bool, dead);
        constexpr std::size_t rate = 22050;
        const std::size_t quietFrom = rate * 13 / 10, toneFrom = quietFrom + 25 * rate;
        std::vector<qint16> samples(toneFrom + 4 * rate);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const bool tone = i < quietFrom || i >= toneFrom;
            samples[i] = tone ? qint16(std::lround(std::sin(0.125 * double(i)) * 16000))
                              : qint16(i % 2 ? quiet : -quiet);
        }
        DeadAirWatch watch;
        watch.setSampleRate(rate);
        std::size_t began = 0, ended = 0; // where the buffers that changed it end
        for (std::size_t done = 0; done < samples.size();) {
            const unsigned int n = unsigned(std::min<std::size_t>(buffer, samples.size() - done));
            const bool deadAir = watch.feed(samples.data() + done, n);
            done += n;
            if (deadAir && began == 0)
                began = done;
            if (!deadAir && began != 0 && ended == 0)
                ended = done;
        }
        if (!dead) {
            QCOMPARE(began, std::size_t(0));
            return;
        }
        const std::size_t limit = quietFrom + DeadAirWatch::kSeconds * rate;
        QVERIFY2(began >= limit && began < limit + buffer, qPrintable(QString::number(began)));
        QVERIFY2(ended > toneFrom && ended <= toneFrom + buffer,
                 qPrintable(QString::number(ended)));
    }

    // Two seconds of tone: every buffer is taken (LAME needs up to 1.25 x samples + 7200
    // bytes of room, so an area sized by frames alone refuses short buffers), the decoded
    // length covers every sample plus the encoder's delay and the last frame's padding, the
    // tone is the tone, and the size matches the bitrate of the quality.
    void streamDecodes_data() {
        // announced: the buffer size configured for
        columns<int, int, int, unsigned int, std::vector<unsigned int>>(
            "quality", "bitrate", "rate", "announced", "sizes");
        using Sizes = std::vector<unsigned int>;
        row("Standard 22050", 2, 96, 22050, 16384u, Sizes{16384});
        row("Premium 44100", 0, 192, 44100, 16384u, Sizes{16384});
        row("Low 48000", 3, 64, 48000, 1000u, Sizes{1000});
        row("High 44100", 1, 128, 44100, 512u, Sizes{512});
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
        const QByteArray mp3 = encodeTone(encoder, rate, total, sizes, failures);
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
};

CASTORA_TEST_MAIN(EngineRulesTest)
#include "tst_engine_rules.moc"
