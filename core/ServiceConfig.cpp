#include "ServiceConfig.h"

#include "castora_config.h"

#include <QtGlobal>

namespace castora {

namespace {

QString trimmedBase(QString url) {
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

QString fromEnvironment(const char *name, const QString &compiled) {
#if CASTORA_DEVELOPMENT
    const QString value = qEnvironmentVariable(name);
    if (!value.isEmpty())
        return value;
#else
    Q_UNUSED(name)
#endif
    return compiled;
}

} // namespace

QUrl ServiceConfig::endpoint(const QString &path) const {
    return QUrl(trimmedBase(backendUrl) + QLatin1Char('/') + path, QUrl::TolerantMode);
}

QUrl ServiceConfig::endpoint(const QString &prefix, const QString &segment) const {
    if (segment == QLatin1String(".") || segment == QLatin1String(".."))
        return QUrl();
    // Characters a path segment may hold as they are stay unencoded, so ordinary values (UUIDs,
    // slugs) give the same address as ever.
    const QByteArray encoded = QUrl::toPercentEncoding(segment, QByteArrayLiteral("!$&'()*+,;=:@"));
    return endpoint(prefix + QString::fromLatin1(encoded));
}

QUrl ServiceConfig::apiUrl(const QString &relative) const {
    return endpoint(QStringLiteral("api/") + relative);
}

bool ServiceConfig::allowsArtwork(const QUrl &url) const {
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
#if CASTORA_DEVELOPMENT
    const QUrl backend(backendUrl);
    return scheme == QLatin1String("http") && backend.scheme().toLower() == scheme &&
           url.host().compare(backend.host(), Qt::CaseInsensitive) == 0 &&
           url.port(80) == backend.port(80);
#else
    return false;
#endif
}

ServiceConfig ServiceConfig::fromBuild() {
    ServiceConfig config;
    config.backendUrl =
        trimmedBase(fromEnvironment("CASTORA_BACKEND_URL", QStringLiteral(CASTORA_BACKEND_URL)));
    config.chatUrl = fromEnvironment("CASTORA_CHAT_URL", QStringLiteral(CASTORA_CHAT_URL));
    config.icecastHost =
        fromEnvironment("CASTORA_ICECAST_HOST", QStringLiteral(CASTORA_ICECAST_HOST));
    bool ok = false;
    const uint port =
        fromEnvironment("CASTORA_ICECAST_PORT", QString::number(CASTORA_ICECAST_PORT)).toUInt(&ok);
    config.icecastPort =
        ok && port > 0 && port < 65536 ? quint16(port) : quint16(CASTORA_ICECAST_PORT);
    config.icecastUser =
        fromEnvironment("CASTORA_ICECAST_USER", QStringLiteral(CASTORA_ICECAST_USER));
    config.icecastPassword =
        fromEnvironment("CASTORA_ICECAST_PASSWORD", QStringLiteral(CASTORA_ICECAST_PASSWORD));
    const QString tls = fromEnvironment("CASTORA_ICECAST_TLS", QString()).toLower();
    config.icecastTls = tls.isEmpty() ? bool(CASTORA_ICECAST_TLS)
                                      : tls == QLatin1String("on") || tls == QLatin1String("1") ||
                                            tls == QLatin1String("true");
    config.probeUrl = fromEnvironment("CASTORA_PROBE_URL", QStringLiteral(CASTORA_PROBE_URL));
    config.websiteUrl =
        trimmedBase(fromEnvironment("CASTORA_WEBSITE_URL", QStringLiteral(CASTORA_WEBSITE_URL)));
    return config;
}

ServiceConfig ServiceConfig::local(quint16 backendPort, quint16 chatPort, quint16 icecastPort) {
    ServiceConfig config;
    const QString backend = QStringLiteral("http://127.0.0.1:%1").arg(backendPort);
    config.backendUrl = backend;
    config.chatUrl = QStringLiteral("ws://127.0.0.1:%1/chat").arg(chatPort);
    config.icecastHost = QStringLiteral("127.0.0.1");
    config.icecastPort = icecastPort;
    config.icecastUser = QStringLiteral(CASTORA_ICECAST_USER);
    config.icecastPassword = QStringLiteral(CASTORA_ICECAST_PASSWORD);
    config.probeUrl = backend + QStringLiteral("/probe");
    config.websiteUrl = backend + QStringLiteral("/site");
    return config;
}

} // namespace castora
