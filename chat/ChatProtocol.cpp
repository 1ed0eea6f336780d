#include "ChatProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace castora::chat {

QUrl roomAddress(const QString &server, const QString &room, const QString &token) {
    // Everything but the unreserved characters is escaped; QUrl's own query handling would
    // leave "&" and "+" alone inside a value.
    QByteArray address = server.toUtf8();
    address += address.contains('?') ? "&room=" : "?room=";
    address += QUrl::toPercentEncoding(room);
    address += "&token=";
    address += QUrl::toPercentEncoding(token);
    return QUrl::fromEncoded(address);
}

namespace {
// A JSON string literal with its quotes, escaped as QJsonDocument escapes it.
QByteArray jsonString(const QString &text) {
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2); // strip "[" and "]"
}
} // namespace

QByteArray outgoingFrame(const QString &name, const QString &room, FrameType type,
                         const QString &message) {
    QByteArray frame = "{\"name\":" + jsonString(name);
    frame += ",\"room\":" + jsonString(room);
    frame += ",\"type\":";
    frame += type == FrameType::Join ? "\"join\"" : "\"chat\"";
    frame += ",\"message\":" + jsonString(message);
    frame += '}';
    return frame;
}

namespace {
QString text(const QJsonValue &value) {
    // A number or a boolean still reads as its text; objects and arrays read as empty.
    return value.isString() ? value.toString() : value.toVariant().toString();
}
} // namespace

IncomingFrame parseIncomingFrame(const QByteArray &frame) {
    IncomingFrame result;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(frame, &error);
    if (error.error != QJsonParseError::NoError) {
        result.kind = IncomingFrame::NotJson;
        result.error = error.errorString();
        return result;
    }
    const QJsonObject object = document.object();
    if (!document.isObject() || !object.contains(QStringLiteral("message"))) {
        result.kind = IncomingFrame::NoMessage;
        return result;
    }
    result.kind = IncomingFrame::Message;
    result.name = text(object.value(QStringLiteral("name")));
    result.message = text(object.value(QStringLiteral("message")));
    return result;
}

int ReconnectBackoff::delayMs(int failures) {
    int delay = kInitialMs;
    for (int i = 0; i < failures && delay < kMaximumMs; ++i)
        delay *= 2;
    return qMin(delay, kMaximumMs);
}

} // namespace castora::chat

using namespace castora::chat;

ChatProtocol::ChatProtocol(QString server, QObject *parent)
    : QObject(parent)
    , m_server(std::move(server)) {
}

QUrl ChatProtocol::roomAddress(const QString &room, const QString &token) const {
    return castora::chat::roomAddress(m_server, room, token);
}

QString ChatProtocol::outgoingFrame(const QString &slug, const QString &message,
                                    int joinValue) const {
    const FrameType type = joinValue == 1 ? FrameType::Join : FrameType::Chat;
    return QString::fromUtf8(castora::chat::outgoingFrame(slug, slug, type, message));
}
