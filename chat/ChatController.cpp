#include "ChatController.h"

#include "BackendRequest.h"
#include "ChatHistory.h"
#include "MessageModel.h"

#include <QDebug>

using namespace castora;

namespace {
// `text` cut to its first `limit` characters, followed by "...", when it is longer.
// Characters are code points: a character outside the basic plane (most emoji) is never split.
QString capped(const QString &text, qsizetype limit) {
    if (text.size() <= limit)
        return text;
    qsizetype units = 0;
    for (qsizetype chars = 0; chars < limit && units < text.size(); ++chars) {
        const bool pair = text.at(units).isHighSurrogate() && units + 1 < text.size() &&
                          text.at(units + 1).isLowSurrogate();
        units += pair ? 2 : 1;
    }
    return units < text.size() ? text.left(units) + QStringLiteral("...") : text;
}
} // namespace

ChatController::ChatController(ServiceConfig config, QObject *parent)
    : QAbstractListModel(parent)
    , m_config(std::move(config)) {
}

int ChatController::rowCount(const QModelIndex &parent) const {
    // A flat list: child rows of any index would make views recurse.
    return parent.isValid() ? 0 : int(m_messages.size());
}

QVariant ChatController::data(const QModelIndex &index, int role) const {
    const MessageModel *item = index.isValid() ? message(index.row()) : nullptr;
    if (!item || index.column() != 0)
        return QVariant();
    switch (role) {
    case SenderRole:
        return item->sender();
    case MessageTextRole:
        return item->messageText();
    case IdRole:
        return item->id();
    case CreatedAtRole:
        return item->createdAt();
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> ChatController::roleNames() const {
    return {
        {SenderRole, "sender"},
        {MessageTextRole, "messageText"},
        {IdRole, "id"},
        {CreatedAtRole, "createdAt"},
    };
}

MessageModel *ChatController::message(int row) const {
    return row >= 0 && row < m_messages.size() ? m_messages.at(row) : nullptr;
}

void ChatController::addMessage(int id, const QString &sender, const QString &messageText,
                                const QString &createdAt) {
    if (m_messages.size() >= kMaxMessages) {
        const int excess = int(m_messages.size()) - kMaxMessages + 1;
        beginRemoveRows(QModelIndex(), 0, excess - 1);
        const QList<MessageModel *> dropped = m_messages.first(excess);
        m_messages.remove(0, excess);
        endRemoveRows();
        qDeleteAll(dropped);
    }
    const int row = int(m_messages.size());
    beginInsertRows(QModelIndex(), row, row);
    auto *item = new MessageModel(this);
    item->setId(id);
    item->setSender(capped(sender, kMaxNameLength));
    item->setMessageText(capped(messageText, kMaxMessageLength));
    item->setCreatedAt(createdAt.isEmpty() ? QStringLiteral("now")
                                           : capped(createdAt, kMaxNameLength));
    m_messages.append(item);
    endInsertRows();
}

void ChatController::fetchMessages(const QString &slug) {
    // The history is public: no Authorization header.
    QNetworkReply *reply =
        api::get(m_manager, m_config.endpoint(QStringLiteral("api/comment/"), slug),
                 api::RequestOptions{api::Auth::None, true});
    api::onFinished(reply, this, [this, slug](const api::Reply &result) {
        if (!result.ok()) {
            qInfo() << "Failed to fetch chat messages:" << result.errorString;
            emit historyFetched(slug, false);
            return;
        }
        bool isList = false;
        const QJsonArray elements = chat::historyElements(result.document, &isList);
        if (!isList)
            qWarning() << "Chat history reply holds no message list";

        // Ids seen in earlier fetches of this room; repeated ids within one reply are the
        // backend's business and are kept.
        QSet<int> &known = m_historyIds[slug];
        QSet<int> added;
        int repeated = 0;
        for (const QJsonValue &value : elements) {
            const chat::HistoryEntry entry = chat::historyEntry(value.toObject());
            if (!entry.isShown())
                continue;
            if (entry.id != 0 && known.contains(entry.id)) {
                ++repeated;
                continue;
            }
            addMessage(entry.id, entry.sender, entry.content, entry.displayTime);
            if (entry.id != 0)
                added.insert(entry.id);
        }
        known.unite(added);
        if (repeated > 0)
            qInfo() << "Skipped" << repeated << "chat messages already shown";
        qInfo() << "Fetched" << elements.size() << "chat messages";
        emit historyFetched(slug, true);
    });
}
