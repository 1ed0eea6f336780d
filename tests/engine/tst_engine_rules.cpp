// Plain rules of the engine: recording file names, the sample rate chosen for a device and a
// quality, the peak level of a buffer and the level meter's pace.
#include "AudioInput.h"
#include "LevelMeter.h"
#include "RecordingWriter.h"
#include "TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

using namespace castora::engine;
using castora::test::row;

Q_DECLARE_METATYPE(std::vector<unsigned int>)
Q_DECLARE_METATYPE(std::vector<qint16>)

class EngineRulesTest : public QObject {
    Q_OBJECT

private slots:
    void fileName_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        row("blanks", "Morning Show", "Morning_Show");
        row("empty", "", "");
        row("slash", "AC/DC night", "AC_DC_night");
        row("climbing out", "../../etc/passwd", "____etc_passwd");
        row("backslash and drive", "C:\\Temp\\x", "C__Temp_x");
        row("colon", "News: 9:00", "News__9_00");
        row("control characters", "Line\nTwo\tThree\x7f", "Line_Two_Three_");
        row("single dot kept", "v1.2 live", "v1.2_live");
        row("windows-refused", "Q&A? <live> \"now\" | *", "Q&A___live___now_____");
        row("unicode kept", "Café 🎙 show", "Café_🎙_show");
        row("long: cut to 120", QString(400, 'x'), QString(120, 'x'));
    }
    void fileName() {
        QFETCH(QString, title);
        QFETCH(QString, name);
        const QDateTime start(QDate(2026, 3, 21), QTime(7, 5, 9));
        QCOMPARE(recordingBaseName(title), name);
        QCOMPARE(recordingFileName(title, start), name + "_20260321_070509.mp3");
        // Whatever the title, the file lands in the recordings folder and can be created.
        QTemporaryDir folder;
        const QString path = folder.filePath(recordingFileName(title, start));
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(folder.path()).absoluteFilePath());
        RecordingWriter writer;
        QVERIFY2(writer.open(path), qPrintable(writer.errorText()));
    }

    void sampleRate_data() {
        QTest::addColumn<std::vector<unsigned int>>("rates");
        QTest::addColumn<int>("quality");
        QTest::addColumn<unsigned int>("rate");
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

    void peak_data() {
        QTest::addColumn<std::vector<qint16>>("samples");
        QTest::addColumn<int>("peak");
        row("silence", std::vector<qint16>(512, 0), 0);
        row("empty", std::vector<qint16>{}, 0);
        row("full negative", std::vector<qint16>{0, -32768, 5}, 1000);
        row("full positive", std::vector<qint16>{32767}, 999);
        row("half", std::vector<qint16>{100, -16385, 16384}, 500);
    }
    void peak() {
        QFETCH(std::vector<qint16>, samples);
        QFETCH(int, peak);
        QCOMPARE(peakThousandths(samples.data(), unsigned(samples.size())), peak);
    }

    // A long capture buffer plays out on the meter slice by slice, one per tick, at the pace of
    // the audio; nothing waiting reads as silence; a reader that fell behind skips ahead.
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
        meter.take();
        QCOMPARE(meter.take(), 0);
        QCOMPARE(meter.take(), 0);
        QCOMPARE(meter.take(), 0);
        QCOMPARE(meter.take(), 0);
        QCOMPARE(meter.take(), 1000); // the newest buffer's sixth slice
        meter.clear();
        QCOMPARE(meter.take(), 0);
    }
};

CASTORA_TEST_MAIN(EngineRulesTest)
#include "tst_engine_rules.moc"
