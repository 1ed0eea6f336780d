// Sign-in, sign-out and the version check (the saved-token check reads the channel record,
// ChannelRoutes.cpp).
#include "DevServer.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace castora::dev {

void DevServer::installAuthRoutes() {
    addRoute(QStringLiteral("POST"), QStringLiteral("api/auth/login"),
             [this](const RecordedRequest &request, const QString &) {
                 const QJsonObject body = QJsonDocument::fromJson(request.body).object();
                 const QString email = body.value(QStringLiteral("email")).toString();
                 const QString password = body.value(QStringLiteral("password")).toString();
                 if (email.isEmpty() || password.isEmpty())
                     return Answer::error(
                         422, QStringLiteral("The email and password fields are required."));
                 const QString token = m_state->login(email, password);
                 if (token.isEmpty())
                     return Answer::json(QJsonObject{
                         {QStringLiteral("status"), QStringLiteral("error")},
                         {QStringLiteral("message"), QStringLiteral("Invalid credentials")}});
                 const Account *account = m_state->accountForToken(token);
                 return Answer::json(QJsonObject{
                     {QStringLiteral("status"), QStringLiteral("success")},
                     {QStringLiteral("channel_created"), account->channelCreated},
                     {QStringLiteral("token"), token},
                 });
             });

    addRoute(QStringLiteral("POST"), QStringLiteral("api/auth/logout"),
             [this](const RecordedRequest &request, const QString &) {
                 if (!m_state->logout(QString::fromUtf8(request.bearerToken())))
                     return Answer::error(401, QStringLiteral("Unauthenticated."));
                 return Answer::json(
                     QJsonObject{{QStringLiteral("message"), QStringLiteral("Logged out")}});
             });

    addRoute(QStringLiteral("GET"), QStringLiteral("api/app/version"),
             [this](const RecordedRequest &, const QString &) {
                 return Answer::json(m_state->versionInfo);
             });
}

} // namespace castora::dev
