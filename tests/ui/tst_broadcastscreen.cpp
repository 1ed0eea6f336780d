// The broadcast screen of the real program against the stand-in backend, its chat server and
// a real icecast2, with a scripted microphone playing a tone: Start/Stop and the on-air clock,
// the network bar, the input check (level dots, clip indicator, the words for no input, the
// device chooser, the voice processing switch) and the dead-air and lost-microphone warnings, the
// edit-event dialog, chat between the panel and a listener (the list's bound: tst_chatcontroller),
// the chat socket's reconnection and moves (its time-outs and limits: tst_chatcontroller), backend
// and chat text shown as text, and logging out while on air.
#include "ChatProtocol.h"
#include "ChatServer.h"
#include "ChatSocket.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "SettingsStore.h"
#include "TestMain.h"
#include "UiProgram.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickItem>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QWebSocket>

#include <cmath>

using namespace castora;
using namespace Qt::StringLiterals;
using namespace castora::test;

namespace {

// The level dots lit on the microphone panel.
int litDots(const UiProgram &p) {
    return p.onScreen(u"levelDots"_s)->property("lit").toInt();
}

// The text items below `root` (popups and delegates included) whose text holds `fragment` as
// it is: each by its objectName (else its type), marked "(markup)" unless it is plain text.
QStringList shownBy(QQuickItem *root, const QString &fragment) {
    QStringList found;
    if ((root->inherits("QQuickText") || root->inherits("QQuickTextEdit")) &&
        textOf(root).contains(fragment)) {
        const QString type = QString::fromLatin1(root->metaObject()->className());
        found.append(
            (root->objectName().isEmpty() ? type.section(u"_QML"_s, 0, 0) : root->objectName()) +
            (root->property("textFormat").toInt() == Qt::PlainText ? u""_s : u" (markup)"_s));
    }
    const auto children = root->childItems();
    for (QQuickItem *child : children)
        found += shownBy(child, fragment);
    return found;
}

} // namespace

class TestBroadcastScreen : public castora::test::UiTestCase {
    Q_OBJECT

    IcecastServer m_icecast;
    QTemporaryDir m_files;

    // The demo account on the broadcast screen, its chat connected; the stand-in listens
    // already when the test set it up that far.
    bool startOnBroadcastScreen(UiProgram::Options options = {}) {
        UiProgram &p = program();
        options.icecastPort = m_icecast.port();
        if (!p.client && !p.listen(options))
            return false;
        // On screen, with the channel record and the (empty) chat history applied.
        return p.startSignedIn() && QTest::qWaitFor([&p] { return p.historyFetches > 0; });
    }

    // A picture the stand-in serves as artwork `name`: its address.
    QString artwork(const QString &name) {
        UiProgram &p = program();
        QDir().mkpath(p.server.dataDir() + u"/artwork"_s);
        QImage(8, 8, QImage::Format_RGB32).save(p.server.dataDir() + u"/artwork/"_s + name);
        return p.server.baseUrl() + u"/artwork/"_s + name;
    }

    bool goOnAir() {
        UiProgram &p = program();
        p.click(u"startStopButton"_s);
        return QTest::qWaitFor([&p] { return p.stream->live() && !p.stream->jobInProgress(); },
                               15000);
    }

private slots:
    void initTestCase() {
        UiTestCase::initTestCase();
        engine::ignoreBrokenPipe();
        QVERIFY(m_icecast.start());
    }

    void startStop() {
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QQuickItem *button = p.onScreen(u"startStopButton"_s);
        QQuickItem *timer = p.onScreen(u"timerLabel"_s);

        // While the start is under way only a grey spinner shows and clicks do nothing.
        struct {
            bool enabled = true, spinner = false, qualityEnabled = true, deviceEnabled = true;
        } busy;
        connect(p.stream.get(), &StreamController::isBusyChanged, button, [&] {
            if (!p.stream->isBusy())
                return;
            busy = {button->isEnabled(), p.onScreen(u"startStopSpinner"_s)->isVisible(),
                    p.onScreen(u"qualityBox"_s)->isEnabled(),
                    p.onScreen(u"deviceBox"_s)->isEnabled()};
        });
        for (int round = 0; round < 2; ++round) {
            QVERIFY(goOnAir());
            QVERIFY(!busy.enabled && busy.spinner && !busy.qualityEnabled && !busy.deviceEnabled);
            QCOMPARE(textOf(button), u"Stop"_s);
            QCOMPARE(p.text(u"onAirLabel"_s), u"ON AIR"_s);
            QVERIFY(p.onScreen(u"liveBadge"_s)->isVisible());
            QCOMPARE(p.text(u"listenerCount"_s), u"%1 listeners"_s.arg(p.stream->listeners()));
            // The clock counts from one second at every start.
            QTRY_COMPARE(textOf(timer), u"00:00:01"_s);
            QTRY_COMPARE(textOf(timer), u"00:00:02"_s);

            p.click(button);
            QTRY_VERIFY(!p.stream->streaming());
            QCOMPARE(textOf(timer), u"00:00:00"_s);
            QCOMPARE(textOf(button), u"Start"_s);
            QCOMPARE(p.text(u"onAirLabel"_s), u"OFF AIR"_s);
            QVERIFY(p.onScreen(u"qualityBox"_s)->isEnabled());
            QTRY_VERIFY(!p.stream->jobInProgress());
        }
        QTRY_COMPARE(p.server.state().demoChannel().streamStops, 2);

        // The network bar slides in over the details panel (the control strip keeps its
        // height), marked as an error for a lost connection and as good news once it is back,
        // and slides out again. A start while the streaming server cannot be reached records at
        // once and says so in the bar's place, with the time since the press, without the
        // on-air marks; it goes live by itself.
        QQuickItem *bar = p.onScreen(u"networkBar"_s);
        QQuickItem *details = p.onScreen(u"streamDetails"_s);
        const qreal strip = p.onScreen(u"controlStrip"_s)->height();
        const qreal detailsHeight = details->height();
        QCOMPARE(bar->height(), 0.0);
        p.stream->setNetworkBarIsError(true);
        p.stream->setNetworkBarMessage(u"Connection lost. Reconnecting..."_s);
        p.stream->setNetworkBarVisible(true);
        QTRY_VERIFY(bar->height() > 0 && details->height() == detailsHeight - bar->height());
        QCOMPARE(p.text(u"networkBarMessage"_s), u"Connection lost. Reconnecting..."_s);
        QCOMPARE(p.text(u"networkBarSymbol"_s), u"\u26A0"_s);
        QCOMPARE(p.onScreen(u"controlStrip"_s)->height(), strip);
        p.stream->setNetworkBarIsError(false);
        p.stream->setNetworkBarMessage(u"Connection restored"_s);
        QCOMPARE(p.text(u"networkBarSymbol"_s), u"\u2713"_s);
        p.stream->setNetworkBarVisible(false);
        QTRY_COMPARE(bar->height(), 0.0);
        QCOMPARE(details->height(), detailsHeight);

        QVERIFY(m_icecast.kill());
        p.click(u"startStopButton"_s);
        QTRY_VERIFY_WITH_TIMEOUT(p.stream->connectingToServer(), 5000);
        QTRY_VERIFY(bar->height() > 0);
        QCOMPARE(p.text(u"networkBarMessage"_s),
                 u"Recording. Not on air yet: connecting to the server\u2026"_s);
        QTRY_COMPARE(p.text(u"networkBarTime"_s), u"00:00:03"_s);
        QCOMPARE(p.text(u"onAirLabel"_s), u"RECORDING"_s);
        QVERIFY(!p.onScreen(u"liveBadge"_s)->isVisible() && p.stream->streaming());
        QVERIFY(m_icecast.restart());
        QTRY_VERIFY_WITH_TIMEOUT(p.stream->live(), 10000);
        QCOMPARE(p.text(u"onAirLabel"_s), u"ON AIR"_s);
        QVERIFY(p.onScreen(u"liveBadge"_s)->isVisible());
        QTRY_COMPARE(bar->height(), 0.0);
        p.click(u"startStopButton"_s);
        QTRY_VERIFY(!p.stream->streaming() && !p.stream->jobInProgress());
    }

    // Off air the meter shows the chosen input's level through the dots (the tone at half scale
    // lights the lower 34), a peak at full scale lights the clip indicator for two seconds, and
    // silence changes nothing on screen at all. Without an input the level area says so, and
    // shows the level again by itself once an input appears.
    void levelMeter() {
        UiProgram &p = program();
        const std::vector<ScriptedAudioInput::AudioDevice> devices = p.audio.devices();
        p.audio.setDevices({});
        QVERIFY(startOnBroadcastScreen());
        QQuickItem *clip = p.onScreen(u"clipIndicator"_s);
        QQuickItem *problem = p.onScreen(u"inputProblemText"_s);
        QQuickItem *dots = p.onScreen(u"levelDots"_s);
        QTRY_VERIFY(problem->isVisible());
        QCOMPARE(textOf(problem), u"No microphone found. Connect one to check its level here."_s);
        QVERIFY(!dots->isVisible() && !clip->isVisible());
        p.audio.setDevices(devices);
        QTRY_VERIFY(!problem->isVisible() && dots->isVisible());
        QTRY_COMPARE(litDots(p), 34);
        QVERIFY(!p.stream->clipping());
        p.audio.setTone(440.0, 1.0);
        QTRY_COMPARE(litDots(p), 71); // 32767 of 32768: level 0.999
        QTRY_VERIFY(p.stream->clipping());
        QVERIFY(!p.stream->streaming());
        // Held for two seconds after the last peak (the tick before the level dropped).
        QElapsedTimer clock;
        clock.start();
        qint64 dropped = 0, unlit = -1;
        float shown = p.stream->micLevel();
        connect(p.stream.get(), &StreamController::micLevelChanged, this, [&] {
            if (shown >= StreamController::kClipLevel && p.stream->micLevel() < shown)
                dropped = clock.elapsed();
            shown = p.stream->micLevel();
        });
        connect(p.stream.get(), &StreamController::clippingChanged, this, [&] {
            if (!p.stream->clipping())
                unlit = clock.elapsed();
        });
        p.audio.setTone(440.0, 0.5);
        QTRY_VERIFY_WITH_TIMEOUT(!p.stream->clipping(), 5000);
        QVERIFY2(unlit - dropped >= 1800 && unlit - dropped <= 2300,
                 qPrintable(QString::number(unlit - dropped)));

        // The voice processing switch, by pointer and by keyboard (Return, Space): the
        // controller follows, the settings remember it for the next start, and the loudness
        // shows next to the meter only while it is on.
        const auto off = qScopeGuard([] { settings::setVoiceProcessing(false); });
        QQuickItem *toggle = p.onScreen(u"voiceSwitch"_s);
        QQuickItem *loudness = p.onScreen(u"loudnessText"_s);
        QVERIFY(!toggle->property("checked").toBool() && !loudness->isVisible());
        p.click(toggle);
        QTRY_VERIFY(p.stream->voiceProcessing());
        QVERIFY(settings::voiceProcessing() && loudness->isVisible());
        // The tone's loudness, as measured after processing.
        QTRY_VERIFY(std::isfinite(p.stream->loudness()));
        QTRY_COMPARE(textOf(loudness),
                     QString::number(std::lround(p.stream->loudness())) + u" LUFS"_s);
        QTest::keyClick(p.window, Qt::Key_Return);
        QTRY_VERIFY(!p.stream->voiceProcessing());
        QVERIFY(!settings::voiceProcessing() && !loudness->isVisible());
        QTest::keyClick(p.window, Qt::Key_Space);
        QTRY_VERIFY(p.stream->voiceProcessing() && toggle->property("checked").toBool());

        cleanup(); // the program again, from its settings
        init();
        QVERIFY(startOnBroadcastScreen());
        QVERIFY(program().stream->voiceProcessing() &&
                program().onScreen(u"voiceSwitch"_s)->property("checked").toBool());
    }

    // The chooser shows the current microphone (the default input at first), and the meter
    // follows the input chosen within a second. While another screen covers this one the
    // capture stream is closed; back on it, it runs again, and Start goes on air on the stream as
    // it runs. On air, 20 s below -50 dBFS bring up the dead-air warning, which goes within a
    // second of the sound coming back (the input runs four times as fast meanwhile: dead air is
    // measured in audio, not in wall-clock time). The microphone pulled out brings up the
    // lost-microphone warning and opens the device chooser; plugged in again, capture resumes on
    // it and the warning goes, and so it does when another input is chosen while it is away. A
    // microphone that stops sending without a word is told apart. The broadcast stays on air
    // throughout.
    void microphones() {
        UiProgram &p = program();
        const auto mic = [](unsigned int id, const QString &name, bool isDefault) {
            return ScriptedAudioInput::device(id, name, {22050, 44100}, 1, isDefault);
        };
        const auto usb = mic(1, u"USB Podcast Microphone"_s, false),
                   desk = mic(2, u"Desk Mic"_s, true);
        p.audio.setDevices({ScriptedAudioInput::device(0, u"Speakers"_s, {48000}, 0), usb, desk});
        p.audio.setGrantedFrames(4096);
        QVERIFY(startOnBroadcastScreen());
        QQuickItem *chooser = p.onScreen(u"deviceBox"_s);
        // The default input is the second row; capture uses it and the chooser says so.
        QCOMPARE(chooser->property("currentIndex").toInt(), 1);
        QCOMPARE(p.text(u"deviceText"_s), u"Desk Mic"_s);
        QTRY_COMPARE(litDots(p), 34);
        QCOMPARE(p.audio.openDeviceId(), 2u);

        p.click(chooser);
        QTest::keyClick(p.window, Qt::Key_Up);
        QElapsedTimer chosen;
        chosen.start();
        QTest::keyClick(p.window, Qt::Key_Return);
        QTRY_COMPARE(p.stream->currentMic()->micName(), u"USB Podcast Microphone"_s);
        QCOMPARE(chooser->property("currentIndex").toInt(), 0);
        QCOMPARE(p.text(u"deviceText"_s), u"USB Podcast Micropho..."_s);
        const quint64 delivered = p.audio.framesDelivered();
        QTRY_VERIFY(p.audio.openDeviceId() == 1u && p.audio.framesDelivered() > delivered);
        QVERIFY2(chosen.elapsed() < 1000, qPrintable(QString::number(chosen.elapsed())));
        QTRY_COMPARE(litDots(p), 34);

        p.click(u"recordingsButton"_s);
        QVERIFY(p.showsScreen(u"recordingsScreen"_s, 3));
        QTRY_VERIFY(!p.audio.isOpen());
        p.click(u"backButton"_s);
        QVERIFY(p.showsScreen(u"broadcastScreen"_s, 2));
        QTRY_VERIFY(p.audio.isRunning());
        const int opens = p.audio.opens();
        QVERIFY(goOnAir());
        QCOMPARE(p.audio.opens(), opens);

        QQuickItem *warning = p.onScreen(u"inputWarning"_s);
        QVERIFY(!warning->isVisible() && !chooser->isEnabled());

        constexpr quint64 kRate = 22050;
        quint64 appeared = 0, cleared = 0; // frames of the quiet and of the tone by then
        connect(p.stream.get(), &StreamController::deadAirChanged, this, [&] {
            const quint64 since = p.audio.framesDelivered() - p.audio.toneFrom();
            (p.stream->deadAir() ? appeared : cleared) = since;
        });
        p.audio.setSpeed(4.0);
        p.audio.setTone(440.0, 0.0);
        QTRY_VERIFY_WITH_TIMEOUT(warning->isVisible(), 20000);
        QCOMPARE(p.text(u"inputWarningText"_s), u"No sound is coming from the microphone"_s);
        QVERIFY2(appeared >= 20 * kRate && appeared <= 21 * kRate,
                 qPrintable(QString::number(appeared)));
        p.audio.setTone(440.0, 0.5);
        QTRY_VERIFY(!warning->isVisible());
        QVERIFY2(cleared > 0 && cleared <= kRate, qPrintable(QString::number(cleared)));
        p.audio.setSpeed(1.0);

        // Silent without a word (a suspended source): told so; it goes on by itself.
        p.audio.stall(true);
        QTRY_VERIFY(warning->isVisible() && chooser->isEnabled());
        QCOMPARE(p.text(u"inputWarningText"_s),
                 u"The microphone stopped sending sound. Listeners hear silence until it is back "
                 "or you choose another input."_s);
        p.audio.stall(false);
        QTRY_VERIFY(!warning->isVisible() && !chooser->isEnabled());

        // Pulled out: the chooser opens for another input; the meter is dark.
        p.audio.setDevices({desk});
        p.audio.breakStream();
        QTRY_VERIFY(warning->isVisible() && chooser->isEnabled());
        QCOMPARE(p.text(u"deviceText"_s), u"USB Podcast Micropho..."_s); // still the one chosen
        QCOMPARE(p.text(u"inputWarningText"_s),
                 u"The microphone is disconnected. Listeners hear silence until it is back or "
                 "you choose another input."_s);
        QTRY_COMPARE(litDots(p), 0);
        // Back: capture resumes on it by itself.
        p.audio.setDevices({usb, desk});
        QTRY_VERIFY(!warning->isVisible() && !chooser->isEnabled());
        QCOMPARE(p.audio.openDeviceId(), 1u);
        QTRY_COMPARE(litDots(p), 34);

        // Pulled out again, and the other input chosen instead.
        p.audio.setDevices({desk});
        p.audio.breakStream();
        QTRY_VERIFY(warning->isVisible() && chooser->isEnabled());
        p.click(chooser);
        QTest::keyClick(p.window, Qt::Key_Down);
        QTest::keyClick(p.window, Qt::Key_Return);
        QTRY_VERIFY(!warning->isVisible());
        QCOMPARE(p.stream->currentMic()->micName(), u"Desk Mic"_s);
        QCOMPARE(p.audio.openDeviceId(), 2u);
        QVERIFY(p.stream->streaming() && !chooser->isEnabled());
    }

    // The name field follows the title until the user types. A refused save keeps the dialog
    // and what was typed, also when the title changes meanwhile; the next save goes up.
    void editEvent() {
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QQuickItem *dialog = p.onScreen(u"editEventDialog"_s);
        QVERIFY(!dialog->isVisible());
        p.click(u"editEventButton"_s);
        QVERIFY(dialog->isVisible());
        QQuickItem *field = p.onScreen(u"eventNameField"_s);
        QCOMPARE(textOf(field), p.stream->streamTitle());
        const auto retitle = [&p](const QString &title) {
            p.server.state().demoChannel().streamTitle = title;
            p.stream->fetchChannel();
            return QTest::qWaitFor([&] { return p.stream->streamTitle() == title; });
        };
        QVERIFY(retitle(u"Morning Show"_s));
        QCOMPARE(textOf(field), u"Morning Show"_s);

        const QString path = u"api/channel/update/stream-details"_s;
        p.server.failNext(1, 500, path);
        p.click(field);
        QTest::keySequence(p.window, QKeySequence::SelectAll);
        castora::test::typeText(p.window, u"Evening Jazz"_s);
        QQuickItem *toast = p.onScreen(u"requestToast"_s);
        p.click(u"saveEventButton"_s);
        QTRY_VERIFY(toast->isVisible());
        QCOMPARE(textOf(toast->property("label").value<QQuickItem *>()),
                 u"Failed to update stream details, please ensure file is not more than 2MB"_s);
        QVERIFY(dialog->isVisible());
        QVERIFY(retitle(u"Changed elsewhere"_s));
        QCOMPARE(textOf(field), u"Evening Jazz"_s);

        p.click(u"saveEventButton"_s);
        QTRY_COMPARE(textOf(toast->property("label").value<QQuickItem *>()),
                     u"Event details updated successfully"_s);
        QVERIFY(!dialog->isVisible());
        QTRY_COMPARE(p.text(u"titleLine"_s), u"Evening Jazz"_s); // typed over the old title
    }

    // Without a chat server the screen's socket tries again after the back-off's first delay; the
    // server up, it connects and the count starts over; a new token moves it, once. Then the
    // panel and a listener in the channel's room talk.
    void chat() {
        UiProgram::Options options;
        options.chatServer = false;
        QVERIFY(startOnBroadcastScreen(options));
        UiProgram &p = program();
        auto *socket = p.currentScreen()->findChild<ChatSocket *>(u"chatSocket"_s);
        QVERIFY(socket);
        // The screen's socket follows the back-off (its table: tst_chatprotocol).
        QSignalSpy scheduled(socket, &ChatSocket::reconnectScheduled);
        const int failed = socket->failures();
        QVERIFY(scheduled.wait(10000));
        QCOMPARE(scheduled.at(0).at(0).toInt(), chat::ReconnectBackoff::delayMs(failed));

        // The server comes up: the next attempt connects and the count starts over.
        QCOMPARE(p.server.listenChat(p.chatPort), p.chatPort);
        QTRY_VERIFY_WITH_TIMEOUT(socket->status() == ChatSocket::Status::Open, 20000);
        QCOMPARE(socket->failures(), 0);
        QTRY_COMPARE(p.server.chat().clientCount(p.stream->ChannelSlug()), 1);

        // A new chat token moves the socket to the new address: one connection, and no
        // reconnect after the first delay.
        QSignalSpy joined(&p.server.chat(), &dev::ChatServer::clientJoined);
        p.stream->fetchChatToken();
        QVERIFY(joined.wait());
        QVERIFY(!joined.wait(2 * chat::ReconnectBackoff::kInitialMs));
        QCOMPARE(p.server.chat().clientCount(p.stream->ChannelSlug()), 1);

        // A listener in the channel's room, as the service's web page would connect.
        const QString slug = p.stream->ChannelSlug();
        QWebSocket listener;
        QStringList received;
        connect(&listener, &QWebSocket::textMessageReceived, this,
                [&](const QString &frame) { received.append(frame); });
        listener.open(chat::roomAddress(p.server.chat().url(), slug,
                                        p.server.chat().issueToken(u"listener"_s)));
        QTRY_COMPARE(p.server.chat().clientCount(slug), 2); // the panel and the listener

        // Two messages from the panel, sent by Return and by the send button: both reach the
        // listener and show on the right. Shift+Return and Return in an empty input send
        // nothing.
        QQuickItem *input = p.onScreen(u"messageInput"_s);
        p.type(input, u"hello"_s);
        QTest::keyClick(p.window, Qt::Key_Return, Qt::ShiftModifier);
        QCOMPARE(textOf(input), u"hello"_s);
        QTest::keyClick(p.window, Qt::Key_Return);
        QCOMPARE(textOf(input), QString());
        QTest::keyClick(p.window, Qt::Key_Return);
        p.type(input, u"second"_s);
        p.click(u"sendButton"_s);
        QCOMPARE(textOf(input), QString());
        QTRY_COMPARE(received.size(), 2);
        QCOMPARE(QJsonDocument::fromJson(received.at(0).toUtf8()).object(),
                 (QJsonObject{{u"name"_s, slug}, {u"message"_s, "hello"}}));

        // The listener's message arrives over the socket and shows on the left.
        listener.sendTextMessage(
            QStringLiteral(R"({"name":"listener","room":"%1","type":"join","message":"hi there"})")
                .arg(slug));
        QTRY_COMPARE(p.chat->rowCount(), 3);
        // The list lays its rows out at the next polish.
        QList<QQuickItem *> bubbles;
        QTRY_COMPARE((bubbles = castora::test::findItems(p.currentScreen(), u"bubble"_s)).size(),
                     3);
        QQuickItem *list = p.onScreen(u"messageList"_s);
        const auto onRight = [list](QQuickItem *bubble) {
            return qFuzzyCompare(bubble->mapToItem(list, QPointF(bubble->width(), 0)).x(),
                                 list->width());
        };
        QVERIFY(onRight(bubbles.at(0)) && onRight(bubbles.at(1)) && !onRight(bubbles.at(2)));
        QCOMPARE(textOf(castora::test::findItem(bubbles.at(2), u"avatarLetter"_s)), u"L"_s);
    }

    // Text from the backend, the chat and the sound system (names, titles, dates, notes,
    // messages, replies, device names) and the names of recordings are shown as they are on
    // every screen and dialog: markup in them is not interpreted, and an image in it is not
    // fetched. Each value begins with a tag of its own, which the screens' cut-offs keep; every
    // text item that holds the tag as it is must be plain text.
    void remoteTextIsShownAsText() {
        UiProgram &p = program();
        QVERIFY(p.listen({true, m_icecast.port()}));
        const auto tag = [](const QString &word) { return u"<b>%1</b>"_s.arg(word); };
        // An image at the stand-in, which keeps every path it is asked for.
        const auto remote = [&](const QString &word) {
            return tag(word) + u"<img src=\"%1/%2.png\">"_s.arg(p.server.baseUrl(), word);
        };
        dev::Channel &channel = p.server.state().demoChannel();
        channel.name = remote(u"name"_s);
        channel.streamTitle = remote(u"title"_s);
        p.server.state().versionInfo =
            QJsonObject{{u"latest_version"_s, u"1.2.0"_s + remote(u"version"_s)},
                        {u"release_notes"_s, remote(u"notes"_s)}};
        p.server.chat().post(channel.slug, remote(u"sender"_s), remote(u"old"_s),
                             remote(u"date"_s));
        p.audio.setDevices({ScriptedAudioInput::device(0, remote(u"device"_s), {44100}, 1, true)});
        QVERIFY(startOnBroadcastScreen());
        QSqlQuery recording; // the only one listed
        QVERIFY(recording.exec(u"DELETE FROM recordings"_s) &&
                recording.exec(u"INSERT INTO recordings (name, path, date_created) VALUES "
                               "('%1', '%2', '%3')"_s.arg(remote(u"recording"_s),
                                                          m_files.filePath(u"show.mp3"_s),
                                                          remote(u"recorded"_s))));
        p.server.chat().post(channel.slug, remote(u"sender"_s), remote(u"now"_s));
        emit p.stream->requestCompleted(remote(u"refused"_s), true);
        QTRY_COMPARE(findItems(p.currentScreen(), u"bubble"_s).size(), 2);
        QTRY_VERIFY(p.item(u"updateDialog"_s)->isVisible());
        QVERIFY(QMetaObject::invokeMethod(
            p.onScreen(u"deviceBox"_s)->property("popup").value<QObject *>(), "open"));
        QTRY_VERIFY(p.item(u"deviceEntryText"_s));
        const auto shown = [&p](const QString &fragment) {
            return shownBy(p.window->contentItem(), fragment);
        };
        QCOMPARE(shown(tag(u"name"_s)), (QStringList{u"channelNameLabel"_s, u"channelCaption"_s}));
        QCOMPARE(shown(tag(u"title"_s)), QStringList{u"titleLine"_s});
        QCOMPARE(shown(tag(u"sender"_s)), (QStringList{u"senderText"_s, u"senderText"_s}));
        QCOMPARE(shown(tag(u"date"_s)), QStringList{u"createdAtText"_s});
        QCOMPARE(shown(tag(u"notes"_s)), QStringList{u"releaseNotesLabel"_s});
        QCOMPARE(shown(tag(u"version"_s)), QStringList{u"latestVersionLabel"_s});
        QCOMPARE(shown(tag(u"refused"_s)), QStringList{u"RemoteText"_s});
        QCOMPARE(shown(tag(u"device"_s)), (QStringList{u"deviceText"_s, u"deviceEntryText"_s}));
        // A message shows escaped in its rich text.
        for (const QString &message : {u"old"_s, u"now"_s}) {
            QCOMPARE(shown(tag(message)), QStringList());
            QCOMPARE(shown(tag(message).replace('<', u"&lt;"_s).replace('>', u"&gt;"_s)),
                     QStringList{u"messageText (markup)"_s});
        }

        // The recordings screen, its toast and its delete dialog.
        QTest::keyClick(p.window, Qt::Key_Escape); // the device list
        p.click(p.item(u"laterButton"_s));
        p.click(u"recordingsButton"_s);
        QVERIFY(p.showsScreen(u"recordingsScreen"_s, 3));
        emit p.recordings->uploadCompleted(recording.lastInsertId().toInt(), false,
                                           remote(u"upload"_s));
        p.click(findItems(p.currentScreen(), u"deleteButton"_s).value(0));
        QTRY_VERIFY(p.item(u"deleteName"_s)->isVisible());
        QCOMPARE(shown(tag(u"recording"_s)), (QStringList{u"recordingName"_s, u"deleteName"_s}));
        QCOMPARE(shown(tag(u"recorded"_s)), QStringList{u"RemoteText"_s});
        QCOMPARE(shown(tag(u"upload"_s)), QStringList{u"RemoteText"_s});

        // The artwork is fetched from the same server: once it has been asked for, every image
        // of the texts above would have been too.
        p.click(p.item(u"deleteConfirmButton"_s));
        QTRY_COMPARE(p.recordings->rowCount(), 0);
        p.click(u"backButton"_s);
        QVERIFY(p.showsScreen(u"broadcastScreen"_s, 2));
        channel.channelArt = artwork(u"art.png"_s);
        p.stream->fetchChannel();
        QTRY_VERIFY(!p.server.requests(u"artwork/art.png"_s).isEmpty());
        for (const dev::RecordedRequest &request : p.server.requests())
            QVERIFY2(!request.path.endsWith(u".png"_s) || request.path.startsWith(u"artwork/"_s),
                     qPrintable(request.path));
    }

    // Artwork comes only from addresses allowed for it (which: tst_backendrequest's
    // artworkAddresses): the stand-in's own shows; a file or another plain-http server is not
    // even asked, and the placeholder shows. An allowed address given after them is fetched, so
    // by then the refused ones would have been too.
    void artworkFromAllowedAddressesOnly() {
        dev::DevServer plain;
        QVERIFY(plain.listen() != 0);
        const QString picture = m_files.filePath(u"local.png"_s);
        QVERIFY(QImage(8, 8, QImage::Format_RGB32).save(picture));
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        QQuickItem *card = p.onScreen(u"cardImage"_s);
        QQuickItem *placeholder = p.onScreen(u"artworkFallback"_s);
        QTRY_COMPARE(card->property("status").toInt(), 1); // Image.Ready: the channel's own
        QVERIFY(!placeholder->isVisible());
        dev::Channel &channel = p.server.state().demoChannel();
        channel.streamArt.clear();
        const QStringList refused{u"file://"_s + picture, plain.baseUrl() + u"/art.png"_s};
        for (const QString &address : refused) {
            channel.channelArt = address;
            p.stream->fetchChannel();
            QTRY_COMPARE(p.stream->channelArt(), QString());
            QTRY_VERIFY(card->property("source").toUrl().isEmpty() && placeholder->isVisible());
            const QString after = u"after-%1.png"_s.arg(refused.indexOf(address));
            channel.channelArt = artwork(after);
            p.stream->fetchChannel();
            QTRY_VERIFY(!p.server.requests(u"artwork/"_s + after).isEmpty());
        }
        QCOMPARE(plain.requests().size(), 0);
    }

    // Logging out while on air (off air: tst_mainwindow's signIn, tst_authcontroller).
    void logout_data() {
        QTest::addColumn<bool>("stopAnswered"); // the backend answers the stop-stream notice
        row("stopped first, then signed out", true);
        row("stop-stream never answered: signed out after the stop wait", false);
    }

    void logout() {
        QFETCH(bool, stopAnswered);
        QVERIFY(startOnBroadcastScreen());
        UiProgram &p = program();
        const QString token = settings::token();
        QVERIFY(goOnAir());
        const QString stopPath = u"api/channel/stop-stream"_s;
        const int stopWaitMs = 3000; // the program waits 10 s, as when its window closes
        if (!stopAnswered) {
            p.stream->setStopWaitMs(stopWaitMs);
            p.server.hangNext(1, stopPath);
        }
        QQuickItem *dialog = p.onScreen(u"logoutDialog"_s);
        p.click(u"logoutButton"_s);
        QVERIFY(dialog->isVisible());
        QElapsedTimer waited;
        waited.start();
        p.click(u"logoutConfirmButton"_s);
        if (!stopAnswered) {
            // While it waits nothing else can be used: the recordings screen does not open.
            QTRY_COMPARE(p.server.requests(stopPath).size(), 1);
            p.click(u"recordingsButton"_s);
            QCOMPARE(p.depth(), 2);
        }
        QTRY_COMPARE_WITH_TIMEOUT(p.depth(), 1, StreamController::kStopWaitMs + 5000);
        if (!stopAnswered) {
            QVERIFY(waited.elapsed() >= stopWaitMs * 9 / 10);
            QCOMPARE(p.stream->pendingNotices(), 1); // still unanswered: the wait ended it
        }
        QVERIFY(!p.auth->loggedIn() && !p.stream->streaming());
        QTRY_COMPARE(p.server.requests(u"api/auth/logout"_s).size(), 1);
        QVERIFY(!p.server.state().isValidToken(token));
        // Nothing of the account is left for the next one.
        QVERIFY(p.stream->mountPoint().isEmpty() && p.stream->chatToken().isEmpty());
        QCOMPARE(p.chat->rowCount(), 0);
        // The stop-stream notice went out before the sign-out, with the token still valid,
        // and the recording is complete and closed.
        QTRY_COMPARE(p.server.state().demoChannel().streamStops, stopAnswered ? 1 : 0);
        QStringList paths;
        for (const dev::RecordedRequest &request : p.server.requests())
            paths.append(request.path);
        const qsizetype stop = paths.indexOf(stopPath);
        QVERIFY(stop >= 0 && stop < paths.indexOf(u"api/auth/logout"_s));
        QCOMPARE(p.server.requests().at(stop).bearerToken(), token.toUtf8());
        const QModelIndex newest = p.recordings->index(0);
        QVERIFY(!p.recordings->isRecording(newest.data(RecordingController::IdRole).toInt()));
        QVERIFY(QFileInfo(newest.data(RecordingController::PathRole).toString()).size() > 0);
    }
};

CASTORA_GUI_TEST_MAIN(TestBroadcastScreen)
#include "tst_broadcastscreen.moc"
