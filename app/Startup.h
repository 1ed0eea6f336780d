#pragma once

#include <QUrl>

#include <functional>

class QObject;
class QQmlApplicationEngine;
class QQmlEngine;
class AuthController;
class ChatController;
class RecordingController;
class StreamController;

namespace castora {

// The main window document.
inline const QUrl kMainDocument{QStringLiteral("qrc:/Castora_V2/Main.qml")};

// Pulls the statically linked QML modules into a binary that uses them.
void linkQmlModules();

// Adds the import paths under which the compiled-in modules are found.
void prepareEngine(QQmlEngine &engine);

// Joins the controllers as the program runs them: a broadcast's recording is listed from its
// start and can be uploaded once it is closed; a sign-out resets every controller that holds
// something of the account (channel record, chat, uploads).
void connectControllers(StreamController &stream, AuthController &auth, ChatController &chat,
                        RecordingController &recordings);

// Runs `work` once on the thread of `context` after the first frame of the engine's window
// has been shown, or after kFirstFrameWaitMs when none comes (a window never shown).
constexpr int kFirstFrameWaitMs = 500;
void afterFirstFrame(const QQmlApplicationEngine &engine, QObject *context,
                     const std::function<void()> &work);

// Opens the recordings database at start-up; when it had to be started anew, the recordings of
// the recordings folder are listed again and `recordings` gets the notice for the user.
bool openRecordingsDatabase(RecordingController &recordings);

// The program: environment, application object, controllers, database, main window, event loop.
int runApplication(int argc, char **argv);

} // namespace castora
