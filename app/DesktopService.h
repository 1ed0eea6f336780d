#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

class AuthController;
class QDBusMessage;
class QQmlApplicationEngine;
class StreamController;

// The program on the user's session bus, as desktop programs meet there: its desktop id as
// the bus name, one object, and
//
//   org.freedesktop.Application   Activate(a{sv}), Open(as, a{sv}), ActivateAction(s, av, a{sv})
//                                 a second launch calls Activate: the running window is raised
//   org.castora.Castora.Broadcast Start() -> s, Stop() -> s: the screen's Start/Stop button,
//                                 answered once the press has an outcome (the state reached,
//                                 or the error Refused with the message the screen shows)
//                                 Status() -> a{sv}: the broadcast's state (status() below)
//
// so that one instance runs per session (not two broadcasters on the same settings and
// recordings) and scripts can drive it (castora --start, --stop, --status: CommandLine.h).
namespace castora::desktop {

QString busName();          // org.castora.Castora (the desktop id)
QString objectPath();       // /org/castora/Castora
QString controlInterface(); // org.castora.Castora.Broadcast
QString refusedError();     // org.castora.Castora.Error.Refused: the press was refused
QString noOutcomeError();   // org.castora.Castora.Error.NoOutcome: no outcome in time
inline constexpr char kApplicationInterface[] = "org.freedesktop.Application";

// How long a press may take to reach its outcome (a start's connection attempt, a stop's
// drain and the backend's answer), and how long the command line waits for the answer.
inline constexpr int kOutcomeWaitMs = 25000;
inline constexpr int kCallWaitMs = kOutcomeWaitMs + 10000;

// The session bus's address: DBUS_SESSION_BUS_ADDRESS when it is set (`fromEnvironment`),
// else the socket a desktop session keeps in the user's runtime folder, `runtimeDir`/bus, or
// `userRunDir`/bus when XDG_RUNTIME_DIR is not set either (a cron job has neither variable),
// as "unix:path=..."; empty when there is none.
QString sessionBusAddress(const QString &fromEnvironment, const QString &runtimeDir,
                          const QString &userRunDir);
// The same from this process's environment and /run/user/<uid>.
QString sessionBusAddress();
// A connection to it; not connected when there is no bus.
QDBusConnection connectSessionBus();

class DesktopService : public QObject {
    Q_OBJECT

public:
    enum class Claim {
        Claimed, // this process is the program of the session
        Taken,   // another instance holds the name
        NoBus,   // no session bus: the program runs without the check
    };

    explicit DesktopService(QObject *parent = nullptr);
    ~DesktopService() override;

    // Puts the object on the bus and asks for the name (never queued, never replaced).
    Claim claim();
    // Asks the instance that holds the name to raise its window; true when it answered.
    bool activateRunning();
    // From now on calls reach these; before, Start and Stop are refused.
    void serve(StreamController &stream, AuthController &auth, QQmlApplicationEngine &engine);
    // Gives the name up (the window has closed): a launch from now on starts anew, and a
    // press still waiting for its outcome is answered NoOutcome.
    void release();

    // The calls of the adaptors.
    void activate(const QVariantMap &platformData);
    void press(bool onAir, const QDBusMessage &call);
    void replyUnknownAction(const QDBusMessage &call, const QString &name);
    // Status(): "signed_in" (b), "recording" (b), "live" (b), "since" (s, when the broadcast
    // started, ISO 8601 in UTC), "mount" (s), "listeners" (i), "recording_path" (s, the file
    // being written). A string is empty where there is none (off air, no channel).
    QVariantMap status() const;

private:
    QDBusConnection m_bus;
    bool m_claimed = false;
    QPointer<StreamController> m_stream;
    QPointer<AuthController> m_auth;
    QPointer<QQmlApplicationEngine> m_engine;
    QList<QPointer<QObject>> m_presses; // waiting for their outcome
};

} // namespace castora::desktop
