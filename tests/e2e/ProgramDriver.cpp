#include "ProgramDriver.h"

#include "ChatServer.h"
#include "TestMain.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>

#ifndef CASTORA_PROGRAM
#error "CASTORA_PROGRAM must name the program binary"
#endif

namespace castora::test {

namespace {

// Starts a child that dies with the test process, even when that is killed on a time-out.
bool startChild(QProcess &process, const QString &program, const QStringList &args) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(program, args);
    return process.waitForStarted(10000);
}

void killChild(QProcess &process) {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

// ---- the stack ----

bool LocalStack::start() {
    if (!bus.start() || !icecast.start() || !microphone.start() || !microphone.playTone(440, 3600))
        return false;
    dev::DevServer::Options options;
    options.icecastStatusUrl = icecast.baseUrl() + QStringLiteral("/status-json.xsl");
    backend = std::make_unique<dev::DevServer>(options);
    return backend->listen() != 0 && backend->listenChat() != 0;
}

QProcessEnvironment LocalStack::environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(bus.environment());
    const QString base = backend->baseUrl();
    env.insert(QStringLiteral("CASTORA_BACKEND_URL"), base);
    env.insert(QStringLiteral("CASTORA_CHAT_URL"), backend->chat().url());
    env.insert(QStringLiteral("CASTORA_PROBE_URL"), base + QStringLiteral("/probe"));
    env.insert(QStringLiteral("CASTORA_WEBSITE_URL"), base + QStringLiteral("/site"));
    env.insert(QStringLiteral("CASTORA_ICECAST_HOST"), QStringLiteral("127.0.0.1"));
    env.insert(QStringLiteral("CASTORA_ICECAST_PORT"), QString::number(icecast.port()));
    env.insert(QStringLiteral("PULSE_SERVER"), microphone.pulseServer());
    return env;
}

// ---- the display ----

VirtualDisplay::~VirtualDisplay() {
    killChild(m_server);
}

bool VirtualDisplay::start() {
    // -displayfd: the server takes the first free display and writes its number there.
    if (!startChild(m_server, "Xvfb",
                    {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"}) ||
        !QTest::qWaitFor([this] { return m_server.canReadLine() || !m_server.isOpen(); }, 20000))
        return false;
    const QByteArray number = m_server.readLine().trimmed();
    m_name = ':' + QString::fromLatin1(number);
    return !number.isEmpty();
}

// ---- the session bus ----

SessionBus::~SessionBus() {
    killChild(m_daemon);
}

bool SessionBus::start() {
    if (!startChild(m_daemon, "dbus-daemon", {"--session", "--nofork", "--print-address=1"}) ||
        !QTest::qWaitFor([this] { return m_daemon.canReadLine() || !m_daemon.isOpen(); }, 20000))
        return false;
    m_address = QString::fromLatin1(m_daemon.readLine().trimmed());
    return !m_address.isEmpty();
}

QProcessEnvironment SessionBus::environment() const {
    QProcessEnvironment env;
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    return env;
}

void VirtualDisplay::kill() {
    killChild(m_server);
}

// ---- the accessibility bus ----

AccessibilityBus::~AccessibilityBus() {
    killChild(m_listener);
    killChild(m_launcher);
}

bool AccessibilityBus::start() {
    if (!m_bus.start())
        return false;
    m_launcher.setProcessEnvironment(toolEnvironment());
    return startChild(m_launcher, "/usr/libexec/at-spi-bus-launcher", {"--launch-immediately"});
}

QProcessEnvironment AccessibilityBus::environment() const {
    QProcessEnvironment env = m_bus.environment();
    env.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    return env;
}

QProcessEnvironment AccessibilityBus::toolEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(environment());
    return env;
}

QList<QJsonObject> AccessibilityBus::run(QProcess &process) {
    QList<QJsonObject> lines;
    while (process.canReadLine())
        lines.append(QJsonDocument::fromJson(process.readLine()).object());
    return lines;
}

QList<QJsonObject> AccessibilityBus::tree() {
    // The program registers with the accessibility bus a moment after its window shows.
    QList<QJsonObject> tree;
    (void)QTest::qWaitFor(
        [&] {
            QProcess walker;
            walker.setProcessEnvironment(toolEnvironment());
            walker.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            if (!startChild(walker, "/usr/bin/python3", {CASTORA_ATSPI_TREE, "Castora"}) ||
                !QTest::qWaitFor([&] { return walker.state() == QProcess::NotRunning; }, 60000))
                return true;
            tree = run(walker);
            return !tree.isEmpty() && !tree.first().contains(QStringLiteral("error"));
        },
        20000);
    return tree;
}

bool AccessibilityBus::listen(int seconds) {
    m_listener.setProcessEnvironment(toolEnvironment());
    m_listener.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    return startChild(m_listener, "/usr/bin/python3",
                      {CASTORA_ATSPI_TREE, "Castora", "--events", QString::number(seconds)}) &&
           QTest::qWaitFor([this] { return m_listener.canReadLine(); }, 20000);
}

QList<QJsonObject> AccessibilityBus::events() {
    m_listener.waitForReadyRead(0);
    return run(m_listener);
}

// ---- the program ----

ProgramDriver::ProgramDriver(const LocalStack &stack, const VirtualDisplay &display,
                             QString profileDir)
    : m_stack(stack)
    , m_display(display)
    , m_profile(std::move(profileDir)) {
}

ProgramDriver::~ProgramDriver() {
    if (QTest::currentTestFailed()) {
        const QStringList lines = log().split(QLatin1Char('\n'));
        if (!isRunning())
            qWarning() << "The program ended:" << m_process.exitStatus() << m_process.exitCode();
        qWarning().noquote() << "The program's last words:\n"
                             << lines.mid(qMax(0, lines.size() - 40)).join(QLatin1Char('\n'));
        // What the screen showed, beside the log in the kept profile.
        QProcess::execute(QStringLiteral("import"),
                          {"-display", m_display.name(), "-window", "root",
                           m_profile + QStringLiteral("/failure.png")});
    }
    kill();
}

QProcessEnvironment ProgramDriver::environment() const {
    const QString home = m_profile + QStringLiteral("/home");
    QProcessEnvironment env = m_stack.environment();
    for (const auto &[variable, folder] : {std::pair{"HOME", ""},
                                           {"XDG_CONFIG_HOME", "/.config"},
                                           {"XDG_DATA_HOME", "/.local/share"},
                                           {"XDG_CACHE_HOME", "/.cache"},
                                           {"XDG_STATE_HOME", "/.local/state"}}) {
        QDir().mkpath(home + QLatin1String(folder));
        env.insert(QString::fromLatin1(variable), home + QLatin1String(folder));
    }
    env.insert(QStringLiteral("DISPLAY"), m_display.name());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(m_extra);
    env.insert(QStringLiteral("CASTORA_INSPECT"), m_profile + QStringLiteral("/inspect.sock"));
    return env;
}

bool ProgramDriver::launch(const QProcessEnvironment &extra) {
    m_extra = extra;
    const QString socketPath = m_profile + QStringLiteral("/inspect.sock");
    m_socket.abort();
    m_process.setProcessEnvironment(environment());
    m_process.setStandardInputFile(QProcess::nullDevice());
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_profile + QStringLiteral("/program.log"), QIODevice::Append);
    if (!startChild(m_process, CASTORA_PROGRAM, {}))
        return false;
    const bool connected = QTest::qWaitFor(
        [&] {
            if (!isRunning())
                return true;
            m_socket.connectToServer(socketPath);
            return m_socket.waitForConnected(200);
        },
        30000);
    if (!connected || !isRunning()) {
        qWarning().noquote() << "The program did not come up:\n" << log();
        return false;
    }
    return QTest::qWaitFor([this] { return shows(QStringLiteral("stackView")); }, 20000);
}

void ProgramDriver::kill() {
    m_socket.abort();
    killChild(m_process);
}

int ProgramDriver::terminate(int graceMs) {
    signal(SIGTERM);
    return waitForExit(graceMs);
}

void ProgramDriver::signal(int signal) {
    if (isRunning())
        ::kill(pid_t(m_process.processId()), signal);
}

int ProgramDriver::waitForExit(int ms) {
    // With the event loop running: the in-process stand-in answers a program saying goodbye.
    m_socket.abort();
    if (!QTest::qWaitFor([this] { return !isRunning(); }, ms)) {
        killChild(m_process);
        return -1;
    }
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString ProgramDriver::log() {
    return QString::fromLocal8Bit(readFile(m_profile + QStringLiteral("/program.log")));
}

ProgramDriver::Run ProgramDriver::run(const QStringList &arguments, int timeoutMs) {
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setStandardInputFile(QProcess::nullDevice());
    Run run;
    // The event loop runs meanwhile: the in-process stand-in answers the running program.
    if (startChild(process, CASTORA_PROGRAM, arguments) &&
        QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs) &&
        process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    killChild(process);
    run.output = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.error = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

qint64 ProgramDriver::count(const QString &event) {
    return qint64(ask({{"count", event}}).value(event).toDouble(-1));
}

QJsonObject ProgramDriver::ask(const QJsonObject &request) {
    if (m_socket.state() != QLocalSocket::ConnectedState)
        return QJsonObject();
    m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    const auto closed = [this] { return m_socket.state() != QLocalSocket::ConnectedState; };
    if (!QTest::qWaitFor([&] { return m_socket.canReadLine() || closed(); }, 10000) ||
        !m_socket.canReadLine())
        return QJsonObject();
    return QJsonDocument::fromJson(m_socket.readLine()).object();
}

QList<ScreenItem> ProgramDriver::items(const QString &name, const QStringList &properties) {
    const QJsonObject reply =
        ask({{"name", name}, {"properties", QJsonArray::fromStringList(properties)}});
    QList<ScreenItem> found;
    for (const QJsonValue &value : reply.value(QStringLiteral("items")).toArray()) {
        const QVariantMap item = value.toObject().toVariantMap();
        found.append({item["visible"].toBool(), item["enabled"].toBool(),
                      QRectF(item["x"].toDouble(), item["y"].toDouble(), item["width"].toDouble(),
                             item["height"].toDouble()),
                      item["properties"].toMap()});
    }
    return found;
}

ScreenItem ProgramDriver::item(const QString &name, const QStringList &properties,
                               const std::function<bool(const ScreenItem &)> &matches) {
    for (const ScreenItem &candidate : items(name, properties)) {
        if (candidate.visible && (!matches || matches(candidate)))
            return candidate;
    }
    return ScreenItem();
}

bool ProgramDriver::xdotool(const QStringList &args) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_display.name());
    tool.setProcessEnvironment(env);
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(QStringLiteral("xdotool"), args);
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

bool ProgramDriver::settled() {
    return QTest::qWaitFor(
        [this] {
            const ScreenItem stack = item(QStringLiteral("stackView"), {QStringLiteral("busy")});
            return stack.visible && !stack.properties.value(QStringLiteral("busy")).toBool();
        },
        10000);
}

bool ProgramDriver::click(const QString &name) {
    return settled() && click(item(name));
}

bool ProgramDriver::click(const ScreenItem &target) {
    if (!target.visible || !target.enabled || target.rect.isEmpty())
        return false;
    const QPoint at = target.rect.center().toPoint();
    return xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
}

bool ProgramDriver::key(const QString &keys) {
    return xdotool(QStringList{"key", "--delay", "100"} + keys.split(QLatin1Char(' ')));
}

bool ProgramDriver::tabTo(const QString &name, int presses) {
    const QStringList properties{QStringLiteral("activeFocus")};
    const auto focused = [&] {
        return item(name, properties).properties.value(QStringLiteral("activeFocus")).toBool();
    };
    // The focus goes round the screen: an item passed over while the program was slow to take
    // a press is met again on the next round.
    for (int i = 0; i < presses; ++i) {
        if (focused())
            return true;
        if (!key(QStringLiteral("Tab")))
            return false;
        if (QTest::qWaitFor(focused, 500))
            return true;
    }
    return focused();
}

bool ProgramDriver::type(const QString &text) {
    return xdotool({"type", "--delay", "30", "--", text});
}

} // namespace castora::test
