// The stand-in's multipart/form-data parser.
#include "Multipart.h"
#include "TestMain.h"

using castora::dev::MultipartBody;
using castora::test::row;

class MultipartTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        QTest::addColumn<QByteArray>("boundary");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArrayList>("parts"); // "name=body"; empty: refused

        // The framing Qt's QHttpMultiPart writes.
        row("Qt form", QByteArray("; boundary=\"boundary_.oOo._MjQ1\""),
            QByteArray(
                "--boundary_.oOo._MjQ1\r\nContent-Disposition: form-data; "
                "name=\"authorizationToken\"\r\n\r\ntok\r\n"
                "--boundary_.oOo._MjQ1\r\nContent-Disposition: form-data; "
                "name=\"partSha1Array\"\r\n\r\n[\"a\",\"b\"]\r\n--boundary_.oOo._MjQ1--\r\n"),
            QByteArrayList{"authorizationToken=tok", "partSha1Array=[\"a\",\"b\"]"});
        row("preamble, LF line ends, body with CRLF and dashes", QByteArray("; boundary=XyZ"),
            QByteArray("ignored preamble\n--XyZ\nContent-Disposition: form-data; name=a\n\n"
                       "line1\r\n--Xy not the boundary\n--XyZ--\nepilogue"),
            QByteArrayList{"a=line1\r\n--Xy not the boundary"});
        row("empty part body", QByteArray("; boundary=b"),
            QByteArray("--b\r\nContent-Disposition: form-data; name=\"fileId\"\r\n\r\n\r\n--b--"),
            QByteArrayList{"fileId="});
        row("no boundary", QByteArray(), QByteArray("--b\r\n\r\nx\r\n--b--"), QByteArrayList{});
        row("never closed", QByteArray("; boundary=b"),
            QByteArray("--b\r\nContent-Disposition: form-data; name=a\r\n\r\ntruncated"),
            QByteArrayList{});
        row("header without colon", QByteArray("; boundary=b"),
            QByteArray("--b\r\nbroken header\r\n\r\nx\r\n--b--"), QByteArrayList{});
    }

    void parse() {
        QFETCH(QByteArray, boundary);
        QFETCH(QByteArray, body);
        QFETCH(QByteArrayList, parts);
        const MultipartBody parsed = MultipartBody::parse("multipart/form-data" + boundary, body);
        QCOMPARE(parsed.isValid(), !parts.isEmpty());
        QByteArrayList got;
        for (const auto &part : parsed.parts())
            got.append(part.name + '=' + part.body);
        if (parsed.isValid())
            QCOMPARE(got, parts);
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
