// Usage reports while on air, and the listener count of the channel's mount point.
#include "StreamController.h"

#include <QDebug>
#include <QJsonObject>

using namespace castora;

void StreamController::updateUsageDuration() {
    QNetworkReply *reply = api::postJson(
        m_network, m_config.endpoint(QStringLiteral("api/channel/update-usage-duration")),
        QJsonObject());
    whenAnswered(reply, [](const api::Reply &r) {
        if (r.ok())
            qInfo() << "Usage duration updated successfully";
        else
            qWarning() << "Failed to update usage duration:" << r.errorString;
    });
}

void StreamController::onMountPointChanged() {
    // The first mount point starts the poll for good; later ones are used by its next tick.
    if (m_mountPoint.isEmpty() || m_listenerPollTimer.isActive())
        return;
    fetchListeners();
    m_listenerPollTimer.start();
}

void StreamController::fetchListeners() {
    api::RequestOptions bare;
    bare.auth = api::Auth::None;
    bare.accept = false;
    QNetworkReply *reply =
        api::get(m_network, m_config.endpoint(QStringLiteral("api/stats/"), m_mountPoint), bare);
    whenAnswered(reply, [this](const api::Reply &r) {
        // A failed poll keeps the last count on screen; a body that is not a number reads 0.
        if (r.ok())
            setListeners(QString::fromUtf8(r.body).toInt());
    });
}

void StreamController::getListenersCount() {
    m_statusTimer.setInterval(5000);
    connect(&m_statusTimer, &QTimer::timeout, this, &StreamController::fetchListeners);
    m_statusTimer.start();
}
