#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace castora::dev {

// A bearer token shaped like the service's ("<serial>|<random>"): the "|" has to survive the
// trip through headers and the chat room address.
QString serviceToken(qsizetype serial);

// A broadcaster's channel as the service keeps it.
struct Channel {
    int id = 0;
    QString name;
    QString slug;
    QString streamTitle;
    // Artwork: an absolute URL, or a path below the stand-in's public address ("artwork/...")
    // for the images it keeps itself.
    QString channelArt;
    QString streamArt;
    int credits = 0;
    bool isActive = true;
    bool isSubscriber = true;
    QString mountPoint; // a UUID, the Icecast mount without the leading "/"

    // What the service saw of its broadcasts.
    int streamStarts = 0;
    int streamStops = 0;
    int usageReports = 0;
    bool onAir = false;
    QDateTime onAirSince;
    qint64 secondsOnAir = 0;
    // On-air time paid for with credits (one credit a minute), up to `chargedUntil`.
    qint64 secondsCharged = 0;
    QDateTime chargedUntil;
    int creditsUsed = 0;

    // The "data"[0] element of the channel record; artwork paths of the stand-in's own become
    // addresses below `publicUrl`.
    QJsonObject toJson(const QString &publicUrl = QString()) const;
    // Charges the on-air time since the last charge. A channel without a subscription that
    // runs out of credits may not go on air again ("is_active" false).
    void charge(const QDateTime &now);
};

struct Account {
    QString email;
    QString password;
    bool channelCreated = true;
    int channelId = 0;
};

// Everything the stand-in remembers: accounts, issued tokens, channels, the latest version.
class DevState {
public:
    static constexpr const char *kDemoEmail = "demo@castora.local";
    static constexpr const char *kDemoPassword = "castora";

    DevState();

    // Signs in; returns a new token, or an empty string for unknown credentials.
    QString login(const QString &email, const QString &password);
    bool logout(const QString &token);
    bool isValidToken(const QString &token) const { return m_tokens.contains(token); }
    // A token for `email` without going through the sign-in endpoint (tests).
    QString issueToken(const QString &email);

    Account *accountForToken(const QString &token);
    Channel *channelForToken(const QString &token);
    Channel *channelById(int id);
    Channel *channelBySlug(const QString &slug);
    Channel *channelByMount(const QString &mount);
    Channel &demoChannel();

    Account &addAccount(const QString &email, const QString &password, bool channelCreated = true);

    QJsonObject versionInfo;

private:
    QList<Account> m_accounts;
    QList<Channel> m_channels;
    QHash<QString, QString> m_tokens; // token -> e-mail
};

} // namespace castora::dev
