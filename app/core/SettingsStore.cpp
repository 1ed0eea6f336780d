#include "SettingsStore.h"

#include <QSettings>

namespace castora::settings {

namespace {
const QString kAuth = QStringLiteral("auth");
const QString kDismissCount = QStringLiteral("update/dismissCount");
const QString kPendingVersion = QStringLiteral("update/pendingVersion");

QSettings store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Castora"),
                     QStringLiteral("mic"));
}
} // namespace

QString token() {
    return store().value(kAuth, QString()).toString();
}

void setToken(const QString &token) {
    store().setValue(kAuth, token);
}

void clearToken() {
    store().remove(kAuth);
}

int dismissCount() {
    return store().value(kDismissCount, 0).toInt();
}

void setDismissCount(int count) {
    store().setValue(kDismissCount, count);
}

QString pendingVersion() {
    return store().value(kPendingVersion, QString()).toString();
}

void setPendingVersion(const QString &version) {
    store().setValue(kPendingVersion, version);
}

} // namespace castora::settings
