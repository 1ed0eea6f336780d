// The stand-in's upload endpoints refuse what the service would refuse; the multipart parser
// behind its forms; the upload plan's arithmetic beyond what a test file can hold.
#include "BackendRequest.h"
#include "DevServer.h"
#include "Multipart.h"
#include "TestMain.h"
#include "UploadPlan.h"
#include "UploadRoutes.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>

#include <memory>

using Headers = QList<QPair<QByteArray, QByteArray>>;
using castora::dev::MultipartBody;
using castora::recordings::UploadPlan;
using castora::test::row;

class UploadEndpointsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<castora::dev::DevServer> m_server;
    QNetworkAccessManager m_nam;
    QByteArray m_bearer;
    QJsonObject m_credentials; // of the upload opened by init()
    const QByteArray m_one = QByteArray(1000, 'a');
    const QByteArray m_two = QByteArray(500, 'b');

    // POSTs `body`, or the form fields when given; returns the status and fills `json`.
    int post(const QString &path, const Headers &headers, const QByteArray &body,
             const Headers &form = {}, QJsonObject *json = nullptr) {
        QNetworkRequest request(QUrl(m_server->baseUrl() + '/' + path));
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        auto *multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &[name, value] : form)
            multipart->append(castora::api::formField(QString::fromLatin1(name), value));
        std::unique_ptr<QNetworkReply> reply(form.isEmpty() ? m_nam.post(request, body)
                                                            : m_nam.post(request, multipart));
        multipart->setParent(reply.get());
        QSignalSpy(reply.get(), &QNetworkReply::finished).wait(10000);
        if (json)
            *json = QJsonDocument::fromJson(reply->readAll()).object();
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

    QByteArray credential(const char *name) const {
        return m_credentials.value(QLatin1String(name)).toString().toUtf8();
    }

    // A chunk as the client sends it; `spoil` names the header (or "body") to get wrong.
    int chunk(int part, int total, const QByteArray &data, const QByteArray &spoil = {}) {
        Headers headers{
            {"Authorization", m_bearer},
            {"X-File-Name", "show.mp3"},
            {"X-Part-Number", QByteArray::number(part)},
            {"X-Total-Chunks", QByteArray::number(total)},
            {"X-Content-Sha1", sha1(data)},
            {"X-Authorization-Token", credential("authorizationToken")},
            {"X-Upload-Url", credential("uploadUrl")},
            {"X-Start", part == 1 ? "1" : "0"},
            {"X-End", part == total ? "1" : "0"},
        };
        for (auto &header : headers) {
            if (header.first == spoil)
                header.second = header.first == "Authorization" ? "Bearer nope" : "9";
        }
        QByteArray body = data;
        if (spoil == "body")
            body[0] = char(body.at(0) ^ 1);
        return post("api/upload-file", headers, body);
    }

    // "f21": finishes with the SHA-1s of parts 2 and 1, in that order.
    int finish(const QByteArray &parts, const QByteArray &fileId) {
        QByteArrayList hashes;
        for (const char part : parts)
            hashes.append('"' + sha1(part == '1' ? m_one : m_two) + '"');
        return post("api/finish-file-upload", {{"Authorization", m_bearer}}, {},
                    {{"authorizationToken", credential("authorizationToken")},
                     {"fileId", fileId},
                     {"partSha1Array", '[' + hashes.join(',') + ']'}});
    }

    static QByteArray sha1(const QByteArray &data) {
        return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
    }

private slots:
    void init() {
        m_server = std::make_unique<castora::dev::DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_bearer =
            "Bearer " + m_server->state().issueToken(castora::dev::DevState::kDemoEmail).toUtf8();
        QCOMPARE(post("api/start-file-upload", {{"Authorization", m_bearer}}, {},
                      {{"filename", "show.mp3"}}, &m_credentials),
                 200);
    }
    void cleanup() { m_server.reset(); }

    // Each step: "c<part>" sends that chunk of two, "f<parts>" finishes with those parts'
    // SHA-1s, "s<name>" is a single upload and "o<name>" opens another upload under that name;
    // "!<header>" gets that header (or "body", "fileId") wrong; "=<status>" is the answer.
    // A refused step leaves the upload where it was: the right sequence still completes.
    void sequences_data() {
        QTest::addColumn<QStringList>("steps");
        const QStringList rest{"c1=200", "c2=200", "f12=200"};
        row("checksum does not match the bytes", QStringList{"c1!body=400"} + rest);
        row("part 2 before part 1", QStringList{"c2=409"} + rest);
        row("unknown upload token", QStringList{"c1!X-Authorization-Token=403"} + rest);
        row("not signed in",
            QStringList{"c1!Authorization=401", "sa.mp3!Authorization=401"} + rest);
        row("chunk count changes", QStringList{"c1=200", "c2!X-Total-Chunks=400"} + rest.mid(1));
        row("finish: hashes swapped", QStringList{"c1=200", "c2=200", "f21=400", "f12=200"});
        row("finish: hash missing", QStringList{"c1=200", "c2=200", "f1=400", "f12=200"});
        row("finish: part missing", QStringList{"c1=200", "f1=409"} + rest.mid(1));
        row("finish: other file id", QStringList{"c1=200", "c2=200", "f12!fileId=403", "f12=200"});
        row("paths in file names",
            QStringList{"s..%2F..%2Fevil.mp3=422", "o../evil.mp3=422"} + rest);
    }

    void sequences() {
        QFETCH(QStringList, steps);
        for (const QString &step : std::as_const(steps)) {
            const QByteArray command = step.section('=', 0, 0).section('!', 0, 0).toUtf8();
            const QByteArray spoil = step.section('=', 0, 0).section('!', 1).toLatin1();
            const QByteArray arg = command.mid(1);
            int status = 0;
            if (command.startsWith('c'))
                status = chunk(arg.toInt(), 2, arg == "1" ? m_one : m_two, spoil);
            else if (command.startsWith('f'))
                status = finish(arg, spoil.isEmpty() ? credential("fileId") : QByteArray("x"));
            else if (command.startsWith('o'))
                status = post("api/start-file-upload", {{"Authorization", m_bearer}}, {},
                              {{"filename", arg}});
            else
                status = post("api/upload-small-file",
                              {{"Authorization", spoil.isEmpty() ? m_bearer : "Bearer nope"},
                               {"X-filename", arg}},
                              QByteArray(10, 'x'));
            QVERIFY2(status == step.section('=', 1).toInt(),
                     qPrintable(step + " answered " + QString::number(status)));
            QCOMPARE(m_server->uploads().stored().isEmpty(), step != steps.last());
        }
        const auto *stored = m_server->uploads().find("show.mp3");
        QVERIFY(stored);
        QFile file(stored->path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), m_one + m_two);
        QCOMPARE(m_server->uploads().openUploads(), 0);
        QCOMPARE(chunk(1, 2, m_one), 403); // a finished upload takes nothing more
    }

    // The multipart/form-data parser behind the stand-in's forms, beyond the framing Qt writes
    // (which every upload and stream-details test goes through).
    void parse_data() {
        QTest::addColumn<QByteArray>("boundary");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArrayList>("parts"); // "name=body"; empty: refused
        row("preamble, LF line ends, body with CRLF and dashes", QByteArray("; boundary=XyZ"),
            QByteArray("ignored preamble\n--XyZ\nContent-Disposition: form-data; name=a\n\n"
                       "line1\r\n--Xy not the boundary\n--XyZ--\nepilogue"),
            QByteArrayList{"a=line1\r\n--Xy not the boundary"});
        row("no boundary", QByteArray(), QByteArray("--b\r\n\r\nx\r\n--b--"), QByteArrayList{});
        row("never closed", QByteArray("; boundary=b"),
            QByteArray("--b\r\nContent-Disposition: form-data; name=a\r\n\r\ntruncated"),
            QByteArrayList{});
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

    // Chunk arithmetic beyond what a test file can hold.
    void beyondFourGigabytes() {
        const UploadPlan plan(20'000'000'001LL); // offsets and sizes need 64 bits
        QCOMPARE(plan.totalChunks(), 4001);
        QCOMPARE(plan.chunkOffset(4000), 20'000'000'000LL);
        QCOMPARE(plan.chunkLength(4000), qint64(1));
        QCOMPARE(plan.chunkLength(4001), qint64(0));
        QCOMPARE(plan.progressAfter(1999), 49);
    }
};

CASTORA_TEST_MAIN(UploadEndpointsTest)
#include "tst_uploadendpoints.moc"
