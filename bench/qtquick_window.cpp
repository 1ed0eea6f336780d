// The baseline of castora-bench-window: what a Qt Quick program of the same Qt costs at the
// least, with the program's window size and style and nothing behind it. One 900 x 700 Window
// holding a Label and a Button in the "Fusion" style, loaded by QQmlApplicationEngine; the
// first frame is reported by the program's own start-up probe (CASTORA_STARTUP_PROBE).
#include "StartupProbe.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QQmlApplicationEngine engine;
    engine.loadData(QByteArrayLiteral("import QtQuick\n"
                                      "import QtQuick.Controls\n"
                                      "Window {\n"
                                      "    width: 900; height: 700; visible: true\n"
                                      "    title: \"Qt Quick baseline\"\n"
                                      "    Column {\n"
                                      "        anchors.centerIn: parent; spacing: 12\n"
                                      "        Label { text: \"Baseline\" }\n"
                                      "        Button { text: \"Start\" }\n"
                                      "    }\n"
                                      "}\n"));
    if (engine.rootObjects().isEmpty())
        return 1;
    castora::reportFirstFrame(engine);
    return app.exec();
}
