#pragma once

#include <QUrl>

class QQmlEngine;

namespace castora {

// The main window document.
inline const QUrl kMainDocument{QStringLiteral("qrc:/Castora_V2/Main.qml")};

// Pulls the statically linked QML modules into a binary that uses them.
void linkQmlModules();

// Adds the import paths under which the compiled-in modules are found.
void prepareEngine(QQmlEngine &engine);

// The program: environment, application object, controllers, database, main window, event loop.
int runApplication(int argc, char **argv);

} // namespace castora
