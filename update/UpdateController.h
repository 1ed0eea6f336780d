#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkReply;

namespace castora {
class NetworkClient;
}

// Asks the backend once per run for the latest client version and exposes an optional or
// mandatory update to the UI. How often the pending version was put off is kept across runs.
class UpdateController : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool updateAvailable READ updateAvailable WRITE setUpdateAvailable NOTIFY
                   updateAvailableChanged)
    Q_PROPERTY(bool isMandatory READ isMandatory WRITE setIsMandatory NOTIFY isMandatoryChanged)
    Q_PROPERTY(bool canDismiss READ canDismiss WRITE setCanDismiss NOTIFY canDismissChanged)
    Q_PROPERTY(
        QString latestVersion READ latestVersion WRITE setLatestVersion NOTIFY latestVersionChanged)
    Q_PROPERTY(
        QString releaseNotes READ releaseNotes WRITE setReleaseNotes NOTIFY releaseNotesChanged)
    Q_PROPERTY(QString downloadUrl READ downloadUrl WRITE setDownloadUrl NOTIFY downloadUrlChanged)
    Q_PROPERTY(QString currentVersion READ currentVersion CONSTANT)
    // "Update Now" could not open the download page (a link that is not https, or no handler).
    Q_PROPERTY(bool downloadPageFailed READ downloadPageFailed NOTIFY downloadPageFailedChanged)

public:
    explicit UpdateController(castora::NetworkClient &client, QObject *parent = nullptr);

    // What opens a download page; QDesktopServices::openUrl unless a test says otherwise.
    using UrlOpener = std::function<bool(const QUrl &)>;
    void setUrlOpener(UrlOpener opener) { m_openUrl = std::move(opener); }

    bool updateAvailable() const { return m_updateAvailable; }
    bool isMandatory() const { return m_isMandatory; }
    bool canDismiss() const { return m_canDismiss; }
    QString latestVersion() const { return m_latestVersion; }
    QString releaseNotes() const { return m_releaseNotes; }
    QString downloadUrl() const { return m_downloadUrl; }
    QString currentVersion() const;
    bool downloadPageFailed() const { return m_downloadPageFailed; }

    void setUpdateAvailable(bool value);
    void setIsMandatory(bool value);
    void setCanDismiss(bool value);
    void setLatestVersion(const QString &value);
    void setReleaseNotes(const QString &value);
    void setDownloadUrl(const QString &value);

    Q_INVOKABLE void checkForUpdate();
    Q_INVOKABLE void dismissUpdate();
    Q_INVOKABLE void openDownloadPage();

public slots:
    void onCheckFinished(QNetworkReply *reply);

signals:
    void updateAvailableChanged();
    void isMandatoryChanged();
    void canDismissChanged();
    void latestVersionChanged();
    void releaseNotesChanged();
    void downloadUrlChanged();
    void downloadPageFailedChanged();

private:
    void evaluateMandatory(const QString &minimumVersion, int maxDismissals);
    void setDownloadPageFailed(bool value);

    castora::NetworkClient &m_client;
    bool m_updateAvailable = false;
    bool m_isMandatory = false;
    bool m_canDismiss = true;
    QString m_latestVersion;
    QString m_releaseNotes;
    QString m_downloadUrl;
    int m_dismissCount = 0;
    bool m_downloadPageFailed = false;
    UrlOpener m_openUrl;
};
