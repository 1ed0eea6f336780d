#include "DesktopService.h"

#include "AuthController.h"
#include "ScreenReadout.h"
#include "StreamController.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDebug>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include <cctype>
#include <functional>
#include <string_view>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

// The adaptors' Q_CLASSINFO needs the interface names as literals.
static_assert(std::string_view(CASTORA_APP_ID) == "org.castora.Castora",
              "the D-Bus names below follow the desktop id");

namespace castora::desktop {

QString busName() {
    return QStringLiteral(CASTORA_APP_ID);
}

QString objectPath() {
    return QLatin1Char('/') + busName().replace(QLatin1Char('.'), QLatin1Char('/'));
}

QString controlInterface() {
    return busName() + QStringLiteral(".Broadcast");
}

QString refusedError() {
    return busName() + QStringLiteral(".Error.Refused");
}

QString noOutcomeError() {
    return busName() + QStringLiteral(".Error.NoOutcome");
}

namespace {

bool isSocket(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// A value in a D-Bus address: bytes outside [-0-9A-Za-z_/.\*] as %hh.
QString escapeAddressValue(const QString &value) {
    QString escaped;
    for (const char byte : QFile::encodeName(value)) {
        const auto c = static_cast<unsigned char>(byte);
        if (std::isalnum(c) || std::string_view("-_/.\\*").find(byte) != std::string_view::npos)
            escaped += QLatin1Char(byte);
        else
            escaped += QStringLiteral("%%1").arg(c, 2, 16, QLatin1Char('0'));
    }
    return escaped;
}

} // namespace

QString sessionBusAddress(const QString &fromEnvironment, const QString &runtimeDir,
                          const QString &userRunDir) {
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    // A runtime folder of the process's own (a test, a private session) is never left for
    // the user's.
    const QString socket =
        (runtimeDir.isEmpty() ? userRunDir : runtimeDir) + QStringLiteral("/bus");
    return isSocket(socket) ? QStringLiteral("unix:path=") + escapeAddressValue(socket) : QString();
}

QString sessionBusAddress() {
    return sessionBusAddress(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                             qEnvironmentVariable("XDG_RUNTIME_DIR"),
                             QStringLiteral("/run/user/%1").arg(::getuid()));
}

QDBusConnection connectSessionBus() {
    const QString name = QStringLiteral("castora-session");
    const QString address = sessionBusAddress();
    if (address.isEmpty())
        return QDBusConnection(name); // not connected
    return QDBusConnection::connectToBus(address, name);
}

namespace {

// One request to bring the broadcast on or off air through the screen's own button, finished
// once the press has an outcome: the state reached, or the message the screen shows for a
// refusal (no channel loaded, a lapsed subscription, no microphone, a server that refused).
// A start or stop already under way (from the screen) is waited for first.
class Press : public QObject {
public:
    enum class Outcome { Reached, Refused, NoOutcome };
    using Done = std::function<void(Outcome, const QString &message)>;

    Press(StreamController &stream, bool onAir, Done done, QObject *parent)
        : QObject(parent)
        , m_stream(stream)
        , m_onAir(onAir)
        , m_done(std::move(done)) {
        connect(&stream, &StreamController::requestCompleted, this,
                [this](const QString &message, bool error) {
                    if (m_pressed && error)
                        m_refusal = message;
                    lookLater();
                });
        connect(&stream, &StreamController::streamingChanged, this, &Press::lookLater);
        connect(&stream, &StreamController::isBusyChanged, this, &Press::lookLater);
        QTimer::singleShot(kOutcomeWaitMs, this, [this] {
            finish(Outcome::NoOutcome, QStringLiteral("The broadcast did not reach a state in "
                                                      "time; see the program's window."));
        });
        lookLater();
    }

    // The program is closing: the caller hears so now.
    void abandon() { finish(Outcome::NoOutcome, QStringLiteral("Castora is closing.")); }

private:
    // After the whole of a job's outcome is applied (its signals come one by one).
    void lookLater() { QMetaObject::invokeMethod(this, &Press::look, Qt::QueuedConnection); }

    void look() {
        if (!m_done || m_stream.jobInProgress())
            return;
        if (m_stream.streaming() == m_onAir) {
            const bool live = m_stream.live();
            finish(Outcome::Reached, !m_onAir ? QStringLiteral("Stopped.")
                                     : live   ? QStringLiteral("On air.")
                                              : QStringLiteral("Recording; not on air yet."));
        } else if (m_pressed) {
            finish(Outcome::Refused, m_refusal.isEmpty()
                                         ? QStringLiteral("The broadcast did not start.")
                                         : m_refusal);
        } else {
            m_pressed = true;
            m_stream.startStop(); // a refusal is told at once, the outcome of a job later
            lookLater();
        }
    }

    void finish(Outcome outcome, const QString &message) {
        if (const Done done = std::exchange(m_done, {})) {
            done(outcome, message);
            deleteLater();
        }
    }

    StreamController &m_stream;
    const bool m_onAir;
    Done m_done;
    bool m_pressed = false;
    QString m_refusal;
};

} // namespace

// The desktop's own interface: a second launch of the program activates the first.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    explicit ApplicationAdaptor(DesktopService *service)
        : QDBusAbstractAdaptor(service)
        , m_service(service) {}

public slots:
    void Activate(const QVariantMap &platformData) { m_service->activate(platformData); }
    // No file types are handled: the window comes to the front.
    void Open(const QStringList &uris, const QVariantMap &platformData) {
        Q_UNUSED(uris);
        m_service->activate(platformData);
    }
    // No actions are offered.
    void ActivateAction(const QString &name, const QVariantList &parameter,
                        const QVariantMap &platformData, const QDBusMessage &call) {
        Q_UNUSED(parameter);
        Q_UNUSED(platformData);
        m_service->replyUnknownAction(call, name);
    }

private:
    DesktopService *m_service;
};

// Scripts: the Start/Stop button and the broadcast's state.
class BroadcastAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.castora.Castora.Broadcast")

public:
    explicit BroadcastAdaptor(DesktopService *service)
        : QDBusAbstractAdaptor(service)
        , m_service(service) {}

public slots:
    // Answered later (the outcome of the press); the returned value is not sent.
    QString Start(const QDBusMessage &call) {
        m_service->press(true, call);
        return QString();
    }
    QString Stop(const QDBusMessage &call) {
        m_service->press(false, call);
        return QString();
    }
    QVariantMap Status() { return m_service->status(); }

private:
    DesktopService *m_service;
};

DesktopService::DesktopService(QObject *parent)
    : QObject(parent)
    , m_bus(connectSessionBus()) {
    new ApplicationAdaptor(this);
    new BroadcastAdaptor(this);
}

DesktopService::~DesktopService() {
    release();
}

DesktopService::Claim DesktopService::claim() {
    if (!m_bus.isConnected()) {
        qInfo() << "No session bus; running without the single-instance check";
        return Claim::NoBus;
    }
    if (!m_bus.registerObject(objectPath(), this, QDBusConnection::ExportAdaptors)) {
        qWarning() << "Could not put the desktop service on the session bus";
        return Claim::NoBus;
    }
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        m_bus.interface()->registerService(busName(), QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        qWarning() << "Could not take the name on the session bus:" << reply.error().message();
        m_bus.unregisterObject(objectPath());
        return Claim::NoBus;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        m_bus.unregisterObject(objectPath());
        return Claim::Taken;
    }
    m_claimed = true;
    return Claim::Claimed;
}

bool DesktopService::activateRunning() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        busName(), objectPath(), QLatin1String(kApplicationInterface), QStringLiteral("Activate"));
    call << QVariantMap();
    call.setAutoStartService(false);
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kCallWaitMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qWarning() << "Castora is running already but does not answer:" << reply.errorMessage();
        return false;
    }
    qInfo() << "Castora is running already: its window was brought to the front";
    return true;
}

void DesktopService::serve(StreamController &stream, AuthController &auth,
                           QQmlApplicationEngine &engine) {
    m_stream = &stream;
    m_auth = &auth;
    m_engine = &engine;
}

void DesktopService::release() {
    for (const QPointer<QObject> &press : std::exchange(m_presses, {})) {
        if (press)
            static_cast<Press *>(press.data())->abandon();
    }
    if (!std::exchange(m_claimed, false))
        return;
    m_bus.interface()->unregisterService(busName());
    m_bus.unregisterObject(objectPath());
}

void DesktopService::activate(const QVariantMap &platformData) {
    Q_UNUSED(platformData);
    qInfo() << "Another launch of Castora: raising the window";
    countForInspection("activations");
    if (!m_engine)
        return; // still starting: the window shows by itself
    const QList<QObject *> roots = m_engine->rootObjects();
    for (QObject *root : roots) {
        if (auto *window = qobject_cast<QQuickWindow *>(root)) {
            window->setWindowStates(window->windowStates() & ~Qt::WindowMinimized);
            window->show();
            window->raise();
            window->requestActivate();
        }
    }
}

void DesktopService::replyUnknownAction(const QDBusMessage &call, const QString &name) {
    call.setDelayedReply(true);
    m_bus.send(call.createErrorReply(QDBusError::NotSupported,
                                     QStringLiteral("No action named '%1'").arg(name)));
}

void DesktopService::press(bool onAir, const QDBusMessage &call) {
    call.setDelayedReply(true);
    qInfo() << (onAir ? "Start" : "Stop") << "asked on the session bus";
    if (!m_stream) {
        m_bus.send(call.createErrorReply(
            refusedError(), QStringLiteral("Castora is still starting; try again in a moment.")));
        return;
    }
    m_presses.removeAll(nullptr);
    m_presses.append(new Press(
        *m_stream, onAir,
        [this, call](Press::Outcome outcome, const QString &message) {
            qInfo() << "Answered on the session bus:" << message;
            switch (outcome) {
            case Press::Outcome::Reached:
                m_bus.send(call.createReply(message));
                break;
            case Press::Outcome::Refused:
                m_bus.send(call.createErrorReply(refusedError(), message));
                break;
            case Press::Outcome::NoOutcome:
                m_bus.send(call.createErrorReply(noOutcomeError(), message));
                break;
            }
        },
        this));
}

QVariantMap DesktopService::status() const {
    const QDateTime since = m_stream ? m_stream->broadcastStart() : QDateTime();
    return {
        {QStringLiteral("signed_in"), m_auth && m_auth->loggedIn()},
        {QStringLiteral("recording"), m_stream && m_stream->streaming()},
        {QStringLiteral("live"), m_stream && m_stream->live()},
        {QStringLiteral("since"),
         since.isValid() ? since.toUTC().toString(Qt::ISODate) : QString()},
        {QStringLiteral("mount"), m_stream ? m_stream->mountPoint() : QString()},
        {QStringLiteral("listeners"), m_stream ? m_stream->listeners() : 0},
        {QStringLiteral("recording_path"), m_stream ? m_stream->recordingPath() : QString()},
    };
}

} // namespace castora::desktop

#include "DesktopService.moc"
