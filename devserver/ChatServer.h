#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QWebSocketServer>

class QWebSocket;

namespace castora::dev {

// One stored chat message of a room.
struct ChatEntry {
    int id = 0; // 0: nothing was stored
    QString sender;
    QString content;
    QDateTime createdAt;   // UTC
    QString createdAtText; // when set, sent as "created_at" instead of createdAt (any text)

    // {"id", "sender", "content", "created_at"} as the room history lists it.
    QJsonObject toJson() const;
};

// The service's chat: tokens, the rooms' histories and the WebSocket server on the room
// address "?room=<room>&token=<token>". A client whose token was not issued here is closed at
// once with the policy-violation close code. Each message a client sends ("type" "join" or
// "chat", both carry a message) is stored in its room's history and relayed as
// {"name", "message"} to the other clients of the room, not back to the sender.
class ChatServer : public QObject {
    Q_OBJECT
public:
    explicit ChatServer(QObject *parent = nullptr);
    ~ChatServer() override;

    // Listens on 127.0.0.1 (port 0: any free port). Returns the port, 0 on failure.
    quint16 listen(quint16 port = 0);
    quint16 port() const;
    QString url() const; // ws://127.0.0.1:<port>/chat

    // A token whose messages appear under `name` (a channel slug or a listener's name).
    QString issueToken(const QString &name);
    bool isValidToken(const QString &token) const { return m_tokens.contains(token); }

    QList<ChatEntry> history(const QString &room) const { return m_history.value(room); }
    // Stores a message in `room` and relays it to every client there, as a listener on the
    // service's web page would post it. Text that is blank after trimming is dropped (id 0).
    // `createdAtText`, when given, is the history's "created_at" as it stands.
    ChatEntry post(const QString &room, const QString &sender, const QString &message,
                   const QString &createdAtText = QString());
    int clientCount(const QString &room) const;

signals:
    void clientJoined(const QString &room, const QString &name);
    void clientRefused(const QString &reason);
    void messageStored(const QString &room, const castora::dev::ChatEntry &entry);

private:
    struct Client {
        QString room;
        QString name;
    };

    void acceptPending();
    void handleFrame(QWebSocket *socket, const QString &frame);
    ChatEntry store(const QString &room, const QString &sender, const QString &message,
                    QWebSocket *except, const QString &createdAtText = QString());

    QWebSocketServer m_server;
    QHash<QWebSocket *, Client> m_clients;
    QHash<QString, QString> m_tokens; // token -> name
    QHash<QString, QList<ChatEntry>> m_history;
    int m_nextId = 1;
};

} // namespace castora::dev

Q_DECLARE_METATYPE(castora::dev::ChatEntry)
