#include "QmlRegistration.h"

#include <QJSEngine>

namespace castora::qmlapi {

QObject *lend(QObject *object, QJSEngine *engine) {
    Q_UNUSED(engine)
    if (!object)
        qFatal("A controller was used by the UI before the program created it");
    QJSEngine::setObjectOwnership(object, QJSEngine::CppOwnership);
    return object;
}

} // namespace castora::qmlapi
