// Chat: the token for the chat socket, the rooms' histories and the chat socket server.
#include "ChatServer.h"
#include "DevServer.h"

#include <QJsonArray>
#include <QJsonObject>

namespace castora::dev {

quint16 DevServer::listenChat(quint16 port) {
    return m_chat->listen(port);
}

void DevServer::installChatRoutes() {
    m_chat = new ChatServer(this);

    addRoute(QStringLiteral("GET"), QStringLiteral("api/comment/fetch-chat-token"),
             [this](const RecordedRequest &request, const QString &) {
                 const Channel *channel =
                     m_state->channelForToken(QString::fromUtf8(request.bearerToken()));
                 if (!channel)
                     return Answer::error(401, QStringLiteral("Unauthenticated."));
                 // The broadcaster speaks in the chat under the channel's slug.
                 return Answer::json(
                     QJsonObject{{QStringLiteral("token"), m_chat->issueToken(channel->slug)}});
             });

    addRoute(QStringLiteral("GET"), QStringLiteral("api/comment/"),
             [this](const RecordedRequest &, const QString &room) {
                 QJsonArray data;
                 const QList<ChatEntry> entries = m_chat->history(room);
                 for (const ChatEntry &entry : entries)
                     data.append(entry.toJson());
                 return Answer::json(QJsonObject{{QStringLiteral("data"), data}});
             });
}

} // namespace castora::dev
