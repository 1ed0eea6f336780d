// The stand-in chat service over the wire: WebSocket rooms, relay, history, refused tokens.
#include "ChatProtocol.h"
#include "ChatServer.h"
#include "DevServer.h"
#include "TestMain.h"

#include <QSignalSpy>
#include <QWebSocket>

#include <memory>

using namespace castora;
using castora::chat::FrameType;

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
    const QString m_room = QStringLiteral("castora-demo");

    QUrl address(const QString &room, const QString &token) const {
        return chat::roomAddress(m_server->chat().url(), room, token);
    }
    QString listenerToken(const QString &name) { return m_server->chat().issueToken(name); }

private slots:
    void init() {
        m_server = std::make_unique<dev::DevServer>();
        QVERIFY(m_server->listen() != 0);
        QVERIFY(m_server->listenChat() != 0);
    }

    void cleanup() { m_server.reset(); }

    void relayBetweenClientsOfARoom() {
        Client broadcaster, listener, elsewhere;
        QVERIFY(broadcaster.open(address(m_room, listenerToken(m_room))));
        QVERIFY(listener.open(address(m_room, listenerToken("ann"))));
        QVERIFY(elsewhere.open(address("other-show", listenerToken("zed"))));
        QTRY_COMPARE(m_server->chat().clientCount(m_room), 2);

        broadcaster.send(FrameType::Join, "Welcome, everyone");
        QVERIFY(listener.waitFor(1));
        listener.send(FrameType::Chat, "hi from Ann ❤");
        QVERIFY(broadcaster.waitFor(1));
        // Frames without a message to keep are neither relayed nor stored.
        for (const char *frame : {R"({"type":"chat","message":" \n\t "})",
                                  R"({"type":"typing","message":"..."})", "hello?"})
            broadcaster.socket.sendTextMessage(QString::fromUtf8(frame));
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

        // Stored in order for the room history (served as tst_chatcontroller reads it).
        QStringList stored;
        for (const dev::ChatEntry &entry : m_server->chat().history(m_room))
            stored << entry.sender + ": " + entry.content;
        QCOMPARE(stored, (QStringList{"castora-demo: Welcome, everyone", "ann: hi from Ann ❤",
                                      "castora-demo: thanks"}));
    }

    void refusedConnections() {
        const QString signInToken = m_server->state().issueToken(dev::DevState::kDemoEmail);
        const QList<QPair<QString, QString>> refusedRooms{
            {m_room, "1|forged"}, {m_room, signInToken}, {"", listenerToken("ann")}};
        QSignalSpy refused(&m_server->chat(), &dev::ChatServer::clientRefused);
        for (const auto &[room, token] : refusedRooms) {
            Client client;
            QSignalSpy closed(&client.socket, &QWebSocket::disconnected);
            client.socket.open(address(room, token));
            QVERIFY(closed.wait());
            QCOMPARE(client.socket.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
            QCOMPARE(m_server->chat().clientCount(room), 0);
        }
        QCOMPARE(refused.size(), 3);
    }
};

CASTORA_TEST_MAIN(TestChatServer)
#include "tst_chatserver.moc"
