#include "MicrophonePermission.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
#include <QPermissions>
#endif

namespace castora::microphone {

Permission status() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    switch (qApp->checkPermission(QMicrophonePermission{})) {
    case Qt::PermissionStatus::Undetermined:
        return Permission::Undetermined;
    case Qt::PermissionStatus::Granted:
        return Permission::Granted;
    case Qt::PermissionStatus::Denied:
        return Permission::Denied;
    }
    return Permission::Denied;
#else
    return Permission::Granted;
#endif
}

void request(QObject *context, std::function<void()> answered) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    qApp->requestPermission(QMicrophonePermission{}, context,
                            [answered = std::move(answered)](const QPermission &) { answered(); });
#else
    QMetaObject::invokeMethod(context, std::move(answered), Qt::QueuedConnection);
#endif
}

} // namespace castora::microphone
