#include "BackendRequest.h"

#include "LogText.h"
#include "SettingsStore.h"

#include <QHttpMultiPart>
#include <QHttpPart>
#include <QNetworkAccessManager>

namespace castora::api {

QNetworkRequest request(const QUrl &url, RequestOptions options) {
    QNetworkRequest req(url);
    // The bearer token stays with the backend's origin: a redirect elsewhere fails instead.
    // (The no-progress time-out comes with the reply's guard, net::guardReply.)
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                     int(QNetworkRequest::SameOriginRedirectPolicy));
    if (options.accept)
        req.setRawHeader("Accept", "application/json");
    if (options.auth != Auth::None) {
        const QString token = settings::token();
        if (options.auth == Auth::Bearer || !token.isEmpty())
            req.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    }
    return req;
}

QByteArray jsonBody(const QJsonObject &body) {
    return QJsonDocument(body).toJson(QJsonDocument::Indented);
}

QNetworkReply *get(QNetworkAccessManager &nam, const QUrl &url, RequestOptions options) {
    return nam.get(request(url, options));
}

QNetworkReply *postJson(QNetworkAccessManager &nam, const QUrl &url, const QJsonObject &body,
                        RequestOptions options) {
    QNetworkRequest req = request(url, options);
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return nam.post(req, jsonBody(body));
}

QNetworkReply *postEmpty(QNetworkAccessManager &nam, const QUrl &url, RequestOptions options) {
    return nam.post(request(url, options), QByteArray());
}

QNetworkReply *postMultipart(QNetworkAccessManager &nam, const QUrl &url, QHttpMultiPart *body,
                             RequestOptions options) {
    QNetworkReply *reply = nam.post(request(url, options), body);
    body->setParent(reply);
    return reply;
}

namespace {
QByteArray quoted(const QString &text) {
    return '"' + text.toUtf8() + '"';
}
} // namespace

QHttpPart formField(const QString &name, const QByteArray &value) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader, "form-data; name=" + quoted(name));
    part.setBody(value);
    return part;
}

QHttpPart formFile(const QString &name, const QString &fileName, const QByteArray &contentType,
                   QIODevice *body) {
    QHttpPart part;
    part.setHeader(QNetworkRequest::ContentDispositionHeader,
                   "form-data; name=" + quoted(name) + "; filename=" + quoted(fileName));
    part.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    part.setBodyDevice(body);
    return part;
}

Reply readReply(QNetworkReply *reply) {
    Reply result;
    result.error = reply->error();
    result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (const auto refusal = net::refusalOf(reply)) {
        result.error = refusal->error;
        result.errorString = refusal->message;
    } else if (result.ok() && reply->bytesAvailable() > net::kMaxJsonReplyBytes) {
        // A reply nobody watched while it arrived: refused all the same, without reading it.
        result.error = QNetworkReply::UnknownContentError;
        result.errorString = QStringLiteral("The server's reply is too large and was refused.");
    } else if (result.ok()) {
        result.body = reply->readAll();
        result.document = QJsonDocument::fromJson(result.body);
    } else {
        // It carries the server's reason phrase, which may be of any length.
        result.errorString = logtext::capped(reply->errorString());
    }
    return result;
}

} // namespace castora::api
