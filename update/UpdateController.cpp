#include "UpdateController.h"

#include "BackendRequest.h"
#include "LogText.h"
#include "NetworkClient.h"
#include "ServiceConfig.h"
#include "SettingsStore.h"
#include "UpdateRules.h"

#include <QDebug>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QUrl>

using namespace castora;

namespace {
template <typename T> bool assign(T &member, const T &value) {
    if (member == value)
        return false;
    member = value;
    return true;
}
} // namespace

UpdateController::UpdateController(NetworkClient &client, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_dismissCount(settings::dismissCount())
    , m_openUrl([](const QUrl &url) { return QDesktopServices::openUrl(url); }) {
}

QString UpdateController::currentVersion() const {
    return QString::fromLatin1(kAppVersion);
}

void UpdateController::setUpdateAvailable(bool value) {
    if (assign(m_updateAvailable, value))
        emit updateAvailableChanged();
}

void UpdateController::setIsMandatory(bool value) {
    if (assign(m_isMandatory, value))
        emit isMandatoryChanged();
}

void UpdateController::setCanDismiss(bool value) {
    if (assign(m_canDismiss, value))
        emit canDismissChanged();
}

void UpdateController::setLatestVersion(const QString &value) {
    if (assign(m_latestVersion, value))
        emit latestVersionChanged();
}

void UpdateController::setReleaseNotes(const QString &value) {
    if (assign(m_releaseNotes, value))
        emit releaseNotesChanged();
}

void UpdateController::setDownloadUrl(const QString &value) {
    if (assign(m_downloadUrl, value))
        emit downloadUrlChanged();
}

void UpdateController::setDownloadPageFailed(bool value) {
    if (assign(m_downloadPageFailed, value))
        emit downloadPageFailedChanged();
}

void UpdateController::checkForUpdate() {
    qInfo() << "Checking for updates";
    QNetworkReply *reply =
        api::get(m_client.manager(), m_client.config().apiUrl(QStringLiteral("app/version")),
                 {api::Auth::None});
    net::guardReply(reply, net::kMaxJsonReplyBytes);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onCheckFinished(reply); });
}

void UpdateController::onCheckFinished(QNetworkReply *reply) {
    const api::Reply result = api::readReply(reply);
    reply->deleteLater();
    if (!result.ok()) {
        qWarning() << "Update check failed:" << result.errorString;
        return;
    }
    if (!result.document.isObject()) {
        qWarning() << "Update check: invalid JSON response";
        return;
    }
    const QJsonObject object = result.object();
    const QString latest = object.value(QStringLiteral("latest_version")).toString();
    const QString minimum = object.value(QStringLiteral("minimum_version")).toString();
    const QString windowsUrl = object.value(QStringLiteral("download_url_windows")).toString();
    const QString macosUrl = object.value(QStringLiteral("download_url_macos")).toString();
    const QString notes = object.value(QStringLiteral("release_notes")).toString();
    const int maxDismissals = update::maxDismissals(object.value(QStringLiteral("max_dismissals")));
    qInfo() << "fetched update data" << logtext::capped(notes);

    if (!update::isNewer(latest, currentVersion())) {
        setUpdateAvailable(false);
        return;
    }
    if (settings::pendingVersion() != latest) {
        m_dismissCount = 0;
        settings::setDismissCount(0);
        settings::setPendingVersion(latest);
    }
    setLatestVersion(latest);
    setReleaseNotes(notes);
#ifdef Q_OS_MACOS
    setDownloadUrl(macosUrl);
#else
    Q_UNUSED(macosUrl)
    setDownloadUrl(windowsUrl);
#endif
    evaluateMandatory(minimum, maxDismissals);
    setUpdateAvailable(true);
}

void UpdateController::evaluateMandatory(const QString &minimumVersion, int maxDismissals) {
    const bool mandatory =
        update::isMandatory(currentVersion(), minimumVersion, m_dismissCount, maxDismissals);
    setIsMandatory(mandatory);
    setCanDismiss(!mandatory);
}

void UpdateController::dismissUpdate() {
    ++m_dismissCount;
    settings::setDismissCount(m_dismissCount);
    setUpdateAvailable(false);
}

void UpdateController::openDownloadPage() {
    if (m_downloadUrl.isEmpty())
        return;
    // The link comes from the backend: only a web page is handed to the desktop, never a local
    // file, a share or another program's scheme. Plain http only for a backend that is itself
    // plain http (the local stack). No scheme is guessed for a link without one.
    const QUrl url(m_downloadUrl.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    const bool plainBackend =
        QUrl(m_client.config().backendUrl).scheme().toLower() == QLatin1String("http");
    const bool web =
        scheme == QLatin1String("https") || (scheme == QLatin1String("http") && plainBackend);
    if (!url.isValid() || !web || url.host().isEmpty()) {
        qWarning() << "Update download link refused:" << logtext::capped(m_downloadUrl);
        setDownloadPageFailed(true);
        return;
    }
    const bool opened = m_openUrl(url);
    if (!opened)
        qWarning() << "Update download page could not be opened:" << url.toString();
    setDownloadPageFailed(!opened);
}
