#include "AuthController.h"

#include "BackendRequest.h"
#include "NetworkClient.h"
#include "SettingsStore.h"

#include <QDebug>
#include <QJsonObject>
#include <QSslConfiguration>

using namespace castora;

AuthController::AuthController(NetworkClient &client, QObject *parent)
    : QObject(parent)
    , m_client(client) {
    // Warm up the connection to the backend so the first request is quicker; nothing waits
    // for it.
    const QUrl backend(client.config().backendUrl);
    if (backend.scheme() == QLatin1String("https")) {
        m_manager.connectToHostEncrypted(backend.host(), quint16(backend.port(443)),
                                         QSslConfiguration::defaultConfiguration());
    }
    checkTokenExpiry();
}

void AuthController::setLoggedIn(bool loggedIn) {
    m_loggedIn = loggedIn;
    emit loggedInChanged();
}

void AuthController::setStartUp(bool startUp) {
    if (m_startUp == startUp)
        return;
    m_startUp = startUp;
    emit startUpChanged();
}

void AuthController::setToken(const QString &token) {
    if (m_token == token)
        return;
    m_token = token;
    settings::setToken(token);
    emit tokenChanged();
}

void AuthController::setIsTokenExpired(bool expired) {
    if (m_isTokenExpired == expired)
        return;
    m_isTokenExpired = expired;
    emit isTokenExpiredChanged();
}

void AuthController::setIsLoading(bool loading) {
    if (m_isLoading == loading)
        return;
    m_isLoading = loading;
    emit isLoadingChanged();
}

void AuthController::setHasChannel(bool hasChannel) {
    if (m_hasChannel == hasChannel)
        return;
    m_hasChannel = hasChannel;
    emit hasChannelChanged();
}

void AuthController::checkTokenExpiry() {
    const QString saved = settings::token();
    if (saved.isEmpty()) {
        qInfo() << "No saved token found";
        setIsTokenExpired(true);
        setStartUp(false);
        return;
    }
    QNetworkReply *reply =
        api::get(m_manager, m_client.config().endpoint(QStringLiteral("api/channel/user-channel")));
    api::onFinished(reply, this, [this](const api::Reply &result) {
        if (result.ok()) {
            qInfo() << "Token has not expired";
            setIsTokenExpired(false);
            setLoggedIn(true);
        } else {
            qInfo() << "Token has expired";
            setIsTokenExpired(true);
        }
        setStartUp(false);
    });
}

void AuthController::login(const QString &email, const QString &password) {
    setIsLoading(true);
    const QJsonObject body{{QStringLiteral("email"), email},
                           {QStringLiteral("password"), password}};
    QNetworkReply *reply = m_client.post(QStringLiteral("auth/login"), body);
    api::onFinished(reply, this, [this](const api::Reply &result) {
        if (result.error == QNetworkReply::OperationCanceledError) {
            // nothing but the common tail
        } else if (!result.ok()) {
            setLoggedIn(false);
            qCritical() << "Reply failed, error:" << result.errorString;
            // A backend that stopped answering says nothing about the e-mail and password.
            emit loginFailed(
                result.error == QNetworkReply::TimeoutError
                    ? QStringLiteral("Login Failed. The server did not answer in "
                                     "time, please try again.")
                    : QStringLiteral("Login Failed. Please check your email and password"));
        } else {
            const QJsonObject object = result.object();
            if (object.value(QStringLiteral("status")).toString() != QLatin1String("success")) {
                qWarning() << "Invalid Credentials";
                emit loginFailed(QStringLiteral("Invalid email or password"));
            } else {
                setHasChannel(object.value(QStringLiteral("channel_created")).toBool());
                setToken(object.value(QStringLiteral("token")).toString());
                setLoggedIn(true);
            }
        }
        setStartUp(false);
        setIsLoading(false);
    });
}

void AuthController::logout() {
    // The request is built now, with the token still stored; only then is the token dropped,
    // so that an offline sign-out does not sign the user straight back in at the next start.
    QNetworkReply *reply =
        api::postEmpty(m_manager, m_client.config().endpoint(QStringLiteral("api/auth/logout")));
    settings::clearToken();
    if (!m_token.isEmpty()) {
        m_token.clear();
        emit tokenChanged();
    }
    setLoggedIn(false);
    setIsTokenExpired(true);
    api::onFinished(reply, this, [this](const api::Reply &) {
        setLoggedIn(false);
        setIsTokenExpired(true);
    });
}
