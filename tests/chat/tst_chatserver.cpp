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
using castora::test::row;

namespace {

// A chat socket as the broadcast screen or a listener's page holds it, keeping what arrives.
struct Client {
    QWebSocket socket;
    QStringList received; // "name: message"

    Client() {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &frame) {
                             const auto parsed = chat::parseIncomingFrame(frame.toUtf8());
                             received << parsed.name + ": " + parsed.message;
                         });
    }
    bool open(const QUrl &address) {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(address);
        return connected.wait();
    }
    void send(FrameType type, const QString &message) {
        socket.sendTextMessage(chat::outgoingFrame("whoever", "castora-demo", type, message));
    }
    bool waitFor(int count) {
        return QTest::qWaitFor([&]() { return received.size() >= count; }, 5000);
    }
};

} // namespace

class TestChatServer : public QObject {
    Q_OBJECT

    std::unique_ptr<dev::DevServer> m_server;
    QNetworkAccessManager m_manager;
    const QString m_room = QStringLiteral("castora-demo");

    QUrl address(const QString &room, const QString &token) const {
        return chat::roomAddress(m_server->chat().url(), room, token);
    }
    QString listenerToken(const QString &name) { return m_server->chat().issueToken(name); }

    // GET api/comment/fetch-chat-token as the broadcaster: the HTTP status and "token".
    QPair<int, QString> fetchToken(const QByteArray &bearer) {
        QNetworkRequest request(QUrl(m_server->baseUrl() + "/api/comment/fetch-chat-token"));
        request.setRawHeader("Authorization", "Bearer " + bearer);
        std::unique_ptr<QNetworkReply> reply(m_manager.get(request));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        if (!finished.wait())
            return {0, QString()};
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                QJsonDocument::fromJson(reply->readAll()).object().value("token").toString()};
    }
    QByteArray signedIn() {
        return m_server->state().issueToken(dev::DevState::kDemoEmail).toUtf8();
    }

private slots:
    void init() {
        m_server = std::make_unique<dev::DevServer>();
        QVERIFY(m_server->listen() != 0);
        QVERIFY(m_server->listenChat() != 0);
    }

    void cleanup() { m_server.reset(); }

    void relayBetweenClientsOfARoom() {
        QCOMPARE(fetchToken("9|not-issued").first, 401);
        const auto [status, token] = fetchToken(signedIn());
        QCOMPARE(status, 200);
        Client broadcaster, listener, elsewhere;
        QVERIFY(broadcaster.open(address(m_room, token)));
        QVERIFY(listener.open(address(m_room, listenerToken("ann"))));
        QVERIFY(elsewhere.open(address("other-show", listenerToken("zed"))));
        QTRY_COMPARE(m_server->chat().clientCount(m_room), 2);

        broadcaster.send(FrameType::Join, "Welcome, everyone");
        QVERIFY(listener.waitFor(1));
        listener.send(FrameType::Chat, "hi from Ann ❤");
        QVERIFY(broadcaster.waitFor(1));
        broadcaster.send(FrameType::Chat, "thanks");
        QVERIFY(listener.waitFor(2));
        // The sender's own messages never came back: what it received came after them. The
        // name is who the token belongs to, not what the frame claims ("whoever").
        QCOMPARE(broadcaster.received, QStringList{"ann: hi from Ann ❤"});
        QCOMPARE(listener.received,
                 (QStringList{"castora-demo: Welcome, everyone", "castora-demo: thanks"}));
        // Another room heard nothing of it: its first message is its own room's.
        m_server->chat().post("other-show", "yan", "ping");
        QVERIFY(elsewhere.waitFor(1));
        QCOMPARE(elsewhere.received, QStringList{"yan: ping"});

        // Stored in order, and the history endpoint serves it to the client's chat list.
        ChatController list(ServiceConfig::local(m_server->port()));
        QSignalSpy fetched(&list, &ChatController::historyFetched);
        list.fetchMessages(m_room);
        QVERIFY(fetched.wait());
        QStringList shown;
        for (int row = 0; row < list.rowCount(); ++row) {
            const MessageModel *message = list.message(row);
            shown << message->sender() + ": " + message->messageText();
            QVERIFY2(message->createdAt().endsWith('M'),
                     qPrintable(message->createdAt())); // "... 4:07 PM"
        }
        QCOMPARE(shown, (QStringList{"castora-demo: Welcome, everyone", "ann: hi from Ann ❤",
                                     "castora-demo: thanks"}));
    }

    void framesThatStore_data() {
        QTest::addColumn<QString>("frame");
        QTest::addColumn<bool>("stored");
        row("join carries a message", R"({"type":"join","message":"hello"})", true);
        row("blank after trimming", R"({"type":"chat","message":" \n\t "})", false);
        row("unknown type", R"({"type":"typing","message":"..."})", false);
        row("not JSON", "hello?", false);
    }

    void framesThatStore() {
        QFETCH(QString, frame);
        QFETCH(bool, stored);
        Client sender, listener;
        QVERIFY(sender.open(address(m_room, listenerToken("ann"))));
        QVERIFY(listener.open(address(m_room, listenerToken("bob"))));
        QTRY_COMPARE(m_server->chat().clientCount(m_room), 2);
        sender.socket.sendTextMessage(frame);
        sender.send(FrameType::Chat, "marker"); // handled after `frame`
        QVERIFY(listener.waitFor(stored ? 2 : 1));
        QCOMPARE(listener.received.size(), stored ? 2 : 1);
        QCOMPARE(listener.received.last(), QStringLiteral("ann: marker"));
        QCOMPARE(m_server->chat().history(m_room).size(), stored ? 2 : 1);
    }

    void refusedConnections_data() {
        QTest::addColumn<QString>("room");
        QTest::addColumn<QString>("token");
        row("token not issued", "castora-demo", "1|forged");
        row("sign-in token", "castora-demo", "bearer");
        row("no room", "", "issued");
    }

    void refusedConnections() {
        QFETCH(QString, room);
        QFETCH(QString, token);
        if (token == "issued")
            token = listenerToken("ann");
        else if (token == "bearer")
            token = QString::fromUtf8(signedIn());
        QSignalSpy refused(&m_server->chat(), &dev::ChatServer::clientRefused);
        Client client;
        QSignalSpy closed(&client.socket, &QWebSocket::disconnected);
        client.socket.open(address(room, token));
        QVERIFY(closed.wait());
        QCOMPARE(client.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QCOMPARE(refused.size(), 1);
        QCOMPARE(m_server->chat().clientCount(room), 0);
    }
};

CASTORA_TEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
