// Chunk boundaries, progress, file-name encoding and chunk headers of recording uploads.
#include "TestMain.h"
#include "UploadPlan.h"

#include <QJsonObject>
#include <QTest>

using castora::recordings::kChunkSize;
using castora::recordings::UploadCredentials;
using castora::recordings::UploadPlan;

class UploadPlanTest : public QObject {
    Q_OBJECT

private slots:
    void chunks_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<QList<int>>("progress"); // one value per chunk
        QTest::addColumn<qint64>("lastLength");

        QTest::newRow("empty") << qint64(0) << false << QList<int>{} << qint64(0);
        QTest::newRow("just below") << qint64(4'999'999) << false << QList<int>{} << qint64(0);
        QTest::newRow("exactly one chunk")
            << qint64(5'000'000) << true << QList<int>{100} << qint64(5'000'000);
        QTest::newRow("one byte over")
            << qint64(5'000'001) << true << QList<int>{50, 100} << qint64(1);
        QTest::newRow("two full") << qint64(10'000'000) << true << QList<int>{50, 100}
                                  << qint64(5'000'000);
        QTest::newRow("three") << qint64(12'345'678) << true << QList<int>{33, 66, 100}
                               << qint64(2'345'678);
        QTest::newRow("seven") << qint64(34'000'000) << true
                               << QList<int>{14, 28, 42, 57, 71, 85, 100} << qint64(4'000'000);
    }

    void chunks() {
        QFETCH(qint64, size);
        QFETCH(bool, chunked);
        QFETCH(QList<int>, progress);
        QFETCH(qint64, lastLength);

        QCOMPARE(UploadPlan::isChunked(size), chunked);
        if (!chunked)
            return;
        const UploadPlan plan(size);
        QCOMPARE(plan.totalChunks(), progress.size());
        qint64 covered = 0;
        for (int i = 0; i < plan.totalChunks(); ++i) {
            QCOMPARE(plan.chunkOffset(i), covered); // contiguous, no gap, no overlap
            QVERIFY(plan.chunkLength(i) > 0 && plan.chunkLength(i) <= kChunkSize);
            covered += plan.chunkLength(i);
            QCOMPARE(plan.progressAfter(i), progress.at(i));
        }
        QCOMPARE(covered, size);
        QCOMPARE(plan.chunkLength(plan.totalChunks() - 1), lastLength);
        QCOMPARE(plan.chunkLength(plan.totalChunks()), qint64(0));
    }

    void beyondFourGigabytes() {
        const UploadPlan plan(20'000'000'001LL); // offsets and sizes need 64 bits
        QCOMPARE(plan.totalChunks(), 4001);
        QCOMPARE(plan.chunkOffset(4000), 20'000'000'000LL);
        QCOMPARE(plan.chunkLength(4000), qint64(1));
        QCOMPARE(plan.progressAfter(1999), 49);
    }

    void encodedFileName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("plain") << QStringLiteral("Morning_Show_20260321_070509.mp3")
                               << QByteArray("Morning_Show_20260321_070509.mp3");
        QTest::newRow("unreserved kept")
            << QStringLiteral("a-b.c_d~e.mp3") << QByteArray("a-b.c_d~e.mp3");
        QTest::newRow("space") << QStringLiteral("my show.mp3") << QByteArray("my%20show.mp3");
        QTest::newRow("non-ASCII") << QStringLiteral("Café – Ünï.mp3")
                                   << QByteArray("Caf%C3%A9%20%E2%80%93%20%C3%9Cn%C3%AF.mp3");
        QTest::newRow("reserved") << QStringLiteral("a/b+c&d%e?.mp3")
                                  << QByteArray("a%2Fb%2Bc%26d%25e%3F.mp3");
    }

    void encodedFileName() {
        QFETCH(QString, name);
        QFETCH(QByteArray, encoded);
        QCOMPARE(UploadPlan::encodedFileName(name), encoded);
    }

    void chunkHeaders_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("index");
        QTest::addColumn<QByteArray>("part");
        QTest::addColumn<QByteArray>("total");
        QTest::addColumn<QByteArray>("startFlag");
        QTest::addColumn<QByteArray>("endFlag");
        QTest::newRow("first of three") << qint64(12'345'678) << 0 << QByteArray("1")
                                        << QByteArray("3") << QByteArray("1") << QByteArray("0");
        QTest::newRow("middle of three") << qint64(12'345'678) << 1 << QByteArray("2")
                                         << QByteArray("3") << QByteArray("0") << QByteArray("0");
        QTest::newRow("last of three") << qint64(12'345'678) << 2 << QByteArray("3")
                                       << QByteArray("3") << QByteArray("0") << QByteArray("1");
        QTest::newRow("only chunk") << qint64(5'000'000) << 0 << QByteArray("1") << QByteArray("1")
                                    << QByteArray("1") << QByteArray("1");
    }

    void chunkHeaders() {
        QFETCH(qint64, size);
        QFETCH(int, index);
        QFETCH(QByteArray, part);
        QFETCH(QByteArray, total);
        QFETCH(QByteArray, startFlag);
        QFETCH(QByteArray, endFlag);
        const UploadCredentials credentials{QStringLiteral("tok"), QStringLiteral("http://u/1"),
                                            QStringLiteral("f1")};
        const QByteArray sha1(40, 'a');
        const castora::recordings::HeaderList expected{
            {"Content-Type", "application/octet-stream"},
            {"X-File-Name", "Caf\xc3\xa9 \xe2\x80\x93 1.mp3"}, // plain UTF-8, not encoded
            {"X-Part-Number", part},
            {"X-Total-Chunks", total},
            {"X-Content-Sha1", sha1},
            {"X-Authorization-Token", "tok"},
            {"X-Upload-Url", "http://u/1"},
            {"X-Start", startFlag},
            {"X-End", endFlag},
        };
        QCOMPARE(
            UploadPlan(size).chunkHeaders(index, QStringLiteral("Café – 1.mp3"), sha1, credentials),
            expected);
    }

    void credentials() {
        // Missing or mistyped fields read as empty strings; the service's answers decide then.
        const auto partial = UploadCredentials::fromReply(
            QJsonObject{{QStringLiteral("fileId"), 42}, {QStringLiteral("uploadUrl"), "u"}});
        QVERIFY(partial.authorizationToken.isEmpty() && partial.fileId.isEmpty());
        QCOMPARE(partial.uploadUrl, QStringLiteral("u"));
    }
};

CASTORA_TEST_MAIN(UploadPlanTest)
#include "tst_uploadplan.moc"
