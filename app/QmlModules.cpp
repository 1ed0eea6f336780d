#include "Startup.h"

#include <QtQml/qqmlextensionplugin.h>

// The QML modules are static plugins linked into the program.
Q_IMPORT_QML_PLUGIN(com_StreamControllerPlugin)
Q_IMPORT_QML_PLUGIN(Castora_V2Plugin)

namespace castora {
void linkQmlModules() {
}
} // namespace castora
