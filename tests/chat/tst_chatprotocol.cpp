// Plain chat rules: the socket's room address, frames and reconnection delay (history times:
// tst_chatcontroller).
#include "ChatProtocol.h"
#include "TestMain.h"

#include <QJsonDocument>
#include <QUrlQuery>

using namespace castora::chat;
using castora::test::columns;
using castora::test::row;

class TestChatProtocol : public QObject {
    Q_OBJECT

private slots:
    void roomAddress_data() {
        columns<QString, QString, QString, QByteArray>("server", "room", "token", "encoded");
        row("delimiters in values", "ws://h/chat", "a&b=c é", "t+k#n/?%",
            QByteArray("ws://h/chat?room=a%26b%3Dc%20%C3%A9&token=t%2Bk%23n%2F%3F%25"));
        row("server with a query", "wss://h/chat?v=2", "r", QString(),
            QByteArray("wss://h/chat?v=2&room=r&token="));
    }

    void roomAddress() {
        QFETCH(QString, server);
        QFETCH(QString, room);
        QFETCH(QString, token);
        QFETCH(QByteArray, encoded);
        const QUrl url = castora::chat::roomAddress(server, room, token);
        QCOMPARE(url.toEncoded(), encoded);
        const QUrlQuery query(url); // as the server reads it back
        QCOMPARE(query.queryItemValue(QStringLiteral("room"), QUrl::FullyDecoded), room);
        QCOMPARE(query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded), token);
    }

    void outgoingFrame_data() {
        columns<int, QString, QByteArray>("joinValue", "message", "frame");
        row("first message joins", 1, "hello",
            QByteArray(R"({"name":"s","room":"s","type":"join","message":"hello"})"));
        row("later ones chat", 2, "again",
            QByteArray(R"({"name":"s","room":"s","type":"chat","message":"again"})"));
        row("as typed, escaped", 7, " \"q\"\\\n❤️‍🔥 ",
            QByteArray("{\"name\":\"s\",\"room\":\"s\",\"type\":\"chat\",\"message\":"
                       "\" \\\"q\\\"\\\\\\n❤️‍🔥 \"}"));
    }

    void outgoingFrame() {
        QFETCH(int, joinValue);
        QFETCH(QString, message);
        QFETCH(QByteArray, frame);
        const ChatProtocol protocol{QString()};
        QCOMPARE(protocol.outgoingFrame(QStringLiteral("s"), message, joinValue).toUtf8(), frame);
    }

    void parseFrame_data() {
        // shown: "name: message"
        columns<QByteArray, bool, QString>("frame", "hasMessage", "shown");
        row("message", QByteArray(R"({"type":"chat","message":"hi","name":"ann"})"), true,
            "ann: hi");
        row("no name", QByteArray(R"({"message":"anon"})"), true, ": anon");
        row("number", QByteArray(R"({"name":"d","message":42})"), true, "d: 42");
        row("no message", QByteArray(R"({"name":"e","type":"join"})"), false, ": ");
        row("array", QByteArray(R"([{"message":"x"}])"), false, ": ");
        row("not JSON", QByteArray("hello"), false, ": ");
    }

    void parseFrame() {
        QFETCH(QByteArray, frame);
        QFETCH(bool, hasMessage);
        QFETCH(QString, shown);
        const IncomingFrame parsed = parseIncomingFrame(frame);
        QCOMPARE(parsed.kind == IncomingFrame::Message, hasMessage);
        QCOMPARE(parsed.kind == IncomingFrame::NotJson, QJsonDocument::fromJson(frame).isNull());
        QCOMPARE(parsed.name + ": " + parsed.message, shown);
    }

    void reconnectBackoff() {
        ReconnectBackoff backoff;
        QList<int> delays;
        for (int i = 0; i < 8; ++i)
            delays.append(backoff.nextDelayMs());
        QCOMPARE(delays, (QList<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
        QCOMPARE(ReconnectBackoff::delayMs(100000), 30000); // no overflow after days offline
        QCOMPARE(ReconnectBackoff::delayMs(-3), 1000);
    }
};

CASTORA_TEST_MAIN(TestChatProtocol)
#include "tst_chatprotocol.moc"
