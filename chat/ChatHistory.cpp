#include "ChatHistory.h"

#include <QDateTime>
#include <QJsonValue>
#include <QLocale>

namespace castora::chat {

QString displayTime(const QString &createdAt) {
    QDateTime when = QDateTime::fromString(createdAt, Qt::ISODateWithMs);
    if (!when.isValid())
        when = QDateTime::fromString(createdAt, Qt::ISODate);
    if (!when.isValid())
        return createdAt;
    // The C locale would do for the month names too, but spell out the intent: the chat shows
    // "Mar 5, 4:07 PM" on every system.
    static const QLocale english(QLocale::English, QLocale::UnitedStates);
    return english.toString(when.toLocalTime(), QStringLiteral("MMM d, h:mm AP"));
}

QJsonArray historyElements(const QJsonDocument &document, bool *isList) {
    const QJsonValue data = document.object().value(QStringLiteral("data"));
    const bool found = document.isArray() || data.isArray();
    if (isList)
        *isList = found;
    return document.isArray() ? document.array() : data.toArray();
}

HistoryEntry historyEntry(const QJsonObject &element) {
    HistoryEntry entry;
    entry.id = element.value(QStringLiteral("id")).toInt();
    entry.sender = element.value(QStringLiteral("sender")).toString();
    entry.content = element.value(QStringLiteral("content")).toString();
    entry.displayTime = displayTime(element.value(QStringLiteral("created_at")).toString());
    return entry;
}

} // namespace castora::chat
