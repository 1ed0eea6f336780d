#include "DevState.h"

#include <QJsonValue>
#include <QRandomGenerator>
#include <QUuid>

#include <algorithm>

namespace castora::dev {

namespace {
QString address(const QString &art, const QString &publicUrl) {
    if (art.isEmpty() || publicUrl.isEmpty() || art.contains(QLatin1String("://")))
        return art;
    return publicUrl + QLatin1Char('/') + art;
}
} // namespace

QJsonObject Channel::toJson(const QString &publicUrl) const {
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("slug"), slug},
        {QStringLiteral("stream_title"), streamTitle},
        {QStringLiteral("credits"), credits},
        {QStringLiteral("uuid"), mountPoint},
        {QStringLiteral("channel_art"), address(channelArt, publicUrl)},
        {QStringLiteral("stream_art"), address(streamArt, publicUrl)},
        {QStringLiteral("is_active"), isActive},
        {QStringLiteral("is_subscriber"), isSubscriber},
    };
}

void Channel::charge(const QDateTime &now) {
    if (!onAir)
        return;
    const QDateTime from =
        chargedUntil.isValid() && chargedUntil > onAirSince ? chargedUntil : onAirSince;
    secondsCharged += std::max<qint64>(0, from.secsTo(now));
    chargedUntil = now;
    const int due = int(secondsCharged / 60) - creditsUsed;
    creditsUsed += due;
    credits = std::max(0, credits - due);
    if (credits == 0 && !isSubscriber)
        isActive = false;
}

DevState::DevState() {
    versionInfo = QJsonObject{
        {QStringLiteral("latest_version"), QStringLiteral("1.0.0")},
        {QStringLiteral("minimum_version"), QStringLiteral("1.0.0")},
        {QStringLiteral("download_url_windows"),
         QStringLiteral("https://castora.example/download/windows")},
        {QStringLiteral("download_url_macos"),
         QStringLiteral("https://castora.example/download/macos")},
        {QStringLiteral("release_notes"), QString()},
        {QStringLiteral("max_dismissals"), 3},
    };
    Account &demo = addAccount(QString::fromLatin1(kDemoEmail), QString::fromLatin1(kDemoPassword));
    Channel *channel = channelById(demo.channelId);
    channel->name = QStringLiteral("Castora Demo");
    channel->slug = QStringLiteral("castora-demo");
    channel->streamTitle = QStringLiteral("Morning Show");
    channel->credits = 120;
}

Account &DevState::addAccount(const QString &email, const QString &password, bool channelCreated) {
    Channel channel;
    channel.id = m_channels.size() + 1;
    const QString local = email.section(QLatin1Char('@'), 0, 0);
    channel.name = local;
    channel.slug = local.toLower() + QLatin1Char('-') + QString::number(channel.id);
    channel.mountPoint = QUuid::createUuid().toString(QUuid::WithoutBraces);
    channel.channelArt = QStringLiteral("artwork/channel-%1.png").arg(channel.id);
    m_channels.append(channel);

    Account account;
    account.email = email;
    account.password = password;
    account.channelCreated = channelCreated;
    account.channelId = channel.id;
    m_accounts.append(account);
    return m_accounts.last();
}

QString serviceToken(qsizetype serial) {
    QByteArray raw(24, Qt::Uninitialized);
    for (char &c : raw)
        c = char(QRandomGenerator::global()->bounded(256));
    return QString::number(serial) + QLatin1Char('|') +
           QString::fromLatin1(
               raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString DevState::issueToken(const QString &email) {
    const QString token = serviceToken(m_tokens.size() + 1);
    m_tokens.insert(token, email);
    return token;
}

QString DevState::login(const QString &email, const QString &password) {
    for (const Account &account : std::as_const(m_accounts)) {
        if (account.email.compare(email, Qt::CaseInsensitive) == 0 && account.password == password)
            return issueToken(account.email);
    }
    return QString();
}

bool DevState::logout(const QString &token) {
    return m_tokens.remove(token) > 0;
}

Account *DevState::accountForToken(const QString &token) {
    const auto it = m_tokens.constFind(token);
    if (it == m_tokens.constEnd())
        return nullptr;
    for (Account &account : m_accounts) {
        if (account.email == it.value())
            return &account;
    }
    return nullptr;
}

Channel *DevState::channelForToken(const QString &token) {
    Account *account = accountForToken(token);
    return account ? channelById(account->channelId) : nullptr;
}

Channel *DevState::channelById(int id) {
    for (Channel &channel : m_channels) {
        if (channel.id == id)
            return &channel;
    }
    return nullptr;
}

Channel *DevState::channelBySlug(const QString &slug) {
    for (Channel &channel : m_channels) {
        if (channel.slug == slug)
            return &channel;
    }
    return nullptr;
}

Channel *DevState::channelByMount(const QString &mount) {
    for (Channel &channel : m_channels) {
        if (channel.mountPoint == mount)
            return &channel;
    }
    return nullptr;
}

Channel &DevState::demoChannel() {
    return m_channels.first();
}

} // namespace castora::dev
