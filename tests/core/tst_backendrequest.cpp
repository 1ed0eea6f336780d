// The common request rules as the backend sees them on the wire, and what the client refuses to
// take from it.
#include "BackendRequest.h"
#include "NetworkAccess.h"
#include "SettingsStore.h"
#include "StandInBackend.h"
#include "TestMain.h"
#include "castora_config.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

using namespace castora;
using castora::dev::RecordedRequest;
using castora::test::columns;
using castora::test::row;

Q_DECLARE_METATYPE(castora::api::Auth)

class TestBackendRequest : public QObject {
    Q_OBJECT

    static constexpr int kTimeoutMs = 2000; // without progress; the program waits 30 s
    test::StandInBackend m_backend;
    net::AccessManager m_nam;

    RecordedRequest roundTrip(QNetworkReply *reply) {
        bool done = false;
        api::onFinished(reply, this, [&](const api::Reply &) { done = true; });
        if (!QTest::qWaitFor([&] { return done; }, 5000))
            qFatal("no reply");
        return m_backend->requests().last();
    }

private slots:
    void initTestCase() { net::setTransferTimeout(std::chrono::milliseconds(kTimeoutMs)); }

    void init() { QVERIFY(m_backend.start()); }

    void authorizationHeader_data() {
        columns<QString, api::Auth, bool, QByteArray>("stored", "auth", "present", "value");
        // A token stored and sent with Bearer, BearerIfStored or not at all (None) is checked
        // where the controllers send it: sign-in, saved-token check, update check.
        const auto bearer = api::Auth::Bearer, ifStored = api::Auth::BearerIfStored;
        row("bearer, nothing stored", "", bearer, true, QByteArray("Bearer "));
        row("if stored, nothing stored", "", ifStored, false, QByteArray());
        row("non-ASCII token as UTF-8", QStringLiteral("jeton-é"), bearer, true,
            QByteArray("Bearer jeton-\xc3\xa9"));
    }

    void authorizationHeader() {
        QFETCH(QString, stored);
        QFETCH(api::Auth, auth);
        QFETCH(bool, present);
        QFETCH(QByteArray, value);
        if (!stored.isEmpty())
            settings::setToken(stored);
        const RecordedRequest request =
            roundTrip(api::get(m_nam, m_backend.config().endpoint("api/app/version"), {auth}));
        // The server trims trailing blanks of header values: compare the request as built too.
        QCOMPARE(api::request(QUrl("http://x/"), {auth}).rawHeader("Authorization"), value);
        QCOMPARE(request.hasHeader("Authorization"), present);
        QCOMPARE(request.header("Authorization"), value.trimmed());
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    }

    // A mount point or slug from the backend is one path segment, whatever it holds. Ordinary
    // values give the address they always gave.
    void pathSegments_data() {
        // encoded: empty: no address at all
        columns<QString, QByteArray>("segment", "encoded");
        row("UUID mount point", "0f8c2a4e-5b1d-4c6e-9a7f-3e2d1c0b9a88",
            QByteArray("0f8c2a4e-5b1d-4c6e-9a7f-3e2d1c0b9a88"));
        row("empty: the bare prefix", "", QByteArray(""));
        row("slash", "a/../../auth/logout", QByteArray("a%2F..%2F..%2Fauth%2Flogout"));
        row("query and fragment", "x?y=1#z", QByteArray("x%3Fy=1%23z"));
        row("percent", "%2E%2E", QByteArray("%252E%252E"));
        row("dot-dot alone", "..", QByteArray());
    }

    void pathSegments() {
        QFETCH(QString, segment);
        QFETCH(QByteArray, encoded);
        const QUrl url = m_backend.config().endpoint("api/stats/", segment);
        if (encoded.isEmpty() && !segment.isEmpty()) {
            QVERIFY(!url.isValid()); // would name "api/" or "api/stats/" itself
            QSignalSpy finished(&m_nam, &QNetworkAccessManager::finished);
            api::get(m_nam, url);
            QVERIFY(finished.wait());
            QVERIFY(m_backend->requests().isEmpty());
            return;
        }
        const QByteArray base = m_backend.config().backendUrl.toUtf8();
        QCOMPARE(url.toEncoded(), base + "/api/stats/" + encoded);
        ServiceConfig slash = m_backend.config();
        slash.backendUrl += '/'; // a base URL with a trailing slash gives no double slash
        QCOMPARE(slash.endpoint("api/stats/", segment), url);
        if (segment == QString::fromLatin1(encoded)) // as it was before encoding
            QCOMPARE(url, m_backend.config().endpoint("api/stats/" + segment));
        const RecordedRequest request = roundTrip(api::get(m_nam, url));
        QCOMPARE(request.path, "api/stats/" + segment);
        QVERIFY(request.query.isEmpty());
    }

    // Artwork comes from https addresses only, and in development builds from the backend's own
    // origin (the screen's part: tst_broadcastscreen's artworkFromAllowedAddressesOnly).
    void artworkAddresses_data() {
        columns<QString, bool>("address", "allowed"); // %1: the backend's address
        row("https elsewhere", "https://cdn.example/art.png", true);
        row("the backend's own origin", "%1/artwork/a.png", bool(CASTORA_DEVELOPMENT));
        row("the backend's host, another port", "http://127.0.0.1:1/art.png", false);
        row("https without a host", "https:///art.png", false);
    }

    void artworkAddresses() {
        QFETCH(QString, address);
        QFETCH(bool, allowed);
        const ServiceConfig config = m_backend.config();
        QCOMPARE(config.allowsArtwork(QUrl(address.arg(config.backendUrl))), allowed);
    }

    // Replies beyond their limit are refused while they arrive: the reply is aborted, the
    // handler's failure says why, and never much more than the limit is held.
    void oversizedReplies_data() {
        // announced: Content-Length, or streamed until the end
        columns<bool, qint64>("announced", "limit");
        row("JSON, length announced", true, net::kMaxJsonReplyBytes);
        row("JSON, streamed without a length", false, net::kMaxJsonReplyBytes);
        row("artwork, streamed without a length", false, net::kMaxArtworkBytes);
    }

    void oversizedReplies() {
        QFETCH(bool, announced);
        QFETCH(qint64, limit);
        QUrl url = m_backend.config().endpoint("api/app/version");
        QTcpServer flood;
        qint64 sent = 0;
        if (announced) {
            m_backend->answerNext(
                1, dev::Answer::text(QByteArray(2 * limit, '7'), 200, "application/json"));
        } else {
            // Headers without a length, then as much as the client takes.
            QVERIFY(flood.listen(QHostAddress::LocalHost));
            connect(&flood, &QTcpServer::newConnection, this, [&] {
                QTcpSocket *socket = flood.nextPendingConnection();
                const auto more = [socket, &sent, limit] {
                    if (socket->bytesToWrite() > 256 * 1024 || sent > 64 * limit)
                        return;
                    socket->write(QByteArray(64 * 1024, '7'));
                    sent += 64 * 1024;
                };
                connect(socket, &QTcpSocket::readyRead, socket, [socket, more] {
                    socket->readAll();
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Connection: close\r\n\r\n");
                    more();
                });
                connect(socket, &QTcpSocket::bytesWritten, socket, more);
            });
            url = QUrl(QStringLiteral("http://127.0.0.1:%1/big").arg(flood.serverPort()));
        }
        // Artwork as the UI's image loader fetches it (its manager holds the limit); JSON through
        // the reply pattern of every backend call.
        const bool artwork = limit == net::kMaxArtworkBytes;
        net::AccessManager nam(nullptr, artwork ? limit : 0);
        QNetworkReply *reply = artwork ? nam.get(QNetworkRequest(url)) : api::get(nam, url);
        qint64 held = 0;
        connect(reply, &QNetworkReply::readyRead, this,
                [&] { held = std::max(held, reply->bytesAvailable()); });
        std::optional<api::Reply> result;
        if (artwork)
            connect(reply, &QNetworkReply::finished, this, [&] { result = api::readReply(reply); });
        else
            api::onFinished(reply, this, [&](const api::Reply &r) { result = r; });
        QTRY_VERIFY(result.has_value());
        QCOMPARE(result->error, QNetworkReply::UnknownContentError);
        QCOMPARE(result->errorString, "The server's reply is larger than " +
                                          QString::number(limit >> 20) + " MB and was refused.");
        QVERIFY(result->body.isEmpty());
        // Checked as each piece arrives: what was held never came near the flood's size.
        QVERIFY2(held <= 2 * limit, qPrintable(QString::number(held)));
        if (!announced)
            QVERIFY2(sent < 4 * limit, qPrintable(QString::number(sent))); // stopped reading
    }

    // The time-out counts from the last progress, not from the start: an upload that keeps
    // moving may take longer than it in all, one that stops moving fails after it.
    void noProgressTimeOut_data() {
        QTest::addColumn<qint64>("stallAfter"); // the server stops reading there; 0: never
        row("slow but steady upload, longer than the time-out", qint64(0));
        row("upload stalls halfway", qint64(8'000'000));
    }

    void noProgressTimeOut() {
        QFETCH(qint64, stallAfter);
        const qint64 size = 48'000'000; // far beyond what socket buffers take at once
        QTcpServer slow;
        QVERIFY(slow.listen(QHostAddress::LocalHost));
        qint64 taken = 0; // of the body
        connect(&slow, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = slow.nextPendingConnection();
            socket->setReadBufferSize(128 * 1024); // what is not read waits in the network
            auto *reader = new QTimer(socket);
            connect(reader, &QTimer::timeout, socket, [socket, reader, &taken, size, stallAfter] {
                if (stallAfter > 0 && taken >= stallAfter)
                    return;
                QByteArray piece = socket->read(128 * 1024); // about 12 MB/s
                if (!socket->property("headers").toBool()) {
                    const qsizetype end = piece.indexOf("\r\n\r\n");
                    if (end < 0)
                        return; // Qt sends the headers in one piece
                    socket->setProperty("headers", true);
                    piece.remove(0, end + 4);
                }
                taken += piece.size();
                if (taken >= size) {
                    reader->stop();
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}");
                }
            });
            reader->start(10);
        });
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/upload").arg(slow.serverPort()));
        QNetworkRequest request = api::request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
        QElapsedTimer clock;
        clock.start();
        std::optional<api::Reply> result;
        api::onFinished(m_nam.post(request, QByteArray(size, 'u')), this,
                        [&](const api::Reply &r) { result = r; });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 30000);
        if (stallAfter == 0) {
            QCOMPARE(result->errorString, QString());
            QVERIFY2(clock.elapsed() > kTimeoutMs, "the upload was quicker than the time-out");
        } else {
            QCOMPARE(result->error, QNetworkReply::TimeoutError);
            QCOMPARE(result->errorString, QString("The server did not answer in time."));
            QVERIFY(taken < size);
        }
    }
};

CASTORA_TEST_MAIN(TestBackendRequest)
#include "tst_backendrequest.moc"
