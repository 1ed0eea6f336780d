#include "UiProgram.h"

#include "QmlRegistration.h"
#include "RecordingsDatabase.h"
#include "SettingsStore.h"
#include "Startup.h"

#include <QQuickStyle>
#include <QRegularExpression>
#include <QTcpServer>

namespace castora::test {

QQuickItem *findItem(QQuickItem *root, const QString &name) {
    const QList<QQuickItem *> found = findItems(root, name);
    return found.isEmpty() ? nullptr : found.first();
}

QList<QQuickItem *> findItems(QQuickItem *root, const QString &name) {
    QList<QQuickItem *> found;
    if (!root)
        return found;
    if (root->objectName() == name)
        found.append(root);
    const auto children = root->childItems();
    for (QQuickItem *child : children)
        found += findItems(child, name);
    return found;
}

QString textOf(QQuickItem *item) {
    return item ? item->property("text").toString() : QStringLiteral("<missing>");
}

void typeText(QWindow *window, const QString &text) {
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
}

UiProgram::~UiProgram() {
    engine.reset(); // the documents go before the controllers they bind to
    if (stream)
        stream->shutdown();
}

bool UiProgram::listen(Options options) {
    if (server.listen() == 0)
        return false;
    if (options.chatServer) {
        chatPort = server.listenChat();
    } else {
        // A port that was free a moment ago: connections to it are refused.
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost))
            return false;
        chatPort = probe.serverPort();
    }
    if (chatPort == 0)
        return false;
    client = std::make_unique<NetworkClient>(
        ServiceConfig::local(server.port(), chatPort, options.icecastPort));
    return true;
}

bool UiProgram::start() {
    const ServiceConfig &config = client->config();
    stream = std::make_unique<StreamController>(config, audio);
    links = std::make_unique<AppLinks>(config);
    auth = std::make_unique<AuthController>(*client);
    chat = std::make_unique<ChatController>(config);
    protocol = std::make_unique<ChatProtocol>(config.chatUrl);
    recordings = std::make_unique<RecordingController>(config);
    update = std::make_unique<UpdateController>(*client);
    connectControllers(*stream, *auth, *chat, *recordings);
    QObject::connect(chat.get(), &ChatController::historyFetched, chat.get(),
                     [this] { ++historyFetches; });
    const auto provide = [](const auto &...controllers) {
        (qmlapi::provide(controllers.get()), ...);
    };
    provide(stream, links, auth, chat, protocol, recordings, update);
    if (!openRecordingsDatabase(*recordings))
        return false;
    engine = std::make_unique<QQmlApplicationEngine>();
    prepareEngine(*engine);
    engine->load(kMainDocument);
    window = qobject_cast<QQuickWindow *>(engine->rootObjects().value(0));
    return window && QTest::qWaitForWindowExposed(window);
}

bool UiProgram::startSignedIn() {
    settings::setToken(server.state().issueToken(QString::fromLatin1(dev::DevState::kDemoEmail)));
    return start() && showsScreen(QStringLiteral("broadcastScreen"), 2);
}

bool UiProgram::showsScreen(const QString &name, int depth) const {
    return QTest::qWaitFor([&] {
        return this->depth() == depth && !stackView()->property("busy").toBool() &&
               currentScreen()->objectName() == name;
    });
}

void UiProgram::click(QQuickItem *target) const {
    QVERIFY2(target, "no such item");
    const QPointF centre(target->width() / 2, target->height() / 2);
    QTest::mouseClick(window, Qt::LeftButton, {}, target->mapToScene(centre).toPoint());
}

void UiProgram::type(QQuickItem *field, const QString &text) const {
    click(field);
    typeText(window, text);
}

void UiTestCase::initTestCase() {
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    // Pixels do not matter here; the software renderer works on every machine.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
}

void UiTestCase::init() {
    QTest::failOnWarning(QRegularExpression(QStringLiteral("qrc:/Castora_V2/")));
    settings::clearToken();
    m_program = std::make_unique<UiProgram>();
}

} // namespace castora::test
