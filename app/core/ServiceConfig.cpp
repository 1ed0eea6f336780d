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
    config.probeUrl = backend + QStringLiteral("/probe");
    config.websiteUrl = backend + QStringLiteral("/site");
    return config;
}

} // namespace castora
