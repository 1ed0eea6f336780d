#pragma once

#include "AppLinks.h"
#include "AuthController.h"
#include "ChatController.h"
#include "ChatProtocol.h"
#include "DevServer.h"
#include "NetworkClient.h"
#include "RecordingController.h"
#include "ScriptedAudioInput.h"
#include "StreamController.h"
#include "UpdateController.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <memory>

namespace castora::test {

QQuickItem *findItem(QQuickItem *root, const QString &name);
// Every item of that name below `root`, in tree order (list delegates, for instance).
QList<QQuickItem *> findItems(QQuickItem *root, const QString &name);

// The "text" property of `item`, "<missing>" without an item.
QString textOf(QQuickItem *item);

// Key presses for each (Latin-1) character of `text`, as typed on a keyboard.
void typeText(QWindow *window, const QString &text);

// The program as the user meets it: every controller on a stand-in backend (with its chat
// server), a scripted microphone, and the real main window document on an offscreen window.
struct UiProgram {
    struct Options {
        bool chatServer = true;  // false: the chat address leads to a port where nothing listens
        quint16 icecastPort = 0; // 0: no Icecast server (broadcasts cannot start)
    };

    dev::DevServer server;
    ScriptedAudioInput audio;
    quint16 chatPort = 0;
    std::unique_ptr<NetworkClient> client;
    std::unique_ptr<StreamController> stream;
    std::unique_ptr<AppLinks> links;
    std::unique_ptr<AuthController> auth;
    std::unique_ptr<ChatController> chat;
    std::unique_ptr<ChatProtocol> protocol;
    std::unique_ptr<RecordingController> recordings;
    std::unique_ptr<UpdateController> update;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;
    int historyFetches = 0; // chat histories applied

    ~UiProgram();

    // Listens; the state (accounts, channel, version) can be set up before start().
    bool listen(Options options);
    bool listen() { return listen(Options{}); }
    // Creates the controllers in the program's order, opens the recordings database and loads
    // the main window; true once the window shows.
    bool start();
    // Starts with a saved session of the demo account: the broadcast screen comes up by itself.
    bool startSignedIn();

    QQuickItem *item(const QString &name) const { return findItem(window->contentItem(), name); }
    QQuickItem *stackView() const { return item(QStringLiteral("stackView")); }
    int depth() const { return stackView()->property("depth").toInt(); }
    QQuickItem *currentScreen() const {
        return stackView()->property("currentItem").value<QQuickItem *>();
    }
    QQuickItem *onScreen(const QString &name) const { return findItem(currentScreen(), name); }
    // Waits until the stack has come to rest on screen `name` at that depth.
    bool showsScreen(const QString &name, int depth) const;
    QString text(const QString &name) const { return textOf(onScreen(name)); }

    void click(QQuickItem *target) const;
    void click(const QString &name) const { click(onScreen(name)); }
    // Clicks a text field and types into it.
    void type(QQuickItem *field, const QString &text) const;
};

// The common frame of the screen tests: Fusion style, the software renderer, no saved session,
// a fresh UiProgram per test function, and any warning from the documents fails the test.
class UiTestCase : public QObject {
    Q_OBJECT

protected:
    std::unique_ptr<UiProgram> m_program;
    UiProgram &program() { return *m_program; }

protected slots:
    void initTestCase();
    void init();
    void cleanup() { m_program.reset(); }
};

} // namespace castora::test
