// The stand-in chat service over the wire: chat token, WebSocket rooms, relay and history.
#include "ChatController.h"
#include "ChatProtocol.h"
#include "ChatServer.h"
#include "DevServer.h"
#include "MessageModel.h"
#include "TestMain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QWebSocket>

#include <memory>

using namespace castora;
using castora::chat::FrameType;
using castora::dev::ChatServer;
using castora::dev::DevServer;
using castora::dev::DevState;

namespace {

// A chat socket as the broadcast screen or a listener's page holds it, keeping what arrives.
struct Client {
    QWebSocket socket;
    QStringList received; // "name: message"

    Client() {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &frame) {
                             const auto parsed = chat::parseIncomingFrame(frame.toUtf8());
                             received << parsed.name + QStringLiteral(": ") + parsed.message;
                         });
    }

    bool open(const QUrl &address) {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(address);
        return connected.wait();
    }

    void send(const QString &room, FrameType type, const QString &message) {
        socket.sendTextMessage(
            QString::fromUtf8(chat::outgoingFrame(QStringLiteral("whoever"), room, type, message)));
    }

    bool waitFor(int count) {
        return QTest::qWaitFor([&]() { return received.size() >= count; }, 5000);
    }
};

} // namespace

class TestChatServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevServer> m_server;
    QNetworkAccessManager m_manager;
    const QString m_room = QStringLiteral("castora-demo");

    QUrl address(const QString &room, const QString &token) const {
        return chat::roomAddress(m_server->chat().url(), room, token);
    }

    // GET api/comment/fetch-chat-token with `bearer`; the HTTP status and the body's "token".
    QPair<int, QString> fetchToken(const QByteArray &bearer) {
        QNetworkRequest request(ServiceConfig::local(m_server->port())
                                    .endpoint(QStringLiteral("api/comment/fetch-chat-token")));
        request.setRawHeader("Accept", "application/json");
        if (!bearer.isNull())
            request.setRawHeader("Authorization", "Bearer " + bearer);
        std::unique_ptr<QNetworkReply> reply(m_manager.get(request));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        if (!finished.wait())
            return {0, QString()};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QJsonDocument::fromJson(reply->readAll())
                    .object()
                    .value(QStringLiteral("token"))
                    .toString()};
    }

    QString broadcasterToken() {
        const QString bearer =
            m_server->state().issueToken(QString::fromLatin1(DevState::kDemoEmail));
        return fetchToken(bearer.toUtf8()).second;
    }

private slots:
    void init() {
        m_server = std::make_unique<DevServer>();
        QVERIFY(m_server->listen() != 0);
        QVERIFY(m_server->listenChat() != 0);
    }

    void cleanup() { m_server.reset(); }

    void chatToken_data() {
        QTest::addColumn<QString>("bearer"); // "valid", "unknown" or empty: no header
        QTest::addColumn<int>("status");
        QTest::newRow("signed in") << "valid" << 200;
        QTest::newRow("unknown token") << "unknown" << 401;
        QTest::newRow("no Authorization") << "" << 401;
    }

    void chatToken() {
        QFETCH(QString, bearer);
        QFETCH(int, status);
        QByteArray header;
        if (bearer == QLatin1String("valid"))
            header =
                m_server->state().issueToken(QString::fromLatin1(DevState::kDemoEmail)).toUtf8();
        else if (bearer == QLatin1String("unknown"))
            header = "9|not-issued";
        const auto [code, token] = fetchToken(header);
        QCOMPARE(code, status);
        QCOMPARE(!token.isEmpty(), status == 200);
        QCOMPARE(m_server->chat().isValidToken(token), status == 200);
    }

    void relayBetweenClientsOfARoom() {
        ChatServer &chat = m_server->chat();
        Client broadcaster, listener, elsewhere;
        QVERIFY(broadcaster.open(address(m_room, broadcasterToken())));
        QVERIFY(listener.open(address(m_room, chat.issueToken(QStringLiteral("ann")))));
        QVERIFY(elsewhere.open(
            address(QStringLiteral("other-show"), chat.issueToken(QStringLiteral("zed")))));
        QTRY_COMPARE(chat.clientCount(m_room), 2);

        broadcaster.send(m_room, FrameType::Join, QStringLiteral("Welcome, everyone"));
        QVERIFY(listener.waitFor(1));
        listener.send(m_room, FrameType::Chat, QStringLiteral("hi from Ann ❤"));
        QVERIFY(broadcaster.waitFor(1));
        broadcaster.send(m_room, FrameType::Chat, QStringLiteral("thanks"));
        QVERIFY(listener.waitFor(2));
        // The sender's own messages never came back: what it received came after them.
        QCOMPARE(broadcaster.received, QStringList{QStringLiteral("ann: hi from Ann ❤")});
        // The name is who the token belongs to, not what the frame claims ("whoever").
        QCOMPARE(listener.received, (QStringList{QStringLiteral("castora-demo: Welcome, everyone"),
                                                 QStringLiteral("castora-demo: thanks")}));

        // Another room heard nothing of it: its first message is its own room's.
        chat.post(QStringLiteral("other-show"), QStringLiteral("yan"), QStringLiteral("ping"));
        QVERIFY(elsewhere.waitFor(1));
        QCOMPARE(elsewhere.received, QStringList{QStringLiteral("yan: ping")});

        // Stored in order, and the history endpoint serves it to the client's chat list.
        ChatController list(ServiceConfig::local(m_server->port()));
        QSignalSpy fetched(&list, &ChatController::historyFetched);
        list.fetchMessages(m_room);
        QVERIFY(fetched.wait());
        QStringList shown;
        for (int row = 0; row < list.rowCount(); ++row) {
            const MessageModel *message = list.message(row);
            shown << message->sender() + QStringLiteral(": ") + message->messageText();
            QVERIFY2(!message->createdAt().contains(QLatin1Char('T')),
                     qPrintable(message->createdAt()));
            QVERIFY(message->id() > 0);
        }
        QCOMPARE(shown, (QStringList{QStringLiteral("castora-demo: Welcome, everyone"),
                                     QStringLiteral("ann: hi from Ann ❤"),
                                     QStringLiteral("castora-demo: thanks")}));
    }

    void framesThatStore_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("stored");
        QTest::newRow("join carries a message")
            << R"({"name":"x","room":"castora-demo","type":"join","message":"hello"})" << true;
        QTest::newRow("chat")
            << R"({"name":"x","room":"castora-demo","type":"chat","message":"hey"})" << true;
        QTest::newRow("blank after trimming")
            << R"({"name":"x","room":"castora-demo","type":"chat","message":" \n\t "})" << false;
        QTest::newRow("unknown type") << R"({"type":"typing","message":"..."})" << false;
        QTest::newRow("message not text") << R"({"type":"chat","message":{"a":1}})" << false;
        QTest::newRow("not JSON") << "hello?" << false;
    }

    void framesThatStore() {
        QFETCH(QString, frame);
        QFETCH(bool, stored);
        ChatServer &chat = m_server->chat();
        Client sender, listener;
        QVERIFY(sender.open(address(m_room, chat.issueToken(QStringLiteral("ann")))));
        QVERIFY(listener.open(address(m_room, chat.issueToken(QStringLiteral("bob")))));
        QTRY_COMPARE(chat.clientCount(m_room), 2);

        sender.socket.sendTextMessage(frame);
        sender.send(m_room, FrameType::Chat, QStringLiteral("marker")); // handled after `frame`
        QVERIFY(listener.waitFor(stored ? 2 : 1));
        QCOMPARE(listener.received.size(), stored ? 2 : 1);
        QCOMPARE(listener.received.last(), QStringLiteral("ann: marker"));
        QCOMPARE(chat.history(m_room).size(), stored ? 2 : 1);
        if (stored)
            QCOMPARE(chat.history(m_room).first().content, QJsonDocument::fromJson(frame.toUtf8())
                                                               .object()
                                                               .value(QStringLiteral("message"))
                                                               .toString());
    }

    void refusedConnections_data() {
        QTest::addColumn<QString>("room");
        QTest::addColumn<QString>("token"); // "issued": a valid one
        QTest::newRow("token not issued") << "castora-demo"
                                          << "1|forged";
        QTest::newRow("no token") << "castora-demo"
                                  << "";
        QTest::newRow("sign-in token is not a chat token") << "castora-demo"
                                                           << "bearer";
        QTest::newRow("no room") << ""
                                 << "issued";
    }

    void refusedConnections() {
        QFETCH(QString, room);
        QFETCH(QString, token);
        ChatServer &chat = m_server->chat();
        if (token == QLatin1String("issued"))
            token = chat.issueToken(QStringLiteral("ann"));
        else if (token == QLatin1String("bearer"))
            token = m_server->state().issueToken(QString::fromLatin1(DevState::kDemoEmail));
        QSignalSpy refused(&chat, &ChatServer::clientRefused);
        Client client;
        QSignalSpy closed(&client.socket, &QWebSocket::disconnected);
        client.socket.open(address(room, token));
        QVERIFY(closed.wait());
        QCOMPARE(client.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QCOMPARE(refused.size(), 1);
        QCOMPARE(chat.clientCount(room), 0);
        // Nothing it might have sent got in.
        QVERIFY(chat.history(room).isEmpty());
    }
};

CASTORA_TEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
