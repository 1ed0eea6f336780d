#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

// Reading a chat room's history as the backend sends it.
namespace castora::chat {

// One element of the history, with the time already turned into display text.
struct HistoryEntry {
    int id = 0;
    QString sender;
    QString content;
    QString displayTime; // may be empty: the list shows "now" then

    // Elements without a sender or without text are not shown.
    bool isShown() const { return !sender.isEmpty() && !content.isEmpty(); }
};

// "created_at" as the list shows it: an ISO 8601 date-time (with or without milliseconds) in
// local time as "MMM d, h:mm AP" with English month names whatever the system locale; any
// other text unchanged.
QString displayTime(const QString &createdAt);

// The message elements of a history reply: the document itself when it is an array, otherwise
// the "data" array of its object. `isList` tells whether either form was found.
QJsonArray historyElements(const QJsonDocument &document, bool *isList = nullptr);

// "id" (0 when missing), "sender", "content" and "created_at" of one element.
HistoryEntry historyEntry(const QJsonObject &element);

} // namespace castora::chat
