#include "UpdateRules.h"

#include <QVersionNumber>

namespace castora::update {

bool isNewer(const QString &candidate, const QString &current) {
    return QVersionNumber::fromString(candidate) > QVersionNumber::fromString(current);
}

bool isMandatory(const QString &current, const QString &minimum, int dismissCount,
                 int maxDismissals) {
    return QVersionNumber::fromString(current) < QVersionNumber::fromString(minimum) ||
           dismissCount >= maxDismissals;
}

int maxDismissals(const QJsonValue &value) {
    return value.toInt(kDefaultMaxDismissals);
}

} // namespace castora::update
