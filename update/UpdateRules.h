#pragma once

#include <QJsonValue>
#include <QString>

// The rules that decide whether a reported version is an update and whether it may be put off.
namespace castora::update {

inline constexpr int kDefaultMaxDismissals = 3;

// Versions compare numerically segment by segment (1.0.0.0 is newer than 1.0.0); text that does
// not start with a number is the empty version, older than every other.
bool isNewer(const QString &candidate, const QString &current);

// Mandatory when the running version is below the minimum, or when this latest version has
// already been put off as often as allowed.
bool isMandatory(const QString &current, const QString &minimum, int dismissCount,
                 int maxDismissals);

// "max_dismissals": a JSON number with a whole value; anything else gives the default.
int maxDismissals(const QJsonValue &value);

} // namespace castora::update
