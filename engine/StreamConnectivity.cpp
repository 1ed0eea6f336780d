// Connectivity: the network status bar driven by the send thread's connection events, and
// the internet probe.
#include "StreamController.h"

#include "BackendRequest.h"

#include <QDebug>

using namespace castora;

void StreamController::onConnectionLost() {
    if (!m_streaming)
        return; // a late event of a broadcast already stopped
    setInternetConnection(false);
    setNetworkBarMessage(tr("No network connection. Retrying..."));
    setNetworkBarIsError(true);
    setNetworkBarVisible(true);
}

void StreamController::onConnectionRestored() {
    if (!m_streaming)
        return;
    setInternetConnection(true);
    setNetworkBarMessage(tr("Network restored. Stream resumed."));
    setNetworkBarIsError(false);
    setNetworkBarVisible(true);
    m_networkBarTimer.start(kNetworkBarMs);
}

void StreamController::checkNetworkConnection() {
    api::RequestOptions options;
    options.auth = api::Auth::None;
    options.accept = false;
    QNetworkReply *reply =
        api::get(m_network, QUrl(m_config.probeUrl, QUrl::TolerantMode), options);
    api::onFinished(reply, this, [this](const api::Reply &r) {
        // Only an unknown network error, or a probe that got no answer at all in the time-out,
        // counts as offline; any answer, even an error status, means the network is there.
        setInternetConnection(r.error != QNetworkReply::UnknownNetworkError &&
                              r.error != QNetworkReply::TimeoutError);
        qInfo() << r.error;
    });
}

void StreamController::getInternetStatus() {
    m_statusTimer.setInterval(1000);
    connect(&m_statusTimer, &QTimer::timeout, this, [this] {
        checkNetworkConnection();
        qInfo() << " checking internet";
    });
    m_statusTimer.start();
}
