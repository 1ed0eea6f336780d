// The stand-in's upload endpoints refuse what the service would refuse.
#include "BackendRequest.h"
#include "DevServer.h"
#include "TestMain.h"
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

    int finish(const QByteArray &sha1List, const QByteArray &fileId) {
        return post("api/finish-file-upload", {{"Authorization", m_bearer}}, {},
                    {{"authorizationToken", credential("authorizationToken")},
                     {"fileId", fileId},
                     {"partSha1Array", sha1List}});
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

    void chunkRefusals_data() {
        QTest::addColumn<int>("part");
        QTest::addColumn<QByteArray>("spoil");
        QTest::addColumn<int>("status");
        row("checksum does not match the bytes", 1, QByteArray("body"), 400);
        row("part 2 before part 1", 2, QByteArray(), 409);
        row("unknown upload token", 1, QByteArray("X-Authorization-Token"), 403);
        row("foreign upload URL", 1, QByteArray("X-Upload-Url"), 403);
        row("not signed in", 1, QByteArray("Authorization"), 401);
        row("start flag wrong", 1, QByteArray("X-Start"), 400);
        row("other file name", 1, QByteArray("X-File-Name"), 400);
        row("chunk count changes", 2, QByteArray("X-Total-Chunks"), 400);
    }

    void chunkRefusals() {
        QFETCH(int, part);
        QFETCH(QByteArray, spoil);
        QFETCH(int, status);
        if (spoil == "X-Total-Chunks")
            QCOMPARE(chunk(1, 2, m_one), 200);
        QCOMPARE(chunk(part, 2, part == 1 ? m_one : m_two, spoil), status);

        // A refused chunk leaves the upload where it was: the right sequence still completes.
        if (spoil != "X-Total-Chunks")
            QCOMPARE(chunk(1, 2, m_one), 200);
        QCOMPARE(chunk(2, 2, m_two), 200);
        QCOMPARE(finish("[\"" + sha1(m_one) + "\",\"" + sha1(m_two) + "\"]", credential("fileId")),
                 200);
        const auto *stored = m_server->uploads().find("show.mp3");
        QVERIFY(stored);
        QFile file(stored->path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), m_one + m_two);
        QCOMPARE(m_server->uploads().openUploads(), 0);
        // A finished upload takes nothing more.
        QCOMPARE(chunk(1, 2, m_one), 403);
    }

    void finishRefusals_data() {
        QTest::addColumn<int>("partsSent");
        QTest::addColumn<QString>("list"); // %1, %2: the parts' SHA-1s
        QTest::addColumn<bool>("otherFileId");
        QTest::addColumn<int>("status");
        row("hashes swapped", 2, QString(R"(["%2","%1"])"), false, 400);
        row("hash missing", 2, QString(R"(["%1"])"), false, 400);
        row("not a list", 2, QStringLiteral("%1,%2"), false, 400);
        row("part missing", 1, QString(R"(["%1"])"), false, 409);
        row("other file id", 2, QString(R"(["%1","%2"])"), true, 403);
    }

    void finishRefusals() {
        QFETCH(int, partsSent);
        QFETCH(QString, list);
        QFETCH(bool, otherFileId);
        QFETCH(int, status);
        QCOMPARE(chunk(1, 2, m_one), 200);
        if (partsSent == 2)
            QCOMPARE(chunk(2, 2, m_two), 200);
        const QString hashes =
            list.arg(QString::fromLatin1(sha1(m_one)), QString::fromLatin1(sha1(m_two)));
        QCOMPARE(finish(hashes.toUtf8(), otherFileId ? QByteArray("x") : credential("fileId")),
                 status);
        QVERIFY(m_server->uploads().stored().isEmpty());
        QCOMPARE(m_server->uploads().openUploads(), 1);
    }

    void refusedNames_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QByteArray>("fileName"); // percent-encoded for the single upload
        QTest::addColumn<int>("status");
        const QString single = "api/upload-small-file", start = "api/start-file-upload";
        row("single: signed out", single, false, QByteArray("a.mp3"), 401);
        row("single: path in the name", single, true, QByteArray("..%2F..%2Fevil.mp3"), 422);
        row("single: no name", single, true, QByteArray(), 422);
        row("start: path in the name", start, true, QByteArray("../evil.mp3"), 422);
    }

    void refusedNames() {
        QFETCH(QString, path);
        QFETCH(bool, signedIn);
        QFETCH(QByteArray, fileName);
        QFETCH(int, status);
        Headers headers;
        if (signedIn)
            headers.append({"Authorization", m_bearer});
        if (path.contains("start")) {
            QCOMPARE(post(path, headers, {}, {{"filename", fileName}}), status);
        } else {
            if (!fileName.isEmpty())
                headers.append({"X-filename", fileName});
            QCOMPARE(post(path, headers, QByteArray(10, 'x')), status);
        }
        QVERIFY(m_server->uploads().stored().isEmpty());
        QCOMPARE(m_server->uploads().openUploads(), 1); // the one init() opened
    }
};

CASTORA_TEST_MAIN(UploadEndpointsTest)
#include "tst_uploadendpoints.moc"
