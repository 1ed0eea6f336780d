#include "ChatServer.h"
#include "DevState.h"

#include <QDebug>
#include <QJsonDocument>
#include <QUrlQuery>
#include <QWebSocket>

namespace castora::dev {

QJsonObject ChatEntry::toJson() const {
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("sender"), sender},
        {QStringLiteral("content"), content},
        {QStringLiteral("created_at"),
         createdAtText.isNull() ? createdAt.toUTC().toString(Qt::ISODateWithMs) : createdAtText},
    };
}

ChatServer::ChatServer(QObject *parent)
    : QObject(parent)
    , m_server(QStringLiteral("castora-chat"), QWebSocketServer::NonSecureMode) {
    qRegisterMetaType<castora::dev::ChatEntry>();
    connect(&m_server, &QWebSocketServer::newConnection, this, &ChatServer::acceptPending);
}

ChatServer::~ChatServer() {
    // Drop our handlers first (they look into m_clients), then close and delete the
    // connections still open.
    const QList<QWebSocket *> sockets = findChildren<QWebSocket *>(Qt::FindDirectChildrenOnly);
    for (QWebSocket *socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        delete socket;
    }
    m_clients.clear();
    m_server.close();
}

quint16 ChatServer::listen(quint16 port) {
    if (!m_server.listen(QHostAddress::LocalHost, port))
        return 0;
    return m_server.serverPort();
}

quint16 ChatServer::port() const {
    return m_server.isListening() ? m_server.serverPort() : quint16(0);
}

QString ChatServer::url() const {
    return QStringLiteral("ws://127.0.0.1:%1/chat").arg(port());
}

QString ChatServer::issueToken(const QString &name) {
    const QString token = serviceToken(m_tokens.size() + 1);
    m_tokens.insert(token, name);
    return token;
}

int ChatServer::clientCount(const QString &room) const {
    int count = 0;
    for (const Client &client : m_clients) {
        if (client.room == room)
            ++count;
    }
    return count;
}

ChatEntry ChatServer::post(const QString &room, const QString &sender, const QString &message,
                           const QString &createdAtText) {
    return store(room, sender, message, nullptr, createdAtText);
}

void ChatServer::acceptPending() {
    while (QWebSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        const QUrlQuery query(socket->requestUrl());
        const QString room = query.queryItemValue(QStringLiteral("room"), QUrl::FullyDecoded);
        const QString token = query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
        connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
            m_clients.remove(socket);
            socket->deleteLater();
        });

        QString refusal;
        if (room.isEmpty())
            refusal = QStringLiteral("No chat room given");
        else if (!isValidToken(token))
            refusal = QStringLiteral("Invalid chat token");
        if (!refusal.isEmpty()) {
            qInfo() << "Chat connection refused:" << refusal;
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, refusal);
            emit clientRefused(refusal);
            continue;
        }

        const Client client{room, m_tokens.value(token)};
        m_clients.insert(socket, client);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &frame) { handleFrame(socket, frame); });
        emit clientJoined(client.room, client.name);
    }
}

void ChatServer::handleFrame(QWebSocket *socket, const QString &frame) {
    const auto client = m_clients.constFind(socket);
    if (client == m_clients.constEnd())
        return;
    const QJsonObject object = QJsonDocument::fromJson(frame.toUtf8()).object();
    const QString type = object.value(QStringLiteral("type")).toString();
    const QJsonValue message = object.value(QStringLiteral("message"));
    if ((type != QLatin1String("join") && type != QLatin1String("chat")) || !message.isString())
        return;
    // The sender is who the token was issued to, whatever "name" the frame claims; the
    // connection's room is where the message goes.
    store(client->room, client->name, message.toString(), socket);
}

ChatEntry ChatServer::store(const QString &room, const QString &sender, const QString &message,
                            QWebSocket *except, const QString &createdAtText) {
    if (message.trimmed().isEmpty())
        return ChatEntry{};
    ChatEntry entry;
    entry.id = m_nextId++;
    entry.sender = sender;
    entry.content = message;
    entry.createdAt = QDateTime::currentDateTimeUtc();
    entry.createdAtText = createdAtText;
    m_history[room].append(entry);

    const QString relay =
        QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("name"), sender},
                                                    {QStringLiteral("message"), message}})
                              .toJson(QJsonDocument::Compact));
    for (auto it = m_clients.constBegin(); it != m_clients.constEnd(); ++it) {
        if (it.key() != except && it.value().room == room)
            it.key()->sendTextMessage(relay);
    }
    emit messageStored(room, entry);
    return entry;
}

} // namespace castora::dev
