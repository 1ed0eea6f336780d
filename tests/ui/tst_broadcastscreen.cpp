// The broadcast screen of the real program against the stand-in backend, its chat server and
// a real icecast2, with a scripted microphone playing a tone: Start/Stop and the on-air clock,
// the subscription toast, the network bar, the device chooser, the edit-event dialog, chat
// between the panel and a listener, the chat socket's reconnection delays, and logging out
// while on air.
#include "ChatServer.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "SettingsStore.h"
#include "TestMain.h"
#include "UiProgram.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickStyle>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QWebSocket>

using namespace castora;
using castora::engine::AudioDevice;
using castora::test::IcecastServer;
using castora::test::ScriptedAudioInput;
using castora::test::UiProgram;

namespace {

const QString kGateMessage = QStringLiteral(
    "Your subscribtion has expired Or You don't have credits. Renew it and try again");

QString text(QQuickItem *item) {
    return item ? item->property("text").toString() : QStringLiteral("<missing>");
}

QColor backgroundOf(QQuickItem *control) {
    return control->property("background").value<QQuickItem *>()->property("color").value<QColor>();
}

// A listener in the channel's room, as the service's web page would connect.
struct Listener {
    QWebSocket socket;
    QStringList received;

    bool join(dev::DevServer &server, const QString &room) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &frame) { received.append(frame); });
        QUrl url(server.chat().url());
        url.setQuery(QStringLiteral("room=%1&token=%2")
                         .arg(room, server.chat().issueToken(QStringLiteral("listener"))));
        socket.open(url);
        return QTest::qWaitFor(
            [this] { return socket.state() == QAbstractSocket::ConnectedState; });
    }
};

} // namespace

class TestBroadcastScreen : public QObject {
    Q_OBJECT

    IcecastServer m_icecast;
    std::unique_ptr<UiProgram> m_program;

    UiProgram &program() { return *m_program; }

    // The demo account on the broadcast screen, its chat connected.
    bool startOnBroadcastScreen(UiProgram::Options options = {}) {
        options.icecastPort = m_icecast.port();
        UiProgram &p = program();
        if (!p.listen(options))
            return false;
        p.audio.setTone(440.0);
        // On screen, with the channel record and the (empty) chat history applied.
        return p.startSignedIn() && QTest::qWaitFor([&p] { return p.historyFetches > 0; });
    }

    QObject *chatSocket() {
        return program().currentScreen()->findChild<QObject *>(QStringLiteral("chatSocket"));
    }

    bool chatOpen() {
        return QTest::qWaitFor([this] { return chatSocket()->property("status").toInt() == 1; });
    }

    bool goOnAir() {
        UiProgram &p = program();
        p.click(QStringLiteral("startStopButton"));
        return QTest::qWaitFor([&p] { return p.stream->streaming() && !p.stream->jobInProgress(); },
                               15000);
    }

private slots:
    void initTestCase() {
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        engine::ignoreBrokenPipe();
        QVERIFY(m_icecast.start());
    }

    void init() {
        QTest::failOnWarning(QRegularExpression(QStringLiteral("qrc:/Castora_V2/")));
        settings::clearToken();
        m_program = std::make_unique<UiProgram>();
    }

    void cleanup() { m_program.reset(); }

    void startStop() {
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QQuickItem *button = p.onScreen(QStringLiteral("startStopButton"));
        QQuickItem *timer = p.onScreen(QStringLiteral("timerLabel"));

        // A lapsed subscription: the red toast says why, nothing starts.
        p.server.state().demoChannel().isActive = false;
        p.stream->fetchChannel();
        QTRY_VERIFY(!p.stream->subStatus());
        p.click(button);
        QTRY_COMPARE(p.read(QStringLiteral("requestToast"), "label")
                         .value<QObject *>()
                         ->property("text")
                         .toString(),
                     kGateMessage);
        QTRY_VERIFY(p.onScreen(QStringLiteral("requestToast"))->isVisible());
        QCOMPARE(p.read(QStringLiteral("requestToast"), "color").value<QColor>(),
                 QColor("#CC3333"));
        QVERIFY(!p.stream->streaming());
        p.server.state().demoChannel().isActive = true;
        p.stream->fetchChannel();
        QTRY_VERIFY(p.stream->subStatus());

        // While the start is under way only a grey spinner shows and clicks do nothing.
        struct {
            bool enabled = true, spinner = false, qualityEnabled = true;
            QColor colour;
        } busy;
        connect(p.stream.get(), &StreamController::isBusyChanged, button, [&] {
            if (!p.stream->isBusy())
                return;
            busy = {button->isEnabled(),
                    p.onScreen(QStringLiteral("startStopSpinner"))->isVisible(),
                    p.onScreen(QStringLiteral("qualityBox"))->isEnabled(), backgroundOf(button)};
        });
        for (int round = 0; round < 2; ++round) {
            QVERIFY(goOnAir());
            QVERIFY(!busy.enabled && busy.spinner && !busy.qualityEnabled);
            QCOMPARE(busy.colour, QColor("#666666"));
            QCOMPARE(text(button), QStringLiteral("Stop"));
            QCOMPARE(backgroundOf(button), QColor("#333333"));
            QCOMPARE(text(p.onScreen(QStringLiteral("onAirLabel"))), QStringLiteral("ON AIR"));
            QVERIFY(p.onScreen(QStringLiteral("liveBadge"))->isVisible());
            QCOMPARE(text(p.onScreen(QStringLiteral("listenerCount"))),
                     QStringLiteral("%1 listeners").arg(p.stream->listeners()));
            QVERIFY(!p.onScreen(QStringLiteral("deviceBox"))->isEnabled());
            // The clock counts from one second at every start.
            QTRY_COMPARE(text(timer), QStringLiteral("00:00:01"));
            QTRY_COMPARE(text(timer), QStringLiteral("00:00:02"));

            p.click(button);
            QTRY_VERIFY(!p.stream->streaming());
            QCOMPARE(text(timer), QStringLiteral("00:00:00"));
            QCOMPARE(text(button), QStringLiteral("Start"));
            QCOMPARE(backgroundOf(button), QColor("#CC3333"));
            QCOMPARE(text(p.onScreen(QStringLiteral("onAirLabel"))), QStringLiteral("OFF AIR"));
            QVERIFY(p.onScreen(QStringLiteral("qualityBox"))->isEnabled());
            QTRY_VERIFY(!p.stream->jobInProgress());
        }
        QTRY_COMPARE(p.server.state().demoChannel().streamStops, 2);
    }

    void networkBar_data() {
        QTest::addColumn<bool>("isError");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("symbol");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("connection lost")
            << true << QStringLiteral("Connection lost. Reconnecting...")
            << QStringLiteral("\u26A0") << QColor("#CC3333");
        QTest::newRow("connection restored") << false << QStringLiteral("Connection restored")
                                             << QStringLiteral("\u2713") << QColor("#4CAF50");
    }

    void networkBar() {
        QFETCH(bool, isError);
        QFETCH(QString, message);
        QFETCH(QString, symbol);
        QFETCH(QColor, colour);
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QQuickItem *bar = p.onScreen(QStringLiteral("networkBar"));
        QQuickItem *details = p.onScreen(QStringLiteral("streamDetails"));
        QCOMPARE(bar->height(), 0.0);
        QCOMPARE(details->height(), 224.0);

        p.stream->setNetworkBarIsError(isError);
        p.stream->setNetworkBarMessage(message);
        p.stream->setNetworkBarVisible(true);
        QTRY_COMPARE(bar->height(), 36.0);
        QCOMPARE(bar->property("color").value<QColor>(), colour);
        QCOMPARE(text(p.onScreen(QStringLiteral("networkBarMessage"))), message);
        QCOMPARE(text(p.onScreen(QStringLiteral("networkBarSymbol"))), symbol);
        // The details panel gives way; the control strip keeps its height.
        QCOMPARE(details->height(), 188.0);
        QCOMPARE(p.onScreen(QStringLiteral("controlStrip"))->height(), 380.0);

        p.stream->setNetworkBarVisible(false);
        QTRY_COMPARE(bar->height(), 0.0);
        QCOMPARE(details->height(), 224.0);
    }

    void deviceChooserShowsTheCurrentMicrophone() {
        UiProgram &p = program();
        p.audio.setDevices(
            {ScriptedAudioInput::device(0, QStringLiteral("Speakers"), {48000}, 0),
             ScriptedAudioInput::device(1, QStringLiteral("USB Podcast Microphone"), {44100}),
             ScriptedAudioInput::device(2, QStringLiteral("Desk Mic"), {44100}, 1, true)});
        QVERIFY(startOnBroadcastScreen());
        QQuickItem *chooser = p.onScreen(QStringLiteral("deviceBox"));
        // The default input is the second row; capture uses it and the chooser says so.
        QCOMPARE(chooser->property("currentIndex").toInt(), 1);
        QCOMPARE(text(p.onScreen(QStringLiteral("deviceText"))), QStringLiteral("Desk Mic"));

        p.click(chooser);
        QTest::keyClick(p.window, Qt::Key_Up);
        QTest::keyClick(p.window, Qt::Key_Return);
        QTRY_COMPARE(p.stream->currentMic()->micName(), QStringLiteral("USB Podcast Microphone"));
        QCOMPARE(chooser->property("currentIndex").toInt(), 0);
        QCOMPARE(text(p.onScreen(QStringLiteral("deviceText"))),
                 QStringLiteral("USB Podcast Micropho..."));
    }

    void editEvent_data() {
        QTest::addColumn<bool>("fails");
        QTest::newRow("saved") << false;
        QTest::newRow("refused") << true;
    }

    void editEvent() {
        QFETCH(bool, fails);
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QQuickItem *dialog = p.onScreen(QStringLiteral("editEventDialog"));
        QVERIFY(!dialog->isVisible());
        p.click(QStringLiteral("editEventButton"));
        QVERIFY(dialog->isVisible());
        QQuickItem *field = p.onScreen(QStringLiteral("eventNameField"));
        QCOMPARE(text(field), p.stream->streamTitle());

        const QString path = QStringLiteral("api/channel/update/stream-details");
        if (fails)
            p.server.failNext(1, 500, path);
        p.click(field);
        QTest::keySequence(p.window, QKeySequence::SelectAll);
        castora::test::typeText(p.window, QStringLiteral("Evening Jazz"));
        p.click(QStringLiteral("saveEventButton"));
        QTRY_COMPARE(p.server.requests(path).size(), 1);
        QTRY_VERIFY(!p.stream->isLoading());
        const QJsonObject sent =
            QJsonDocument::fromJson(p.server.requests(path).first().body).object();
        QCOMPARE(sent.value(QStringLiteral("stream_title")).toString(),
                 QStringLiteral("Evening Jazz"));

        QQuickItem *toast = p.onScreen(QStringLiteral("requestToast"));
        QTRY_VERIFY(toast->isVisible());
        QCOMPARE(toast->property("color").value<QColor>(),
                 fails ? QColor("#CC3333") : QColor("#2E7D32"));
        QCOMPARE(dialog->isVisible(), fails);
        if (fails) {
            QCOMPARE(text(field), QStringLiteral("Evening Jazz")); // the input is kept
        } else {
            QTRY_COMPARE(text(p.onScreen(QStringLiteral("titleLine"))),
                         QStringLiteral("Evening Jazz"));
        }
    }

    void chat() {
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QVERIFY(chatOpen());
        const QString slug = p.stream->ChannelSlug();
        Listener listener;
        QVERIFY(listener.join(p.server, slug));
        QTRY_COMPARE(p.server.chat().clientCount(slug), 2);

        // Two messages from the panel: both reach the listener and show on the right.
        QQuickItem *input = p.onScreen(QStringLiteral("messageInput"));
        for (const QString &message : {QStringLiteral("hello"), QStringLiteral("second")}) {
            p.type(input, message);
            p.click(QStringLiteral("sendButton"));
            QCOMPARE(text(input), QString());
        }
        QTRY_COMPARE(listener.received.size(), 2);
        QCOMPARE(
            QJsonDocument::fromJson(listener.received.at(0).toUtf8()).object(),
            (QJsonObject{{QStringLiteral("name"), slug}, {QStringLiteral("message"), "hello"}}));
        QCOMPARE(p.server.chat().history(slug).size(), 2);

        // White space alone is neither shown nor sent, and stays in the input.
        p.type(input, QStringLiteral("   "));
        p.click(QStringLiteral("sendButton"));
        QCOMPARE(text(input), QStringLiteral("   "));
        QCOMPARE(p.chat->rowCount(), 2);

        // The listener's message arrives over the socket and shows on the left.
        listener.socket.sendTextMessage(
            QStringLiteral(R"({"name":"listener","room":"%1","type":"join","message":"hi there"})")
                .arg(slug));
        QTRY_COMPARE(p.chat->rowCount(), 3);
        // The list lays its rows out at the next polish.
        QList<QQuickItem *> bubbles;
        QTRY_COMPARE(
            (bubbles = castora::test::findItems(p.currentScreen(), QStringLiteral("bubble")))
                .size(),
            3);
        QQuickItem *list = p.onScreen(QStringLiteral("messageList"));
        const auto onRight = [list](QQuickItem *bubble) {
            return qFuzzyCompare(bubble->mapToItem(list, QPointF(bubble->width(), 0)).x(),
                                 list->width());
        };
        QVERIFY(onRight(bubbles.at(0)) && onRight(bubbles.at(1)) && !onRight(bubbles.at(2)));
        QCOMPARE(bubbles.at(2)->property("color").value<QColor>(), QColor("#3A3A3A"));
        QCOMPARE(text(castora::test::findItem(bubbles.at(2), QStringLiteral("avatarLetter"))),
                 QStringLiteral("L"));

        // Emoji go in at the cursor, sequences whole.
        p.type(input, QStringLiteral("ab"));
        QTest::keyClick(p.window, Qt::Key_Left);
        p.click(QStringLiteral("emojiButton"));
        QQuickItem *grid = p.item(QStringLiteral("emojiGrid"));
        QTRY_VERIFY(grid && grid->isVisible());
        QMetaObject::invokeMethod(grid, "positionViewAtIndex", Q_ARG(int, 125), Q_ARG(int, 0));
        QQuickItem *sequence = nullptr;
        QTRY_VERIFY((sequence = [&]() -> QQuickItem * {
            for (QQuickItem *cell : castora::test::findItems(grid, QStringLiteral("emojiCell")))
                if (text(cell) == QStringLiteral("\u2764\uFE0F\u200D\U0001F525"))
                    return cell;
            return nullptr;
        }()));
        p.click(sequence);
        QCOMPARE(text(input), QStringLiteral("   a\u2764\uFE0F\u200D\U0001F525b"));
        QVERIFY(input->hasActiveFocus());
    }

    void chatReconnectsWithGrowingDelays() {
        UiProgram::Options options;
        options.chatServer = false;
        QVERIFY(startOnBroadcastScreen(options));
        UiProgram &p = program();
        QObject *retry =
            p.currentScreen()->findChild<QObject *>(QStringLiteral("chatReconnectTimer"));
        QObject *socket = chatSocket();
        // The delay of every scheduled attempt, read as the timer starts.
        QSignalSpy started(retry, SIGNAL(runningChanged()));
        QList<int> delays;
        if (retry->property("running").toBool()) // the first attempt failed already
            delays.append(retry->property("interval").toInt());
        while (delays.size() < 3 && started.wait(10000)) {
            if (retry->property("running").toBool())
                delays.append(retry->property("interval").toInt());
        }
        QCOMPARE(delays, (QList<int>{1000, 2000, 4000}));

        // The server comes up: the next attempt connects and the count starts over.
        QCOMPARE(p.server.listenChat(p.chatPort), p.chatPort);
        QTRY_COMPARE_WITH_TIMEOUT(socket->property("status").toInt(), 1, 20000);
        QCOMPARE(socket->property("failures").toInt(), 0);
        QTRY_COMPARE(p.server.chat().clientCount(p.stream->ChannelSlug()), 1);
    }

    void logout_data() {
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<bool>("onAir");
        QTest::newRow("cancel") << false << false;
        QTest::newRow("off air") << true << false;
        QTest::newRow("on air: stopped first, then signed out") << true << true;
    }

    void logout() {
        QFETCH(bool, confirm);
        QFETCH(bool, onAir);
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        const QString token = settings::token();
        QVERIFY(p.server.state().isValidToken(token));
        if (onAir)
            QVERIFY(goOnAir());
        QQuickItem *dialog = p.onScreen(QStringLiteral("logoutDialog"));
        p.click(QStringLiteral("logoutButton"));
        QVERIFY(dialog->isVisible());
        if (!confirm) {
            p.click(QStringLiteral("logoutCancelButton"));
            QVERIFY(!dialog->isVisible());
            QVERIFY(p.auth->loggedIn());
            return;
        }
        p.click(QStringLiteral("logoutConfirmButton"));
        QTRY_COMPARE(p.depth(), 1);
        QVERIFY(!p.auth->loggedIn());
        QVERIFY(!p.stream->streaming());
        QTRY_COMPARE(p.server.requests(QStringLiteral("api/auth/logout")).size(), 1);
        QVERIFY(!p.server.state().isValidToken(token));
        if (!onAir)
            return;
        // The stop-stream notice went out before the sign-out, with the token still valid.
        QTRY_COMPARE(p.server.state().demoChannel().streamStops, 1);
        const QList<dev::RecordedRequest> all = p.server.requests();
        const auto position = [&all](const QString &path) {
            for (int i = 0; i < all.size(); ++i)
                if (all.at(i).path == path)
                    return i;
            return -1;
        };
        QVERIFY(position(QStringLiteral("api/channel/stop-stream")) <
                position(QStringLiteral("api/auth/logout")));
        QCOMPARE(all.at(position(QStringLiteral("api/channel/stop-stream"))).bearerToken(),
                 token.toUtf8());
        // The recording is complete and can be uploaded.
        QVERIFY(p.recordings->rowCount() >= 1); // the newest comes first
        const int id =
            p.recordings->data(p.recordings->index(0), RecordingController::IdRole).toInt();
        QVERIFY(!p.recordings->isRecording(id));
        QVERIFY(QFileInfo(p.recordings->data(p.recordings->index(0), RecordingController::PathRole)
                              .toString())
                    .size() > 0);
    }
};

CASTORA_GUI_TEST_MAIN(TestBroadcastScreen)
#include "tst_broadcastscreen.moc"
