#include "AppLinks.h"

AppLinks::AppLinks(castora::ServiceConfig config, QObject *parent)
    : QObject(parent)
    , m_config(std::move(config)) {
}

QString AppLinks::page(const QString &path) const {
    return m_config.websiteUrl + QLatin1Char('/') + path;
}

QString AppLinks::support() const {
    return page(QStringLiteral("support"));
}

QString AppLinks::facebook() const {
    return QStringLiteral("https://www.facebook.com/castora.live");
}

QString AppLinks::linkedin() const {
    return QStringLiteral("https://www.linkedin.com/company/castora");
}
