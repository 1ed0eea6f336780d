#pragma once

#include "NetworkAccess.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <utility>

class QHttpMultiPart;
class QHttpPart;
class QIODevice;
class QNetworkAccessManager;

// The one helper through which every backend request is built and every reply handled.
namespace castora::api {

enum class Auth {
    None,           // no "Authorization" header
    Bearer,         // "Bearer " + stored token, also when no token is stored ("Bearer " alone)
    BearerIfStored, // only when a token is stored
};

struct RequestOptions {
    Auth auth = Auth::Bearer;
    bool accept = true; // "Accept: application/json"
};

// A request on `url` with the common headers; the token is read from the settings store now.
// It follows redirects only within its origin.
QNetworkRequest request(const QUrl &url, RequestOptions options = {});

// JSON bodies are sent in the indented serialisation ("{\n}\n" for an empty object).
QByteArray jsonBody(const QJsonObject &body);

QNetworkReply *get(QNetworkAccessManager &nam, const QUrl &url, RequestOptions options = {});
QNetworkReply *postJson(QNetworkAccessManager &nam, const QUrl &url, const QJsonObject &body,
                        RequestOptions options = {});
// POST without a body and without Content-Type.
QNetworkReply *postEmpty(QNetworkAccessManager &nam, const QUrl &url, RequestOptions options = {});
// The multipart object becomes a child of the reply.
QNetworkReply *postMultipart(QNetworkAccessManager &nam, const QUrl &url, QHttpMultiPart *body,
                             RequestOptions options = {});

// multipart/form-data parts: Content-Disposition form-data; name="..." [; filename="..."]
QHttpPart formField(const QString &name, const QByteArray &value);
QHttpPart formFile(const QString &name, const QString &fileName, const QByteArray &contentType,
                   QIODevice *body);

// What a reply handler sees. A body that is not JSON reads as an empty document, so every
// field then takes its default. A reply larger than net::kMaxJsonReplyBytes, or one that made
// no progress for the time-out, is a failure whose errorString says so. The errorString is
// cut to a few hundred characters (logtext::capped): it may hold the server's words.
struct Reply {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorString;
    int httpStatus = 0;
    QByteArray body; // read only when the reply succeeded
    QJsonDocument document;

    bool ok() const { return error == QNetworkReply::NoError; }
    QJsonObject object() const { return document.object(); }
};

Reply readReply(QNetworkReply *reply);

// Runs `handler(const Reply &)` on `context`'s thread when `reply` finishes, then releases the
// reply with deleteLater() on every path. Dropped when `context` is destroyed first. The reply
// is aborted as soon as it grows beyond net::kMaxJsonReplyBytes, or after the no-progress
// time-out (net::guardReply).
template <typename Handler>
void onFinished(QNetworkReply *reply, QObject *context, Handler handler) {
    net::guardReply(reply, net::kMaxJsonReplyBytes);
    QObject::connect(reply, &QNetworkReply::finished, context,
                     [reply, handler = std::move(handler)]() mutable {
                         const Reply result = readReply(reply);
                         handler(result);
                         reply->deleteLater();
                     });
}

} // namespace castora::api
