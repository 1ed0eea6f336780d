#pragma once

#include "DevServer.h"
#include "LocalServices.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QRectF>

#include <functional>
#include <memory>

// The whole program as a user meets it: the real binary on an X display of its own, pointed
// at the README's local stack, clicked and typed at through the X server (xdotool, XTEST), and
// read back through its inspection socket (app/ScreenReadout.h).
namespace castora::test {

// A session bus of its own (dbus-daemon), as a desktop session has one: programs launched with
// environment() meet there, and never on the machine's own session bus.
class SessionBus {
public:
    ~SessionBus();
    bool start();
    // DBUS_SESSION_BUS_ADDRESS.
    QProcessEnvironment environment() const;

private:
    QProcess m_daemon;
    QString m_address;
};

// The local stack: icecast2, a virtual microphone playing a 440 Hz tone, the stand-in backend
// with its chat server, all on free ports, and a session bus.
struct LocalStack {
    SessionBus bus;
    IcecastServer icecast;
    VirtualMicrophone microphone;
    std::unique_ptr<dev::DevServer> backend; // made by start(), once icecast2's port is known

    bool start();
    // The program's addresses (CASTORA_*) and sound server.
    QProcessEnvironment environment() const;
};

// Xvfb on the first free display.
class VirtualDisplay {
public:
    ~VirtualDisplay();
    bool start();
    QString name() const { return m_name; } // ":<n>"
    // Killed, as when the X server crashes or the session ends under the program.
    void kill();

private:
    QProcess m_server;
    QString m_name;
};

// A session bus of its own with the accessibility bus on it (at-spi-bus-launcher),
// through which a screen reader would meet the program: a program launched with environment()
// exposes its accessibility tree there (QT_LINUX_ACCESSIBILITY_ALWAYS_ON).
class AccessibilityBus {
public:
    ~AccessibilityBus();
    bool start();
    // The variables that lead a program there.
    QProcessEnvironment environment() const;

    // What tests/e2e/atspi-tree.py reads of the application: every object shown on screen, one
    // JSON object each (role, name, description, states).
    QList<QJsonObject> tree();
    // Starts reading the application's name changes and showing/hiding (atspi-tree.py
    // --events); events() returns those received so far.
    bool listen(int seconds);
    QList<QJsonObject> events();

private:
    QProcessEnvironment toolEnvironment() const; // this process's own, with environment()
    QList<QJsonObject> run(QProcess &process);

    SessionBus m_bus;
    QProcess m_launcher;
    QProcess m_listener;
};

// What the program shows of one item.
struct ScreenItem {
    bool visible = false;
    bool enabled = false;
    QRectF rect; // screen coordinates
    QVariantMap properties;

    QString text() const { return properties.value(QStringLiteral("text")).toString(); }
};

// One run of the program with a profile folder of its own (HOME and the XDG folders), which
// outlives the run so that a second run finds the first one's settings and recordings.
class ProgramDriver {
public:
    ProgramDriver(const LocalStack &stack, const VirtualDisplay &display, QString profileDir);
    ~ProgramDriver(); // kills a program still running

    // Starts the program (with `extra` in its environment); true once its window is up and the
    // inspection socket answers.
    bool launch(const QProcessEnvironment &extra = {});
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    // SIGKILL, as a crash or a power cut would end it.
    void kill();
    // Closes the program the ordinary way (SIGTERM): its exit code, or -1 when it did not end
    // by itself within `graceMs` and was killed.
    int terminate(int graceMs = 20000);
    // Sends `signal` and goes on; waitForExit() then gives the exit code, or -1 when the
    // program did not end by itself within `ms` (it is killed then) or died of a signal.
    void signal(int signal);
    int waitForExit(int ms);
    // Standard output and error so far.
    QString log();
    // Another run of the program's binary beside this one, in the same session and profile
    // (a second launch, castora --status...), until it ends (at most `timeoutMs`).
    struct Run {
        int exitCode = -1; // -1: it crashed or did not end
        QString output;
        QString error;
    };
    Run run(const QStringList &arguments, int timeoutMs = 60000);
    // How often the program noted `event` (ScreenReadout.h: countForInspection).
    qint64 count(const QString &event);

    // Every item named `name`, in tree order, with the given properties.
    QList<ScreenItem> items(const QString &name,
                            const QStringList &properties = {QStringLiteral("text")});
    // The first visible item named `name` (that `matches`), or an invisible default.
    ScreenItem item(const QString &name, const QStringList &properties = {QStringLiteral("text")},
                    const std::function<bool(const ScreenItem &)> &matches = {});
    bool shows(const QString &name) { return item(name).visible; }
    QString text(const QString &name) { return item(name).text(); }

    // Waits until the screens have stopped moving (no stack transition under way).
    bool settled();
    // Real pointer and keyboard input through the X server (xdotool). Clicking by name waits for
    // the screens to settle first: an item caught in a transition is not where it ends up.
    bool click(const ScreenItem &target);
    bool click(const QString &name);
    // Key presses alone: `keys` in xdotool's names ("Tab", "space", "Return"); Tab until the
    // item named `name` has the keyboard focus (at most `presses` times); text typed as it is.
    bool key(const QString &keys);
    bool tabTo(const QString &name, int presses = 30);
    bool type(const QString &text);

    QString profileDir() const { return m_profile; }

private:
    QProcessEnvironment environment() const;
    bool xdotool(const QStringList &args);
    QJsonObject ask(const QJsonObject &request);

    const LocalStack &m_stack;
    const VirtualDisplay &m_display;
    QString m_profile;
    QProcessEnvironment m_extra;
    QProcess m_process;
    QLocalSocket m_socket;
};

} // namespace castora::test
