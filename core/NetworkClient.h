#pragma once

#include "NetworkAccess.h"
#include "ServiceConfig.h"

#include <QJsonObject>
#include <QObject>

class QNetworkReply;

namespace castora {

// Posts JSON objects below the API root with its own network access manager. The program
// uses one process-wide instance; tests make their own against a stand-in backend.
class NetworkClient : public QObject {
    Q_OBJECT
public:
    explicit NetworkClient(ServiceConfig config, QObject *parent = nullptr);

    static NetworkClient &instance();

    // POST base + "/api/" + path; "Authorization" only when a token is stored.
    QNetworkReply *post(const QString &path, const QJsonObject &body);

    QNetworkAccessManager &manager() { return m_manager; }
    const ServiceConfig &config() const { return m_config; }

private:
    ServiceConfig m_config;
    net::AccessManager m_manager;
};

} // namespace castora
