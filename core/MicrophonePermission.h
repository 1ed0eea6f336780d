#pragma once

#include <QObject>

#include <functional>

namespace castora {

// Access to the microphone. Qt 6.5 brings QMicrophonePermission; with older Qt (and on
// desktop Linux, where capture is not permission-gated) access counts as granted.
namespace microphone {

enum class Permission { Undetermined, Granted, Denied };

Permission status();
// Asks the user; `answered` runs on `context`'s thread once they have answered.
void request(QObject *context, std::function<void()> answered);

} // namespace microphone
} // namespace castora
