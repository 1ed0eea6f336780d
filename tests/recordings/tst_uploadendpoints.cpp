// The stand-in's upload endpoints refuse what the service would refuse.
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
#include <QTest>

#include <memory>

using castora::dev::DevServer;

namespace {

struct Result {
    int status = 0;
    QJsonObject json;
};

using Headers = QList<QPair<QByteArray, QByteArray>>;

} // namespace

class UploadEndpointsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevServer> m_server;
    QNetworkAccessManager m_nam;
    QByteArray m_bearer;

    Result send(const QString &path, const Headers &headers, const QByteArray &body,
                QHttpMultiPart *form = nullptr) {
        QNetworkRequest request(QUrl(m_server->baseUrl() + QLatin1Char('/') + path));
        for (const auto &header : headers)
            request.setRawHeader(header.first, header.second);
        QNetworkReply *reply = form ? m_nam.post(request, form) : m_nam.post(request, body);
        if (form)
            form->setParent(reply);
        QSignalSpy done(reply, &QNetworkReply::finished);
        done.wait(10000);
        Result result{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                      QJsonDocument::fromJson(reply->readAll()).object()};
        delete reply;
        return result;
    }

    static QHttpMultiPart *form(const Headers &fields) {
        auto *multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        for (const auto &field : fields) {
            QHttpPart part;
            part.setHeader(QNetworkRequest::ContentDispositionHeader,
                           "form-data; name=\"" + field.first + '"');
            part.setBody(field.second);
            multipart->append(part);
        }
        return multipart;
    }

    Result start(const QByteArray &bearer, const QByteArray &fileName = "show.mp3") {
        return send(QStringLiteral("api/start-file-upload"), {{"Authorization", bearer}}, {},
                    form({{"filename", fileName}}));
    }

    // A chunk as the client sends it; `mutate` spoils one header or the body.
    Result chunk(const QJsonObject &credentials, int part, int total, const QByteArray &data,
                 const QByteArray &spoil = QByteArray()) {
        Headers headers{
            {"Authorization", m_bearer},
            {"Content-Type", "application/octet-stream"},
            {"X-File-Name", "show.mp3"},
            {"X-Part-Number", QByteArray::number(part)},
            {"X-Total-Chunks", QByteArray::number(total)},
            {"X-Content-Sha1", QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex()},
            {"X-Authorization-Token",
             credentials.value(QLatin1String("authorizationToken")).toString().toUtf8()},
            {"X-Upload-Url", credentials.value(QLatin1String("uploadUrl")).toString().toUtf8()},
            {"X-Start", part == 1 ? "1" : "0"},
            {"X-End", part == total ? "1" : "0"},
        };
        QByteArray body = data;
        if (spoil == "body")
            body[0] = char(body.at(0) ^ 1);
        for (auto &header : headers) {
            if (header.first == spoil)
                header.second = header.first == "Authorization" ? "Bearer nope" : "9";
        }
        return send(QStringLiteral("api/upload-file"), headers, body);
    }

    Result finish(const QJsonObject &credentials, const QByteArray &sha1List,
                  const QByteArray &fileId = QByteArray()) {
        return send(
            QStringLiteral("api/finish-file-upload"), {{"Authorization", m_bearer}}, {},
            form({{"authorizationToken",
                   credentials.value(QLatin1String("authorizationToken")).toString().toUtf8()},
                  {"fileId", fileId.isEmpty()
                                 ? credentials.value(QLatin1String("fileId")).toString().toUtf8()
                                 : fileId},
                  {"partSha1Array", sha1List}}));
    }

    static QByteArray sha1(const QByteArray &data) {
        return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
    }

private slots:
    void init() {
        m_server = std::make_unique<DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_bearer = "Bearer " + m_server->state()
                                   .issueToken(QLatin1String(castora::dev::DevState::kDemoEmail))
                                   .toUtf8();
    }
    void cleanup() { m_server.reset(); }

    void chunkRefusals_data() {
        QTest::addColumn<int>("part");
        QTest::addColumn<QByteArray>("spoil");
        QTest::addColumn<int>("status");
        QTest::newRow("checksum does not match the bytes") << 1 << QByteArray("body") << 400;
        QTest::newRow("part 2 before part 1") << 2 << QByteArray() << 409;
        QTest::newRow("unknown upload token") << 1 << QByteArray("X-Authorization-Token") << 403;
        QTest::newRow("foreign upload URL") << 1 << QByteArray("X-Upload-Url") << 403;
        QTest::newRow("not signed in") << 1 << QByteArray("Authorization") << 401;
        QTest::newRow("start flag wrong") << 1 << QByteArray("X-Start") << 400;
        QTest::newRow("chunk count changes") << 1 << QByteArray("X-Total-Chunks") << 400;
        QTest::newRow("other file name") << 1 << QByteArray("X-File-Name") << 400;
    }

    void chunkRefusals() {
        QFETCH(int, part);
        QFETCH(QByteArray, spoil);
        QFETCH(int, status);
        const Result started = start(m_bearer);
        QCOMPARE(started.status, 200);
        const QJsonObject credentials = started.json;
        const QByteArray one(1000, 'a'), two(500, 'b');
        if (spoil == "X-Total-Chunks") {
            QCOMPARE(chunk(credentials, 1, 2, one).status, 200);
            QCOMPARE(chunk(credentials, 2, 2, two, spoil).status, status);
            QCOMPARE(chunk(credentials, 2, 2, two).status, 200);
        } else {
            QCOMPARE(chunk(credentials, part, 2, part == 1 ? one : two, spoil).status, status);
            // A refused chunk leaves the upload where it was: the right sequence still works.
            QCOMPARE(chunk(credentials, 1, 2, one).status, 200);
            QCOMPARE(chunk(credentials, 2, 2, two).status, 200);
        }
        QCOMPARE(finish(credentials, "[\"" + sha1(one) + "\",\"" + sha1(two) + "\"]").status, 200);
        const auto *stored = m_server->uploads().find(QStringLiteral("show.mp3"));
        QVERIFY(stored);
        QFile file(stored->path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), one + two);
        QCOMPARE(m_server->uploads().openUploads(), 0);
    }

    void finishRefusals_data() {
        QTest::addColumn<int>("partsSent");
        QTest::addColumn<QString>("list"); // %1, %2: the parts' SHA-1s
        QTest::addColumn<QByteArray>("fileId");
        QTest::addColumn<int>("status");
        QTest::newRow("hashes swapped")
            << 2 << QStringLiteral(R"(["%2","%1"])") << QByteArray() << 400;
        QTest::newRow("hash missing") << 2 << QStringLiteral(R"(["%1"])") << QByteArray() << 400;
        QTest::newRow("not a list") << 2 << QStringLiteral("%1,%2") << QByteArray() << 400;
        QTest::newRow("part missing") << 1 << QStringLiteral(R"(["%1"])") << QByteArray() << 409;
        QTest::newRow("other file id")
            << 2 << QStringLiteral(R"(["%1","%2"])") << QByteArray("x") << 403;
    }

    void finishRefusals() {
        QFETCH(int, partsSent);
        QFETCH(QString, list);
        QFETCH(QByteArray, fileId);
        QFETCH(int, status);
        const QJsonObject credentials = start(m_bearer).json;
        const QByteArray one(1000, 'a'), two(500, 'b');
        QCOMPARE(chunk(credentials, 1, 2, one).status, 200);
        if (partsSent == 2)
            QCOMPARE(chunk(credentials, 2, 2, two).status, 200);
        const QString hashes =
            list.arg(QString::fromLatin1(sha1(one)), QString::fromLatin1(sha1(two)));
        QCOMPARE(finish(credentials, hashes.toUtf8(), fileId).status, status);
        QVERIFY(m_server->uploads().stored().isEmpty());
        QCOMPARE(m_server->uploads().openUploads(), 1);
    }

    void finishedUploadIsClosed() {
        const QJsonObject credentials = start(m_bearer).json;
        const QByteArray data(100, 'z');
        QCOMPARE(chunk(credentials, 1, 1, data).status, 200);
        const QByteArray list = "[\"" + sha1(data) + "\"]";
        QCOMPARE(finish(credentials, list).status, 200);
        QCOMPARE(finish(credentials, list).status, 403);
        QCOMPARE(chunk(credentials, 1, 1, data).status, 403);
        QCOMPARE(m_server->uploads().stored().size(), 1);
    }

    void singleAndStartRefusals_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("bearer");
        QTest::addColumn<QByteArray>("fileName"); // percent-encoded for the single upload
        QTest::addColumn<int>("status");
        const QString single = QStringLiteral("api/upload-small-file");
        const QString startPath = QStringLiteral("api/start-file-upload");
        QTest::newRow("single: signed out") << single << QByteArray() << QByteArray("a.mp3") << 401;
        QTest::newRow("single: unknown token")
            << single << QByteArray("Bearer x") << QByteArray("a.mp3") << 401;
        QTest::newRow("single: path in the name")
            << single << QByteArray("valid") << QByteArray("..%2F..%2Fevil.mp3") << 422;
        QTest::newRow("single: no name") << single << QByteArray("valid") << QByteArray() << 422;
        QTest::newRow("start: signed out")
            << startPath << QByteArray() << QByteArray("a.mp3") << 401;
        QTest::newRow("start: path in the name")
            << startPath << QByteArray("valid") << QByteArray("../evil.mp3") << 422;
    }

    void singleAndStartRefusals() {
        QFETCH(QString, path);
        QFETCH(QByteArray, bearer);
        QFETCH(QByteArray, fileName);
        QFETCH(int, status);
        if (bearer == "valid")
            bearer = m_bearer;
        Result result;
        if (path.contains(QLatin1String("start"))) {
            result = start(bearer, fileName);
        } else {
            Headers headers{{"Content-Type", "application/octet-stream"}};
            if (!bearer.isEmpty())
                headers.append({"Authorization", bearer});
            if (!fileName.isEmpty())
                headers.append({"X-filename", fileName});
            result = send(path, headers, QByteArray(10, 'x'));
        }
        QCOMPARE(result.status, status);
        QVERIFY(m_server->uploads().stored().isEmpty());
        QCOMPARE(m_server->uploads().openUploads(), 0);
    }
};

CASTORA_TEST_MAIN(UploadEndpointsTest)
#include "tst_uploadendpoints.moc"
