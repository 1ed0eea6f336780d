// Chunk arithmetic beyond what a test file can hold, and the file name of a single upload.
// The rest of the upload plan is checked on the wire (tst_recordinguploads).
#include "TestMain.h"
#include "UploadPlan.h"

using castora::recordings::UploadPlan;
using castora::test::row;

class UploadPlanTest : public QObject {
    Q_OBJECT

private slots:
    void beyondFourGigabytes() {
        const UploadPlan plan(20'000'000'001LL); // offsets and sizes need 64 bits
        QCOMPARE(plan.totalChunks(), 4001);
        QCOMPARE(plan.chunkOffset(4000), 20'000'000'000LL);
        QCOMPARE(plan.chunkLength(4000), qint64(1));
        QCOMPARE(plan.chunkLength(4001), qint64(0));
        QCOMPARE(plan.progressAfter(1999), 49);
    }

    void encodedFileName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("encoded");
        row("unreserved kept", "a-b.c_d~e.mp3", QByteArray("a-b.c_d~e.mp3"));
        row("space", "my show.mp3", QByteArray("my%20show.mp3"));
        row("non-ASCII", QStringLiteral("Café – Ünï.mp3"),
            QByteArray("Caf%C3%A9%20%E2%80%93%20%C3%9Cn%C3%AF.mp3"));
        row("reserved", "a/b+c&d%e?.mp3", QByteArray("a%2Fb%2Bc%26d%25e%3F.mp3"));
    }

    void encodedFileName() {
        QFETCH(QString, name);
        QFETCH(QByteArray, encoded);
        QCOMPARE(UploadPlan::encodedFileName(name), encoded);
    }
};

CASTORA_TEST_MAIN(UploadPlanTest)
#include "tst_uploadplan.moc"
