// Plain rules of the engine: recording file names, the recording writer, the sample rate
// chosen for a device and a quality, the peak level of a buffer.
#include "AudioInput.h"
#include "RecordingWriter.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

using namespace castora::engine;

Q_DECLARE_METATYPE(std::vector<unsigned int>)
Q_DECLARE_METATYPE(std::vector<qint16>)

class EngineRulesTest : public QObject {
    Q_OBJECT

private slots:
    void fileName_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("file");
        QTest::newRow("blanks") << "Morning Show"
                                << "Morning_Show"
                                << "Morning_Show_20260321_070509.mp3";
        QTest::newRow("empty") << ""
                               << ""
                               << "_20260321_070509.mp3";
        QTest::newRow("slash") << "AC/DC night"
                               << "AC_DC_night"
                               << "AC_DC_night_20260321_070509.mp3";
        QTest::newRow("climbing out") << "../../etc/passwd"
                                      << "____etc_passwd"
                                      << "____etc_passwd_20260321_070509.mp3";
        QTest::newRow("backslash and drive") << "C:\\Temp\\x"
                                             << "C__Temp_x"
                                             << "C__Temp_x_20260321_070509.mp3";
        QTest::newRow("colon") << "News: 9:00"
                               << "News__9_00"
                               << "News__9_00_20260321_070509.mp3";
        QTest::newRow("control characters")
            << QStringLiteral("Line\nTwo\tThree\x7f") << "Line_Two_Three_"
            << "Line_Two_Three__20260321_070509.mp3";
        QTest::newRow("single dot kept") << "v1.2 live"
                                         << "v1.2_live"
                                         << "v1.2_live_20260321_070509.mp3";
        QTest::newRow("windows-refused") << "Q&A? <live> \"now\" | *"
                                         << "Q&A___live___now_____"
                                         << "Q&A___live___now______20260321_070509.mp3";
        QTest::newRow("unicode kept")
            << QStringLiteral("Café 🎙 show") << QStringLiteral("Café_🎙_show")
            << QStringLiteral("Café_🎙_show_20260321_070509.mp3");
    }
    void fileName() {
        QFETCH(QString, title);
        QFETCH(QString, name);
        QFETCH(QString, file);
        const QDateTime start(QDate(2026, 3, 21), QTime(7, 5, 9));
        QCOMPARE(recordingBaseName(title), name);
        QCOMPARE(recordingFileName(title, start), file);
        // Whatever the title, the file lands in the recordings folder and can be created.
        QTemporaryDir folder;
        const QString path = folder.path() + QLatin1Char('/') + recordingFileName(title, start);
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(folder.path()).absoluteFilePath());
        RecordingWriter writer;
        QVERIFY2(writer.open(path), qPrintable(writer.errorText()));
    }

    void longTitleStaysWithinLimits() {
        const QString title(400, QLatin1Char('x'));
        const QString file = recordingFileName(title, QDateTime::currentDateTime());
        QVERIFY(file.toUtf8().size() < 255);
        QTemporaryDir folder;
        RecordingWriter writer;
        QVERIFY(writer.open(folder.path() + QLatin1Char('/') + file));
    }

    void recordingsFolder() {
        QCOMPARE(defaultRecordingsFolder(),
                 QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                     QStringLiteral("/Castora/"));
    }

    // Appends (a second broadcast in the same second continues the file) and every chunk is
    // in the file as soon as write() returns.
    void writerAppendsAndFlushesEachChunk() {
        QTemporaryDir folder;
        const QString path = folder.path() + QStringLiteral("/a.mp3");
        RecordingWriter writer;
        bool created = false;
        QVERIFY(writer.open(path, &created));
        QVERIFY(created);
        QVERIFY(writer.write("first"));
        QCOMPARE(QFileInfo(path).size(), 5);
        QVERIFY(writer.write("second"));
        QCOMPARE(QFileInfo(path).size(), 11);
        writer.close();
        QVERIFY(writer.open(path, &created));
        QVERIFY(!created);
        QVERIFY(writer.write("third"));
        writer.close();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("firstsecondthird"));
    }

    // A full disk: the write fails, the writer says why and takes nothing more.
    void writerStopsAtFirstFailure() {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        RecordingWriter writer;
        QVERIFY(writer.open(QStringLiteral("/dev/full")));
        QVERIFY(!writer.write("chunk"));
        QVERIFY(writer.failed());
        QVERIFY(!writer.errorText().isEmpty());
        QVERIFY(!writer.isOpen());
        QVERIFY(!writer.write("more"));
    }

    void sampleRate_data() {
        QTest::addColumn<std::vector<unsigned int>>("rates");
        QTest::addColumn<int>("quality");
        QTest::addColumn<unsigned int>("rate");
        const std::vector<unsigned int> odd{8000, 16000, 32000, 96000};
        QTest::newRow("Standard, odd device: nearest to 22050") << odd << 2 << 16000u;
        QTest::newRow("Premium, odd device: nearest to 44100") << odd << 0 << 32000u;
        QTest::newRow("Low, 44100 and 48000")
            << std::vector<unsigned int>{44100, 48000} << 3 << 44100u;
        QTest::newRow("High, 44100 and 48000")
            << std::vector<unsigned int>{44100, 48000} << 1 << 44100u;
        QTest::newRow("Premium, 48000 only") << std::vector<unsigned int>{48000} << 0 << 48000u;
        QTest::newRow("Standard, 48000 only") << std::vector<unsigned int>{48000} << 2 << 48000u;
        QTest::newRow("Standard prefers 22050")
            << std::vector<unsigned int>{48000, 44100, 22050} << 2 << 22050u;
        QTest::newRow("Premium skips 22050")
            << std::vector<unsigned int>{22050, 48000} << 0 << 48000u;
        QTest::newRow("tie: first listed")
            << std::vector<unsigned int>{20050, 24050} << 2 << 20050u;
        QTest::newRow("no rates listed") << std::vector<unsigned int>{} << 2 << 44100u;
        QTest::newRow("quality 7 counts as 2 or more")
            << std::vector<unsigned int>{22050, 44100} << 7 << 22050u;
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
        QTest::newRow("silence") << std::vector<qint16>(512, 0) << 0;
        QTest::newRow("empty") << std::vector<qint16>{} << 0;
        QTest::newRow("full negative") << std::vector<qint16>{0, -32768, 5} << 1000;
        QTest::newRow("full positive") << std::vector<qint16>{32767} << 999;
        QTest::newRow("half") << std::vector<qint16>{100, -16385, 16384} << 500;
    }
    void peak() {
        QFETCH(std::vector<qint16>, samples);
        QFETCH(int, peak);
        QCOMPARE(peakThousandths(samples.data(), unsigned(samples.size())), peak);
    }

    void inputDevicesOnly() {
        AudioDevice output;
        output.name = QStringLiteral("Speakers");
        output.inputChannels = 0;
        AudioDevice mic;
        mic.name = QStringLiteral("Mic");
        mic.inputChannels = 2;
        const std::vector<AudioDevice> all{output, mic};
        QCOMPARE(inputDevices(all).size(), std::size_t(1));
        QVERIFY(findInput(all, QStringLiteral("Mic")).has_value());
        QVERIFY(!findInput(all, QStringLiteral("Speakers")).has_value());
    }
};

CASTORA_TEST_MAIN(EngineRulesTest)
#include "tst_engine_rules.moc"
