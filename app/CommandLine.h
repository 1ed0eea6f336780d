#pragma once

class QCoreApplication;

// The program's command line. Without options it starts the program (or raises the window of
// the one already running in the session); --help and --version print and end; --start,
// --stop and --status talk to the running program over the session bus (DesktopService.h)
// and end with a status a scheduler (a systemd timer, cron) can act on.
namespace castora {

enum class Command { Run, Start, Stop, Status };

// The exit statuses of --start, --stop and --status.
enum CommandStatus {
    kCommandDone = 0,       // done: on air (or recording), stopped, status printed
    kCommandUsage = 1,      // a wrong command line
    kCommandNotRunning = 2, // no Castora runs in this session (or there is no session bus)
    kCommandRefused = 3,    // refused, with the message the window shows (no channel loaded,
                            // no microphone, a lapsed subscription, the server refused)
    kCommandNoAnswer = 4,   // no answer or no outcome in time
};

// Whether the command line asks for something that needs no window: --help, --version, or a
// command to the running program. Those are answered with a QCoreApplication, before any
// window, sound server or database is touched, and work without a display.
bool runsWithoutWindow(int argc, char **argv);

// Reads the options: --help and --version print and end the process with status 0; an
// unknown option, any other argument, or more than one command ends it with a message and
// status 1. Qt's own options (-platform, -qwindowgeometry...) are gone from the arguments of
// a QGuiApplication.
Command parseCommandLine(const QCoreApplication &app);

// Sends `command` to the program running in this session and prints its answer: --status the
// broadcast's state as one line of JSON on standard output, --start and --stop the state
// reached; a refusal or a failure goes to standard error. Returns a CommandStatus.
int sendCommand(Command command);

} // namespace castora
