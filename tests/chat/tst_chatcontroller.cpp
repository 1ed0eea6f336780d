// The chat list: room history from the stand-in backend, live and own messages, the model;
// and the chat socket against servers that hold it up, flood it or go silent.
#include "ChatController.h"
#include "ChatServer.h"
#include "ChatSocket.h"
#include "LogCapture.h"
#include "MessageModel.h"
#include "StandInBackend.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <ctime>
#include <memory>

using namespace castora;
using castora::dev::Answer;
using castora::dev::RecordedRequest;
using castora::test::columns;
using castora::test::row;

namespace {

// A chat server that misbehaves, on a raw TCP port: it takes connections and never answers
// the WebSocket handshake (Silent); or answers it and then says nothing, not even to a ping
// (Mute; QWebSocketServer would answer pings by itself); or answers it and sends a text frame
// announcing 64 MiB, streaming its payload for as long as the client reads (Flood).
struct RawChatServer : QObject {
    enum Mode { Silent, Mute, Flood };
    static constexpr qint64 kFloodBytes = 64 * 1024 * 1024;

    QTcpServer server;
    Mode mode = Silent;
    int connections = 0;
    QList<QElapsedTimer> handshakes; // when each was answered
    qint64 flooded = 0;              // payload bytes the client took, all connections

    bool listen(Mode how) {
        mode = how;
        connect(&server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection()) {
                socket->setParent(this); // held open, also once the port has gone
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        return server.listen(QHostAddress::LocalHost);
    }

    void read(QTcpSocket *socket) {
        if (mode == Silent || socket->property("open").toBool()) {
            socket->readAll();
            return;
        }
        QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n"))
            return;
        const QByteArray key =
            request.mid(request.indexOf("Sec-WebSocket-Key:") + 18).split('\r').value(0).trimmed();
        const QByteArray accept =
            QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                     QCryptographicHash::Sha1)
                .toBase64();
        socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                      accept + "\r\n\r\n");
        socket->setProperty("open", true);
        handshakes.append(QElapsedTimer());
        handshakes.last().start();
        if (mode != Flood)
            return;
        QByteArray header("\x81\x7f", 2);
        header.append(8, '\0');
        qToBigEndian(quint64(kFloodBytes), header.data() + 2);
        socket->write(header);
        auto sent = std::make_shared<qint64>(0);
        const auto feed = [this, socket, sent] {
            while (*sent < kFloodBytes && socket->state() == QAbstractSocket::ConnectedState &&
                   socket->bytesToWrite() < 256 * 1024) {
                const qint64 wrote = socket->write(QByteArray(64 * 1024, 'x'));
                if (wrote <= 0)
                    return;
                *sent += wrote;
                flooded += wrote;
            }
        };
        connect(socket, &QTcpSocket::bytesWritten, this, feed);
        feed();
    }
};

} // namespace

class TestChatController : public QObject {
    Q_OBJECT

    test::StandInBackend m_backend;
    std::unique_ptr<ChatController> m_chat;
    std::unique_ptr<QAbstractItemModelTester> m_tester;

    // The room answers `body` as it is.
    void serve(const QString &room, const QByteArray &body) {
        m_backend->addRoute("GET", "api/comment/" + room,
                            [body](const RecordedRequest &, const QString &) {
                                return Answer::text(body, 200, "application/json");
                            });
    }

    bool fetch(const QString &room) {
        QSignalSpy done(m_chat.get(), &ChatController::historyFetched);
        m_chat->fetchMessages(room);
        return done.wait() && done.size() == 1;
    }

    // "id|sender|text|createdAt" per row, read through the role names.
    QStringList rows() const {
        QStringList result;
        const QHash<int, QByteArray> roles = m_chat->roleNames();
        for (int row = 0; row < m_chat->rowCount(); ++row) {
            QStringList fields;
            for (const char *role : {"id", "sender", "messageText", "createdAt"})
                fields << m_chat->index(row).data(roles.key(role)).toString();
            result << fields.join('|');
        }
        return result;
    }

private slots:
    // Times are shown in the local zone (POSIX TZ "CET-1": an hour ahead of UTC), in English
    // whatever the system's language ("Mär" must not show).
    void init() {
        qputenv("TZ", "CET-1");
        tzset();
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QVERIFY(m_backend.start());
        m_chat = std::make_unique<ChatController>(m_backend.config());
        m_tester = std::make_unique<QAbstractItemModelTester>(
            m_chat.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup() {
        m_tester.reset();
        m_chat.reset();
    }

    void fetchHistory_data() {
        columns<QByteArray, QString, QStringList, QString>("body", "fault", "added", "log");
        const QByteArray list = R"([
            {"id": 1, "sender": "ann", "content": "hi", "created_at": "2024-03-05T15:07:00Z"},
            {"id": 2, "sender": "bob", "content": "", "created_at": "2024-03-05T15:08:00Z"},
            {"id": 3, "sender": "", "content": "who?"},
            {"id": 4, "sender": "cy", "content": "yo"},
            {"sender": "dee", "content": "odd", "created_at": "last week"},
            {"id": 6, "sender": "eve", "content": "ms", "created_at": "2024-03-05T15:10:00.500Z"},
            {"id": 7, "sender": "fay", "content": "tz", "created_at": "2024-12-31T23:30:00-01:00"}])";
        const QStringList shown{"1|ann|hi|Mar 5, 4:07 PM", "4|cy|yo|now", "0|dee|odd|last week",
                                "6|eve|ms|Mar 5, 4:10 PM", "7|fay|tz|Jan 1, 1:30 AM"};
        const QString seven("Fetched 7 chat messages"), none("Fetched 0 chat messages");
        const QString failed("Failed to fetch chat messages:");
        row("data array", "{\"data\":" + list + "}", "", shown, seven);
        row("top-level array", list, "", shown, seven);
        row("data not a list", QByteArray(R"({"data":{"id":1}})"), "", QStringList(), none);
        row("malformed body", QByteArray(), "malformed", QStringList(), none);
        row("server error", QByteArray(), "status 500", QStringList(), failed);

        // More than the list holds: the newest stay (the live one leaves first), each cut to
        // its limit in characters, an emoji counting as one.
        QJsonArray many;
        QStringList newest;
        for (int id = 1; id <= 600; ++id) {
            const QString sender = id == 599 ? QString(150, 'n') : QString("s");
            const QString text =
                id == 600 ? QString("😀").repeated(2500) : 'm' + QString::number(id);
            many.append(QJsonObject{{"id", id}, {"sender", sender}, {"content", text}});
            newest << QString::number(id) + '|' + (id == 599 ? QString(100, 'n') + "..." : sender) +
                          '|' + (id == 600 ? QString("😀").repeated(2000) + "..." : text) + "|now";
        }
        row("more than the list holds", QJsonDocument(many).toJson(), "", newest,
            QString("Fetched 600 chat messages"));
    }

    void fetchHistory() {
        QFETCH(QByteArray, body);
        QFETCH(QString, fault);
        QFETCH(QStringList, added);
        QFETCH(QString, log);
        const QString path("api/comment/my-show");
        serve("my-show", body);
        m_backend.fail(fault, path);
        m_chat->addMessage(2, "live", "kept");

        QTest::ignoreMessage(QtInfoMsg, QRegularExpression('^' + log));
        if (fault == "malformed" || (fault.isEmpty() && !body.contains('[')))
            QTest::ignoreMessage(QtWarningMsg, "Chat history reply holds no message list");
        QVERIFY(fetch("my-show"));
        const QStringList all = QStringList{"2|live|kept|now"} + added;
        QCOMPARE(rows(), all.mid(qMax(0, all.size() - ChatController::kMaxMessages)));
        QCOMPARE(m_chat->findChildren<MessageModel *>().size(), m_chat->rowCount());
        const RecordedRequest request = m_backend->requests(path).value(0);
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void repeatedFetchShowsEachMessageOnce() {
        dev::ChatServer &rooms = m_backend->chat();
        rooms.post("castora-demo", "ann", "first");
        rooms.post("castora-demo", "bob", "second");
        QVERIFY(fetch("castora-demo"));
        // Live and own messages carry made-up ids, equal ones included: never compared.
        m_chat->addMessage(2, "cy", "live");
        m_chat->addMessage(2, "cy", "live again");
        rooms.post("castora-demo", "dee", "third");
        QVERIFY(fetch("castora-demo"));
        QStringList texts;
        for (int row = 0; row < m_chat->rowCount(); ++row)
            texts << m_chat->message(row)->messageText();
        QCOMPARE(texts, (QStringList{"first", "second", "live", "live again", "third"}));

        // Ids belong to a room; messages without an id cannot be told apart and come again.
        serve(
            "other",
            R"([{"id": 1, "sender": "x", "content": "one"}, {"sender": "y", "content": "no id"}])");
        QVERIFY(fetch("other"));
        QVERIFY(fetch("other"));
        QCOMPARE(m_chat->rowCount(), 5 + 2 + 1);

        // Signed out, with a history still on its way: the list and the memory of ids go, so
        // the next account sees the room whole, once.
        m_chat->fetchMessages("castora-demo");
        m_chat->resetAccount();
        QCOMPARE(m_chat->rowCount(), 0);
        QVERIFY(fetch("castora-demo"));
        QTRY_COMPARE(m_backend->requests("api/comment/castora-demo").size(), 4);
        QCOMPARE(m_chat->rowCount(), 3);
    }

    // The chat socket against a server that (a) takes the connection and never answers the
    // handshake until a real chat server takes its port: connected within the handshake
    // time-out plus the back-off's longest delay; (b) sends a frame over the limit: closed as
    // it is announced, with little of it read, and connected again; (c) answers the handshake
    // and then goes silent: closed once silent for 30 s (a ping every 5 s) and connected again.
    void socketRecovers_data() {
        // earliestMs: from the first handshake to the second
        // latestMs: (a): from the real server to the socket open
        columns<int, int, int>("mode", "earliestMs", "latestMs");
        row("handshake never answered", int(RawChatServer::Silent), 0, 45000);
        row("a frame over the limit", int(RawChatServer::Flood), 900, 15000);
        row("silent once open", int(RawChatServer::Mute), 30000, 45000);
    }

    void socketRecovers() {
        QFETCH(int, mode);
        QFETCH(int, earliestMs);
        QFETCH(int, latestMs);
        RawChatServer raw;
        QVERIFY(raw.listen(RawChatServer::Mode(mode)));
        const quint16 port = raw.server.serverPort();
        dev::ChatServer real;
        const QString token = real.issueToken("castora-demo");
        ChatSocket socket;
        QSignalSpy received(&socket, &ChatSocket::messageReceived);
        socket.setUrl(
            chat::roomAddress(QString("ws://127.0.0.1:%1/chat").arg(port), "castora-demo", token));
        if (mode != RawChatServer::Silent) {
            QTRY_COMPARE_WITH_TIMEOUT(raw.handshakes.size(), 2, latestMs);
            QVERIFY2(raw.handshakes.at(0).elapsed() - raw.handshakes.at(1).elapsed() >= earliestMs,
                     qPrintable(QString::number(raw.handshakes.at(0).elapsed())));
            // The flood: refused as announced, read no further than the socket's buffers.
            QVERIFY2(raw.flooded < 8 * 1024 * 1024, qPrintable(QString::number(raw.flooded)));
            return;
        }
        // Held up twice (the second attempt after the time-out and the first delay), then the
        // port goes to a real server; the held connections stay open.
        QTRY_COMPARE_WITH_TIMEOUT(raw.connections, 2, 20000);
        QCOMPARE(socket.status(), ChatSocket::Status::Connecting);
        raw.server.close();
        QCOMPARE(real.listen(port), port);
        QElapsedTimer taken;
        taken.start();
        QTRY_VERIFY_WITH_TIMEOUT(socket.status() == ChatSocket::Status::Open, latestMs);
        QTRY_COMPARE(real.clientCount("castora-demo"), 1);
        QVERIFY(taken.elapsed() < latestMs);
        // A message arrives whole; the log holds a few hundred characters of it.
        LogCapture logged;
        const QString text = QString("long ").repeated(1000);
        real.post("castora-demo", "ann", text);
        QVERIFY(received.wait());
        QCOMPARE(received.at(0), (QVariantList{"ann", text}));
        const QStringList said = logged.lines().filter("Chat message:");
        QVERIFY(!said.isEmpty() && said.first().size() < 400);
    }
};

CASTORA_TEST_MAIN(TestChatController)
#include "tst_chatcontroller.moc"
