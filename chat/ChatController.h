#pragma once

#include "NetworkAccess.h"
#include "ServiceConfig.h"

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

class MessageModel;

// The chat list of the broadcast screen: the room's history fetched from the backend, the live
// messages that arrive over the chat socket and the broadcaster's own messages, in one list.
// However much a room sends, the list holds the newest kMaxMessages, each of bounded length.
class ChatController : public QAbstractListModel {
    Q_OBJECT

public:
    // Older messages leave the list from the front.
    static constexpr int kMaxMessages = 500;
    // Longer texts are cut to this many characters followed by "..."; a sender name and a time
    // to kMaxNameLength.
    static constexpr int kMaxMessageLength = 2000;
    static constexpr int kMaxNameLength = 100;

    enum Role {
        SenderRole = Qt::UserRole + 1,
        MessageTextRole,
        IdRole,
        CreatedAtRole,
    };
    Q_ENUM(Role)

    // History requests go below `config`'s backend URL.
    explicit ChatController(castora::ServiceConfig config, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The message at `row`, or nullptr.
    MessageModel *message(int row) const;

    // Appends one message, its texts cut to their limits; an empty `createdAt` shows as "now".
    // A full list drops its oldest message.
    Q_INVOKABLE void addMessage(int id, const QString &sender, const QString &messageText,
                                const QString &createdAt = QString());

    // Requests the history of the room `slug` and appends it. A message that an earlier fetch
    // of the same room already added (same non-zero id) is not added again.
    Q_INVOKABLE void fetchMessages(const QString &slug);

signals:
    // A history request has been handled (successfully or not); for tests and tools.
    void historyFetched(const QString &slug, bool ok);

private:
    castora::ServiceConfig m_config;
    castora::net::AccessManager m_manager;
    QList<MessageModel *> m_messages;
    QHash<QString, QSet<int>> m_historyIds; // room -> ids added from its history
};
