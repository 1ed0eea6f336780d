#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

// What travels over the broadcast screen's chat socket, kept out of QML so it can be tested:
// the room address, the frames in and out, and the delay before reconnecting.
namespace castora::chat {

enum class FrameType { Join, Chat };

// server + "?room=" + room + "&token=" + token, both values percent-encoded so that a token
// holding "&", "+" or "#" reaches the server whole. A server address that already carries a
// query keeps it and gets the two values appended.
QUrl roomAddress(const QString &server, const QString &room, const QString &token);

// Compact JSON with exactly the members "name", "room", "type", "message" in that order
// (QJsonObject would sort them).
QByteArray outgoingFrame(const QString &name, const QString &room, FrameType type,
                         const QString &message);

// An incoming text frame. Only a JSON object with a "message" member carries a message.
struct IncomingFrame {
    enum Kind {
        Message,   // name + message
        NoMessage, // JSON, but nothing to show
        NotJson,   // dropped
    } kind = NotJson;
    QString name;
    QString message;
    QString error; // why a frame is not JSON
};
IncomingFrame parseIncomingFrame(const QByteArray &frame);

// Reconnection delay: 1 s after the first failed attempt, doubling up to 30 s; the caller
// starts counting again from 0 once the socket is open.
class ReconnectBackoff {
public:
    static constexpr int kInitialMs = 1000;
    static constexpr int kMaximumMs = 30000;

    // The delay before attempt number `failures` + 1, for `failures` attempts that failed.
    static int delayMs(int failures);

    int failures() const { return m_failures; }
    // Counts one more failure and returns the delay before the next attempt.
    int nextDelayMs() { return delayMs(m_failures++); }
    void reset() { m_failures = 0; }

private:
    int m_failures = 0;
};

} // namespace castora::chat

// The room address and the outgoing frame as the QML singleton "ChatProtocol" (the socket
// itself is ChatSocket).
class ChatProtocol : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString server READ server CONSTANT)

public:
    // `server`: the chat socket server's address (ServiceConfig::chatUrl).
    explicit ChatProtocol(QString server, QObject *parent = nullptr);

    QString server() const { return m_server; }

    // The socket address of `room` with `token`.
    Q_INVOKABLE QUrl roomAddress(const QString &room, const QString &token) const;

    // The frame for a message sent from the chat panel: "name" and "room" are the channel
    // slug, "type" is "join" while `joinValue` is 1 (the panel's first message), else "chat".
    Q_INVOKABLE QString outgoingFrame(const QString &slug, const QString &message,
                                      int joinValue) const;

private:
    QString m_server;
};
