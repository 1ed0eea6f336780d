#include "Startup.h"

#include "AppLinks.h"
#include "AuthController.h"
#include "ChatController.h"
#include "ChatProtocol.h"
#include "NetworkClient.h"
#include "QmlRegistration.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "UpdateController.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>

namespace castora {

void prepareEngine(QQmlEngine &engine) {
    linkQmlModules();
    engine.addImportPath(QStringLiteral("qrc:/"));
}

int runApplication(int argc, char **argv) {
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "1");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Castora"));
    QCoreApplication::setOrganizationName(QStringLiteral("Castora"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(kAppVersion));
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    QQmlApplicationEngine engine;
    prepareEngine(engine);

    NetworkClient &client = NetworkClient::instance();
    qmlapi::provide(new AppLinks(client.config(), &app));
    qmlapi::provide(new AuthController(client, &app));
    qmlapi::provide(new ChatController(client.config(), &app));
    qmlapi::provide(new ChatProtocol(client.config().chatUrl, &app));
    qmlapi::provide(new RecordingController(client.config(), &app));
    qmlapi::provide(new UpdateController(client, &app));
    initDatabase();

    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreated, &app,
        [](QObject *object, const QUrl &url) {
            if (!object && url == kMainDocument)
                QCoreApplication::exit(-1);
        },
        Qt::QueuedConnection);
    engine.load(kMainDocument);
    return app.exec();
}

} // namespace castora
