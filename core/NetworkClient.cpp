#include "NetworkClient.h"

#include "BackendRequest.h"

#include <QCoreApplication>
#include <QPointer>

namespace castora {

NetworkClient::NetworkClient(ServiceConfig config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config)) {
}

NetworkClient &NetworkClient::instance() {
    // Created on first use, owned by the application object so that its manager goes before
    // the application does.
    static QPointer<NetworkClient> client;
    if (!client)
        client = new NetworkClient(ServiceConfig::fromBuild(), QCoreApplication::instance());
    return *client;
}

QNetworkReply *NetworkClient::post(const QString &path, const QJsonObject &body) {
    return api::postJson(m_manager, m_config.apiUrl(path), body, {api::Auth::BearerIfStored});
}

} // namespace castora
