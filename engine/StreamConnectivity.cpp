// Connectivity: the network status bar driven by the send thread's connection events, and
// the internet probe.
#include "StreamController.h"

#include "BackendRequest.h"
#include "IcecastStatusPage.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

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

// On the send thread, which has no event loop of its own: a network access manager and a loop
// made here, for the status page alone, for two seconds at most.
std::optional<bool> StreamController::mountListed(const castora::engine::IcecastSettings &server) {
    QUrl url;
    url.setScheme(server.tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(server.host);
    url.setPort(server.port);
    url.setPath(QStringLiteral("/status-json.xsl"));
    net::AccessManager network;
    QEventLoop loop;
    QNetworkReply *reply = network.get(QNetworkRequest(url));
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    std::optional<bool> listed;
    if (reply->isFinished() && reply->error() == QNetworkReply::NoError) {
        if (const auto status = icecast::mountStatus(reply->readAll(), server.mount))
            listed = status->listed;
    }
    reply->abort();
    delete reply;
    qInfo() << "The streaming server's status page"
            << (listed ? (*listed ? "lists" : "does not list") : "does not say whether it lists")
            << "the mount";
    return listed;
}
