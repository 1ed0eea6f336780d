#pragma once

#include <QString>

// The per-user settings store (organisation "Castora", application "mic"). Every access opens
// a short-lived QSettings, so the store can be used from any thread, one object per use. It
// holds the sign-in token: every access leaves its file 0600 and its folder 0700.
namespace castora::settings {

QString token(); // "auth": the bearer token of the signed-in user, empty when none
void setToken(const QString &token);
void clearToken();

int dismissCount(); // "update/dismissCount"
void setDismissCount(int count);
QString pendingVersion(); // "update/pendingVersion"
void setPendingVersion(const QString &version);

bool voiceProcessing(); // "voice/processing": the broadcast screen's switch, off by default
void setVoiceProcessing(bool on);

} // namespace castora::settings
