// The chat socket's room address, frames and reconnection delay.
#include "ChatProtocol.h"
#include "TestMain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

using namespace castora::chat;

class TestChatProtocol : public QObject {
    Q_OBJECT

private slots:
    void roomAddress_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("room");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QByteArray>("encoded");
        QTest::newRow("plain") << "wss://chat.example/ws"
                               << "my-show"
                               << "abc"
                               << QByteArray("wss://chat.example/ws?room=my-show&token=abc");
        QTest::newRow("service token with a bar")
            << "ws://127.0.0.1:8086/chat"
            << "castora-demo"
            << "12|aB-_x"
            << QByteArray("ws://127.0.0.1:8086/chat?room=castora-demo&token=12%7CaB-_x");
        QTest::newRow("delimiters inside values")
            << "ws://h/chat"
            << "a&b=c"
            << "t+k#n/?%" << QByteArray("ws://h/chat?room=a%26b%3Dc&token=t%2Bk%23n%2F%3F%25");
        QTest::newRow("non-ASCII room") << "ws://h/chat"
                                        << "café"
                                        << "" << QByteArray("ws://h/chat?room=caf%C3%A9&token=");
        QTest::newRow("server with a query") << "ws://h/chat?v=2"
                                             << "r"
                                             << "t" << QByteArray("ws://h/chat?v=2&room=r&token=t");
    }

    void roomAddress() {
        QFETCH(QString, server);
        QFETCH(QString, room);
        QFETCH(QString, token);
        QFETCH(QByteArray, encoded);
        const QUrl url = castora::chat::roomAddress(server, room, token);
        QVERIFY(url.isValid());
        QCOMPARE(url.toEncoded(), encoded);
        // What a server reads back out of the address.
        const QUrlQuery query(url);
        QCOMPARE(query.queryItemValue(QStringLiteral("room"), QUrl::FullyDecoded), room);
        QCOMPARE(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded), token);
        QCOMPARE(ChatProtocol(server).roomAddress(room, token), url);
    }

    void outgoingFrame_data() {
        QTest::addColumn<int>("joinValue");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("first message joins")
            << 1 << "hello"
            << QByteArray(R"({"name":"my-show","room":"my-show","type":"join","message":"hello"})");
        QTest::newRow("later messages chat")
            << 2 << "again"
            << QByteArray(R"({"name":"my-show","room":"my-show","type":"chat","message":"again"})");
        QTest::newRow("text as typed, escaped")
            << 7 << "  \"quoted\"\\ \n ❤️‍🔥 "
            << QByteArray(
                   "{\"name\":\"my-show\",\"room\":\"my-show\",\"type\":\"chat\",\"message\":"
                   "\"  \\\"quoted\\\"\\\\ \\n ❤️‍🔥 \"}");
    }

    void outgoingFrame() {
        QFETCH(int, joinValue);
        QFETCH(QString, message);
        QFETCH(QByteArray, frame);
        const QString sent =
            ChatProtocol(QString()).outgoingFrame(QStringLiteral("my-show"), message, joinValue);
        QCOMPARE(sent.toUtf8(), frame);
        // Still one well-formed object that carries the text unchanged.
        const QJsonObject object = QJsonDocument::fromJson(frame).object();
        QCOMPARE(object.size(), 4);
        QCOMPARE(object.value(QStringLiteral("message")).toString(), message);
    }

    void parseFrame_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<bool>("hasMessage");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("log"); // "" none, "info" the message, "warning" dropped
        QTest::newRow("message") << QByteArray(R"({"name":"ann","message":"hi"})") << true << "ann"
                                 << "hi"
                                 << "info";
        QTest::newRow("extra members")
            << QByteArray(R"({"type":"chat","message":"x","name":"b","room":"r"})") << true << "b"
            << "x"
            << "info";
        QTest::newRow("no name") << QByteArray(R"({"message":"anon"})") << true << ""
                                 << "anon"
                                 << "info";
        QTest::newRow("empty message still shown")
            << QByteArray(R"({"name":"c","message":""})") << true << "c"
            << ""
            << "info";
        QTest::newRow("number as text") << QByteArray(R"({"name":"d","message":42})") << true << "d"
                                        << "42"
                                        << "info";
        QTest::newRow("no message member")
            << QByteArray(R"({"name":"e","type":"join"})") << false << ""
            << ""
            << "";
        QTest::newRow("array") << QByteArray(R"([{"message":"in an array"}])") << false << ""
                               << ""
                               << "";
        QTest::newRow("not JSON") << QByteArray("hello there") << false << ""
                                  << ""
                                  << "warning";
        QTest::newRow("truncated") << QByteArray("{\"name\":\"f\",\"message\":\"cut") << false << ""
                                   << ""
                                   << "warning";
    }

    void parseFrame() {
        QFETCH(QByteArray, frame);
        QFETCH(bool, hasMessage);
        QFETCH(QString, name);
        QFETCH(QString, message);
        QFETCH(QString, log);
        if (log == QLatin1String("info"))
            QTest::ignoreMessage(QtInfoMsg,
                                 qPrintable(QStringLiteral("Chat message: \"%1\"").arg(message)));
        else if (log == QLatin1String("warning"))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
                                                   "^Dropped a chat frame that is not JSON: ")));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        const QVariantMap parsed = ChatProtocol(QString()).parseFrame(QString::fromUtf8(frame));
        QCOMPARE(parsed.value(QStringLiteral("hasMessage")).toBool(), hasMessage);
        QCOMPARE(parsed.value(QStringLiteral("name")).toString(), name);
        QCOMPARE(parsed.value(QStringLiteral("message")).toString(), message);
    }

    void reconnectBackoff() {
        ReconnectBackoff backoff;
        QList<int> delays;
        for (int i = 0; i < 8; ++i)
            delays.append(backoff.nextDelayMs());
        QCOMPARE(delays, (QList<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
        backoff.reset(); // the socket opened
        QCOMPARE(backoff.nextDelayMs(), 1000);
        QCOMPARE(backoff.nextDelayMs(), 2000);
        // A server down for days neither overflows nor goes past the ceiling.
        QCOMPARE(ReconnectBackoff::delayMs(100000), 30000);
        QCOMPARE(ReconnectBackoff::delayMs(-3), 1000);
        const ChatProtocol protocol{QString()};
        QCOMPARE(protocol.reconnectDelay(0), 1000);
        QCOMPARE(protocol.reconnectDelay(4), 16000);
    }
};

CASTORA_TEST_MAIN(TestChatProtocol)
#include "tst_chatprotocol.moc"
