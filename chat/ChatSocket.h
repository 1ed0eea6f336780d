#pragma once

#include "ChatProtocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>

class QWebSocket;

// The broadcast screen's live connection to the channel's chat room. The server is someone
// else's: nothing it does or fails to do may hold the connection up or fill the memory.
//  - Incoming frames and messages are limited (kMaxFrameBytes, kMaxMessageBytes): a larger one
//    closes the connection as it is announced, before it is read.
//  - A server that takes the connection but does not answer the handshake within the
//    handshake time-out is given up (Qt 6.4's client socket waits for ever).
//  - While open, the socket is pinged; a link that stays silent (no pong, no frame) for the
//    silence limit is closed as dead.
//  - Every close that was not asked for is followed by a new attempt after the reconnection
//    back-off (ReconnectBackoff: 1 s doubling to 30 s), which starts over once open.
// A new address (another room or token) moves the connection at once; an empty one closes it.
// Messages arrive parsed (a frame holds at most kMaxFrameBytes; the chat list and the
// announcement cut the texts to their own limits); what is logged of them is cut to a few
// hundred characters.
class ChatSocket : public QObject {
    Q_OBJECT
    Q_PROPERTY(QUrl url READ url WRITE setUrl NOTIFY urlChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    Q_PROPERTY(int failures READ failures NOTIFY failuresChanged)

public:
    enum class Status { Closed, Connecting, Open };
    Q_ENUM(Status)

    static constexpr qint64 kMaxFrameBytes = 256 * 1024;
    static constexpr qint64 kMaxMessageBytes = 512 * 1024;

    struct Timing {
        std::chrono::milliseconds handshake{10000}; // from the attempt to the socket open
        std::chrono::milliseconds ping{5000};       // between two pings while open
        std::chrono::milliseconds silence{30000};   // nothing heard this long: the link is dead
    };

    explicit ChatSocket(QObject *parent = nullptr);
    ~ChatSocket() override;

    QUrl url() const { return m_url; }
    void setUrl(const QUrl &url);
    Status status() const { return m_status; }
    // Closed or failed connections in a row; 0 again once open.
    int failures() const { return m_backoff.failures(); }
    void setTiming(const Timing &timing) { m_timing = timing; }

    // One text frame to the room; false (and the frame is lost) while not open.
    Q_INVOKABLE bool sendTextMessage(const QString &frame);

signals:
    void urlChanged();
    void statusChanged();
    void failuresChanged();
    // A message of the room: a frame with a "message" member.
    void messageReceived(const QString &name, const QString &message);
    // The connection closed or failed; the next attempt follows in `delayMs`.
    void reconnectScheduled(int delayMs);

private:
    void connectNow();
    void release();
    void onStateChanged();
    void onOpen();
    void onText(const QString &frame);
    void checkLiveness();
    void setStatus(Status status);

    QUrl m_url;
    QPointer<QWebSocket> m_socket; // the current attempt or connection
    Timing m_timing;
    castora::chat::ReconnectBackoff m_backoff;
    Status m_status = Status::Closed;
    QTimer m_handshakeTimer;
    QTimer m_pingTimer;
    QTimer m_retryTimer;
    QElapsedTimer m_heard; // since the server last sent anything
};
