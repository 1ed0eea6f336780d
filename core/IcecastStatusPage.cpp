#include "IcecastStatusPage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace castora::icecast {

std::optional<MountStatus> mountStatus(const QByteArray &statusJson, const QString &mount) {
    const QJsonObject stats =
        QJsonDocument::fromJson(statusJson).object().value(QStringLiteral("icestats")).toObject();
    if (stats.isEmpty())
        return std::nullopt;
    MountStatus status;
    if (mount.isEmpty())
        return status;
    // No source: no "source" key; one source: an object; several: a list.
    const QJsonValue source = stats.value(QStringLiteral("source"));
    const QJsonArray sources = source.isArray()    ? source.toArray()
                               : source.isObject() ? QJsonArray{source}
                                                   : QJsonArray();
    const QString path = mount.startsWith(QLatin1Char('/')) ? mount : QLatin1Char('/') + mount;
    for (const QJsonValue &value : sources) {
        const QJsonObject object = value.toObject();
        if (QUrl(object.value(QStringLiteral("listenurl")).toString()).path() == path) {
            status.listed = true;
            status.listeners = object.value(QStringLiteral("listeners")).toInt();
            break;
        }
    }
    return status;
}

} // namespace castora::icecast
