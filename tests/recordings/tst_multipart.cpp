// The stand-in's multipart/form-data parser.
#include "Multipart.h"
#include "TestMain.h"

#include <QTest>

using castora::dev::MultipartBody;

class MultipartTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QList<QByteArray>>("names");
        QTest::addColumn<QList<QByteArray>>("bodies");

        // The framing Qt's QHttpMultiPart writes.
        QTest::newRow("Qt form")
            << QByteArray("multipart/form-data; boundary=\"boundary_.oOo._MjQ1\"")
            << QByteArray(
                   "--boundary_.oOo._MjQ1\r\nContent-Disposition: form-data; "
                   "name=\"authorizationToken\"\r\n\r\ntok\r\n"
                   "--boundary_.oOo._MjQ1\r\nContent-Disposition: form-data; "
                   "name=\"partSha1Array\"\r\n\r\n[\"a\",\"b\"]\r\n--boundary_.oOo._MjQ1--\r\n")
            << true << QList<QByteArray>{"authorizationToken", "partSha1Array"}
            << QList<QByteArray>{"tok", "[\"a\",\"b\"]"};
        QTest::newRow("preamble, LF line ends, body with CRLF and dashes")
            << QByteArray("multipart/form-data; boundary=XyZ")
            << QByteArray("ignored preamble\n--XyZ\nContent-Disposition: form-data; name=a\n\n"
                          "line1\r\n--Xy not the boundary\n--XyZ--\nepilogue")
            << true << QList<QByteArray>{"a"}
            << QList<QByteArray>{"line1\r\n--Xy not the boundary"};
        QTest::newRow("empty part body")
            << QByteArray("multipart/form-data; boundary=b")
            << QByteArray("--b\r\nContent-Disposition: form-data; "
                          "name=\"fileId\"\r\n\r\n\r\n--b--")
            << true << QList<QByteArray>{"fileId"} << QList<QByteArray>{""};
        QTest::newRow("no boundary")
            << QByteArray("multipart/form-data") << QByteArray("--b\r\n\r\nx\r\n--b--") << false
            << QList<QByteArray>{} << QList<QByteArray>{};
        QTest::newRow("never closed") << QByteArray("multipart/form-data; boundary=b")
                                      << QByteArray("--b\r\nContent-Disposition: form-data; "
                                                    "name=a\r\n\r\ntruncated")
                                      << false << QList<QByteArray>{} << QList<QByteArray>{};
        QTest::newRow("header without colon")
            << QByteArray("multipart/form-data; boundary=b")
            << QByteArray("--b\r\nbroken header\r\n\r\nx\r\n--b--") << false << QList<QByteArray>{}
            << QList<QByteArray>{};
    }

    void parse() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(bool, valid);
        QFETCH(QList<QByteArray>, names);
        QFETCH(QList<QByteArray>, bodies);

        const MultipartBody parsed = MultipartBody::parse(contentType, body);
        QCOMPARE(parsed.isValid(), valid);
        if (!valid)
            return;
        QList<QByteArray> gotNames, gotBodies;
        for (const auto &part : parsed.parts()) {
            gotNames.append(part.name);
            gotBodies.append(part.body);
        }
        QCOMPARE(gotNames, names);
        QCOMPARE(gotBodies, bodies);
    }

    void dispositionParameters() {
        const QByteArray value(
            "form-data; name=\"stream_art\"; filename=\"my \\\"best\\\"; art.png\"");
        bool found = false;
        QCOMPARE(castora::dev::headerParameter(value, "NAME"), QByteArray("stream_art"));
        QCOMPARE(castora::dev::headerParameter(value, "filename", &found),
                 QByteArray("my \"best\"; art.png"));
        QVERIFY(found);
        QVERIFY(castora::dev::headerParameter(value, "size", &found).isEmpty());
        QVERIFY(!found);
    }
};

CASTORA_TEST_MAIN(MultipartTest)
#include "tst_multipart.moc"
