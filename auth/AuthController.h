#pragma once

#include "NetworkAccess.h"
#include "ServiceConfig.h"

#include <QObject>
#include <QString>

namespace castora {
class NetworkClient;
}

// The user's sign-in state for the whole run: checks a saved token at start, signs in and out,
// keeps the bearer token in the settings store where every authenticated request finds it.
class AuthController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool loggedIn READ loggedIn WRITE setLoggedIn NOTIFY loggedInChanged)
    Q_PROPERTY(bool startUp READ startUp WRITE setStartUp NOTIFY startUpChanged)
    Q_PROPERTY(QString token READ token WRITE setToken NOTIFY tokenChanged)
    Q_PROPERTY(bool isTokenExpired READ isTokenExpired WRITE setIsTokenExpired NOTIFY
                   isTokenExpiredChanged)
    Q_PROPERTY(bool isLoading READ isLoading WRITE setIsLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool hasChannel READ hasChannel WRITE setHasChannel NOTIFY hasChannelChanged)

public:
    // Sign-in goes through `client`; the saved-token check and sign-out use an own manager.
    explicit AuthController(castora::NetworkClient &client, QObject *parent = nullptr);

    bool loggedIn() const { return m_loggedIn; }
    bool startUp() const { return m_startUp; }
    QString token() const { return m_token; }
    bool isTokenExpired() const { return m_isTokenExpired; }
    bool isLoading() const { return m_isLoading; }
    bool hasChannel() const { return m_hasChannel; }

    // Notifies on every assignment: each successful sign-in pushes the broadcast screen once.
    void setLoggedIn(bool loggedIn);
    void setStartUp(bool startUp);
    // Persists a changed token in the settings store.
    void setToken(const QString &token);
    void setIsTokenExpired(bool expired);
    void setIsLoading(bool loading);
    void setHasChannel(bool hasChannel);

    Q_INVOKABLE void login(const QString &email, const QString &password);
    Q_INVOKABLE void logout();
    Q_INVOKABLE void checkTokenExpiry();

signals:
    void loggedInChanged();
    void startUpChanged();
    void tokenChanged();
    void isTokenExpiredChanged();
    void isLoadingChanged();
    void hasChannelChanged();
    void loginFailed(const QString &message);

private:
    castora::NetworkClient &m_client;
    castora::net::AccessManager m_manager;
    bool m_loggedIn = false;
    bool m_startUp = true;
    QString m_token;
    bool m_isTokenExpired = true;
    bool m_isLoading = false;
    bool m_hasChannel = false;
};
