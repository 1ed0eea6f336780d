#pragma once

#include "ServiceConfig.h"

#include <QObject>
#include <QString>

// Addresses the UI opens or connects to: the service web site's pages, social pages, the
// support contact and the chat socket server. Exposed to QML as the singleton "AppLinks".
class AppLinks : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString website READ website CONSTANT)
    Q_PROPERTY(QString signUp READ signUp CONSTANT)
    Q_PROPERTY(QString forgotPassword READ forgotPassword CONSTANT)
    Q_PROPERTY(QString support READ support CONSTANT)
    Q_PROPERTY(QString facebook READ facebook CONSTANT)
    Q_PROPERTY(QString linkedin READ linkedin CONSTANT)
    Q_PROPERTY(QString chatServer READ chatServer CONSTANT)

public:
    explicit AppLinks(castora::ServiceConfig config, QObject *parent = nullptr);

    QString website() const { return m_config.websiteUrl; }
    QString signUp() const { return page(QStringLiteral("signup")); }
    QString forgotPassword() const { return page(QStringLiteral("forgotpassword")); }
    QString support() const;
    QString facebook() const;
    QString linkedin() const;
    QString chatServer() const { return m_config.chatUrl; }

    // website + "/" + path
    Q_INVOKABLE QString page(const QString &path) const;

private:
    castora::ServiceConfig m_config;
};
