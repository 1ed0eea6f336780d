// The whole program, as a user drives it: the real binary under Xvfb against icecast2, a
// virtual microphone playing a 440 Hz tone and the stand-in backend with its chat server.
// Every action is a pointer click or key press on the X display; what the program shows is
// read back through its inspection socket.
#include "ChatServer.h"
#include "ProgramDriver.h"
#include "TestMain.h"
#include "UploadPlan.h"
#include "UploadRoutes.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <csignal>
#include <future>

using namespace castora;
using namespace castora::test;

namespace {

constexpr int kRate = 44100; // decoding rate of the audio checks
// One capture buffer (16384 frames) at the lowest rate a quality captures at.
constexpr double kCaptureBufferSeconds = 16384.0 / 22050.0;

// The one recording of a program's profile; an empty name when there is not exactly one.
QFileInfo onlyRecording(const QString &profile) {
    // The program's XDG data folder (ProgramDriver::launch) + "/Castora".
    const QFileInfoList files = QDir(profile + "/home/.local/share/Castora")
                                    .entryInfoList({QStringLiteral("*.mp3")}, QDir::Files);
    return files.size() == 1 ? files.first() : QFileInfo();
}

// The objects of a screen reader's view, as "role: name" (or the description where Qt gives
// no name: password fields), that are shown on screen.
QStringList shownObjects(const QList<QJsonObject> &tree) {
    QStringList shown;
    for (const QJsonObject &node : tree) {
        if (!node.value("states").toArray().contains(QStringLiteral("showing")))
            continue;
        const QString name = node.value("name").toString();
        shown.append(node.value("role").toString() + ": " +
                     (name.isEmpty() ? node.value("description").toString() : name));
    }
    return shown;
}

} // namespace

// Fails the test function when a helper failed.
#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class TestEndToEnd : public QObject {
    Q_OBJECT

    LocalStack m_stack;
    VirtualDisplay m_display;
    QTemporaryDir m_work{QDir::tempPath() + QStringLiteral("/castora-e2e-XXXXXX")};

    dev::Channel &channel() { return m_stack.backend->state().demoChannel(); }

    // By key presses (a click into a field: tst_mainwindow).
    void signIn(ProgramDriver &program) {
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("signInButton"), 20000);
        QVERIFY(program.tabTo("userField"));
        QVERIFY(program.type(dev::DevState::kDemoEmail));
        QVERIFY(program.tabTo("passwordField"));
        QVERIFY(program.type(dev::DevState::kDemoPassword));
        QVERIFY(program.tabTo("signInButton"));
        QVERIFY(program.key("Return"));
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("broadcastScreen"), 20000);
    }

    void goOnAir(ProgramDriver &program, const QString &quality) {
        // The channel record has arrived and the chat panel has joined the channel's room.
        QTRY_COMPARE_WITH_TIMEOUT(program.text("channelCaption"), channel().name + " on Castora",
                                  20000);
        QTRY_VERIFY_WITH_TIMEOUT(m_stack.backend->chat().clientCount(channel().slug) >= 1, 20000);

        const QStringList current{"currentText"};
        if (program.item("qualityBox", current).properties.value("currentText") != quality) {
            QVERIFY(program.click("qualityBox"));
            const auto entry = [&] {
                return program.item("qualityEntry", {"modelData"}, [&](const ScreenItem &item) {
                    return item.properties.value("modelData") == quality;
                });
            };
            QTRY_VERIFY(entry().visible);
            QVERIFY(program.click(entry()));
            QTRY_COMPARE(program.item("qualityBox", current).properties.value("currentText"),
                         QVariant(quality));
        }

        QTRY_VERIFY_WITH_TIMEOUT(program.item("startStopButton").enabled, 10000);
        QCOMPARE(program.text("startStopButton"), "Start");
        QVERIFY(program.click("startStopButton"));
        QTRY_COMPARE_WITH_TIMEOUT(program.text("onAirLabel"), "ON AIR", 20000);
        QCOMPARE(program.text("startStopButton"), "Stop");
    }

    // Lets the broadcast run until `seconds` after it went on air, watching that the program lives.
    void stayOnAir(ProgramDriver &program, const QElapsedTimer &onAir, int seconds) {
        const qint64 left = qMax<qint64>(0, seconds * 1000LL - onAir.elapsed());
        QTRY_VERIFY_WITH_TIMEOUT(!program.isRunning() || onAir.hasExpired(seconds * 1000LL),
                                 int(left) + 5000);
        QVERIFY2(program.isRunning(), qPrintable(program.log()));
        QCOMPARE(program.text("onAirLabel"), "ON AIR");
    }

    // castora --status, parsed; empty when it failed.
    static QJsonObject status(ProgramDriver &program) {
        const ProgramDriver::Run run = program.run({"--status"});
        return run.exitCode == 0 ? QJsonDocument::fromJson(run.output.toUtf8()).object()
                                 : QJsonObject();
    }

    // What a screen reader finds: every one of `shown` on screen, and nothing named in `hidden`
    // anywhere in the tree (texts of dialogs and screens not shown).
    void exposes(AccessibilityBus &bus, const QStringList &shown, const QStringList &hidden) {
        const QList<QJsonObject> tree = bus.tree();
        const QStringList objects = shownObjects(tree);
        for (const QString &object : shown)
            QVERIFY2(objects.contains(object),
                     qPrintable(object + " not among:\n" + objects.join('\n')));
        for (const QJsonObject &node : tree)
            QVERIFY2(!hidden.contains(node.value("name").toString()),
                     qPrintable(QJsonDocument(node).toJson(QJsonDocument::Compact)));
    }

    // A long show recorded by an earlier run, listed in the profile's recordings library: a real
    // MP3 of over 5,000,000 bytes (Premium, 192 kbit/s).
    QFileInfo recordEarlierShow(const QString &profile) {
        const QString folder = profile + "/home/.local/share/Castora";
        const QString path = folder + "/Long_Show_20260101_100000.mp3";
        if (!QDir().mkpath(folder + "/Castora"))
            return QFileInfo();
        if (QProcess::execute("ffmpeg",
                              {"-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=f=440:d=215",
                               "-ac", "1", "-c:a", "libmp3lame", "-b:a", "192k", "-y", path}) != 0)
            return QFileInfo();
        {
            QSqlDatabase library = QSqlDatabase::addDatabase("QSQLITE", "earlier");
            library.setDatabaseName(folder + "/Castora/app.db");
            QSqlQuery query(library.open() ? library : QSqlDatabase());
            query.exec("CREATE TABLE recordings (id INTEGER PRIMARY KEY AUTOINCREMENT,name TEXT,"
                       "path TEXT,date_created DATE, upload_status BOOLEAN DEFAULT 0)");
            query.prepare("INSERT INTO recordings (name, path, date_created) VALUES (?, ?, ?)");
            query.addBindValue("Long_Show");
            query.addBindValue(path);
            query.addBindValue("2026-01-01 10:00:00");
            query.exec();
            library.close();
        }
        QSqlDatabase::removeDatabase("earlier");
        return QFileInfo(path);
    }

    // From the broadcast screen: opens the recordings, uploads the one recording there and checks
    // the stand-in's copy.
    void uploadTheRecording(ProgramDriver &program, bool chunked) {
        const QFileInfo file = onlyRecording(program.profileDir());
        QCOMPARE(recordings::UploadPlan::isChunked(file.size()), chunked);

        QVERIFY(program.click("recordingsButton"));
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("recordingsScreen"), 10000);
        QTRY_COMPARE(program.items("recordingRow").size(), 1);
        QVERIFY(!program.shows("recordingInProgress"));
        QTRY_VERIFY(program.shows("uploadButton"));
        QVERIFY(program.click("uploadButton"));

        // The row shows the upload going on, then nothing: the recording is up.
        QTRY_VERIFY_WITH_TIMEOUT(!program.items("uploadSlot").value(0).visible, 120000);
        QCOMPARE(program.items("uploadSlot").size(), 1);
        const dev::StoredUpload *stored = m_stack.backend->uploads().find(file.fileName());
        QVERIFY2(stored, qPrintable(file.fileName()));
        QCOMPARE(stored->chunked, chunked);
        QVERIFY(readFile(stored->path) == readFile(file.filePath()));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_work.isValid());
        QVERIFY2(m_stack.start(), "icecast2, PulseAudio or the stand-in did not start");
        QVERIFY2(m_display.start(), "Xvfb did not start");
    }

    void cleanup() {
        // The processes of a failed run went with its driver; its profile and log stay.
        if (QTest::currentTestFailed()) {
            m_work.setAutoRemove(false);
            qWarning().noquote() << "profiles and program logs kept in" << m_work.path();
        }
    }

    // The whole program by key presses alone, read as a screen reader does through AT-SPI: sign
    // in, Start, a player on the mount hears the tone and the screen counts it, a listener's
    // message in the channel's room is readable and announced, Stop, the recordings screen and
    // two uploads: the broadcast just made (one request) and a long show recorded earlier (over
    // 5,000,000 bytes: in chunks), each a byte-identical copy at the stand-in. Every control of
    // the three screens is there with its role and name, the on-air state is announced as it
    // changes, and no text of a hidden dialog or a screen underneath is exposed.
    void keyboardAndScreenReader() {
        AccessibilityBus bus;
        QVERIFY2(bus.start(), "dbus-daemon or at-spi-bus-launcher did not start");
        const QString profile = m_work.filePath("keyboard");
        const QFileInfo longShow = recordEarlierShow(profile);
        QVERIFY(recordings::UploadPlan::isChunked(longShow.size()));
        ProgramDriver program(m_stack, m_display, profile);
        QVERIFY(program.launch(bus.environment()));
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("signInButton"), 20000);
        const QStringList dialogs{"Update Now",    "Later", "Logout",          "Save Changes",
                                  "Share Channel", "Copy",  "Checking session"};
        CHECKED(exposes(bus,
                        {"text: Username or email", "password text: Password",
                         "push button: Show password", "push button: Sign In",
                         "link: Forgot your password? No worries! You can reset it and get back "
                         "on track.",
                         "link: Don't have an account yet? Sign Up."},
                        dialogs));

        CHECKED(signIn(program));
        QTRY_COMPARE_WITH_TIMEOUT(program.text("channelCaption"), channel().name + " on Castora",
                                  20000);
        QTRY_VERIFY_WITH_TIMEOUT(m_stack.backend->chat().clientCount(channel().slug) >= 1, 20000);
        QVERIFY(program.settled());
        CHECKED(exposes(bus,
                        {"push button: Support", "push button: Recordings", "push button: Log out",
                         "push button: Edit Event", "push button: Share", "combo box: Microphone",
                         "check box: Voice processing", "list: Chat messages", "text: Message",
                         "push button: Emoji", "push button: Send", "combo box: Stream Quality",
                         "push button: Start", "alert: OFF AIR"},
                        dialogs + QStringList{"Sign In", "Username or email"}));

        // The logout dialog takes the focus; Escape closes it and gives the focus back.
        QVERIFY(program.tabTo("logoutButton"));
        QVERIFY(program.key("Return"));
        QTRY_VERIFY(program.shows("logoutDialog"));
        QTRY_VERIFY(program.item("logoutConfirmButton", {"activeFocus"})
                        .properties.value("activeFocus")
                        .toBool());
        QVERIFY(program.key("Escape"));
        QTRY_VERIFY(!program.shows("logoutDialog"));
        QTRY_VERIFY(
            program.item("logoutButton", {"activeFocus"}).properties.value("activeFocus").toBool());

        // On air and off again, a listener's message in between: each is said as it happens.
        QVERIFY(bus.listen(120));
        QVERIFY(program.tabTo("startStopButton"));
        QTRY_VERIFY_WITH_TIMEOUT(program.item("startStopButton").enabled, 10000);
        QVERIFY(program.key("space"));
        QTRY_COMPARE_WITH_TIMEOUT(program.text("onAirLabel"), "ON AIR", 20000);
        // A player on the mount hears the tone, and the screen counts it at the next poll.
        auto player = std::async(std::launch::async, [this, mount = channel().mountPoint] {
            return m_stack.icecast.listen(mount, 12.0);
        });
        QTRY_VERIFY_WITH_TIMEOUT(program.text("listenerCount").section(' ', 0, 0).toInt() >= 1,
                                 25000);
        QTRY_VERIFY_WITH_TIMEOUT(
            player.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 20000);
        const audio::Decoded heard = audio::decodeMp3(player.get(), kRate);
        QVERIFY2(heard.samples.size() > std::size_t(kRate), "the player got less than a second");
        QVERIFY2(qAbs(audio::dominantFrequency(heard.samples, kRate, kRate / 2) - 440.0) < 10.0,
                 qPrintable(heard.errors));
        const QString message = QStringLiteral("A listener's greeting for the screen reader");
        m_stack.backend->chat().post(channel().slug, "maya", message);
        QList<QJsonObject> events;
        const auto said = [&](const QString &name) {
            events += bus.events();
            return std::any_of(events.cbegin(), events.cend(), [&](const QJsonObject &event) {
                return event.value("role") == "alert" && event.value("name") == name;
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(said("ON AIR"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(said("maya says: " + message), 10000);
        const QStringList shown = shownObjects(bus.tree());
        QVERIFY2(std::any_of(shown.cbegin(), shown.cend(),
                             [&](const QString &object) {
                                 return object.startsWith("list item: maya, ") &&
                                        object.endsWith(": " + message);
                             }),
                 qPrintable(shown.join('\n')));
        QVERIFY(program.item("startStopButton", {"activeFocus"})
                    .properties.value("activeFocus")
                    .toBool());
        QTRY_VERIFY_WITH_TIMEOUT(program.item("startStopButton").enabled, 10000);
        QVERIFY(program.key("space"));
        QTRY_COMPARE_WITH_TIMEOUT(program.text("onAirLabel"), "OFF AIR", 20000);
        QTRY_VERIFY_WITH_TIMEOUT(said("OFF AIR"), 10000);

        // The recordings screen, and the upload of the broadcast just made.
        QVERIFY(program.tabTo("recordingsButton"));
        QVERIFY(program.key("Return"));
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("recordingsScreen"), 10000);
        QVERIFY(program.settled());
        QTRY_COMPARE(program.items("recordingRow").size(), 2);
        QTRY_VERIFY(program.shows("uploadButton"));
        CHECKED(
            exposes(bus,
                    {"push button: Back", "text: Search by title or date", "push button: Facebook",
                     "push button: LinkedIn", "push button: WhatsApp", "list: Recordings",
                     "push button: Open folder", "push button: Upload", "push button: Delete"},
                    dialogs + QStringList{"Start", "Chat messages", "Delete Recording",
                                          "Subscription Required"}));
        // Newest first: the broadcast just made, then the long show.
        const QFileInfoList files = QDir(profile + "/home/.local/share/Castora")
                                        .entryInfoList({QStringLiteral("*.mp3")}, QDir::Files);
        QCOMPARE(files.size(), 2);
        const QFileInfo broadcast = files.at(0) == longShow ? files.at(1) : files.at(0);
        for (const QFileInfo &file : {broadcast, longShow}) {
            QVERIFY(program.tabTo("uploadButton"));
            QVERIFY(program.key("space"));
            QTRY_VERIFY_WITH_TIMEOUT(m_stack.backend->uploads().find(file.fileName()), 120000);
            const dev::StoredUpload *stored = m_stack.backend->uploads().find(file.fileName());
            QCOMPARE(stored->chunked, recordings::UploadPlan::isChunked(file.size()));
            QVERIFY(readFile(stored->path) == readFile(file.filePath()));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!program.shows("uploadButton"), 20000);
        program.terminate();
    }

    // One program per session, driven by a script as a scheduled show would be: a second
    // launch raises the running window and ends with 0; castora --start, --status and --stop
    // run a real broadcast; with no program running, or when the program refuses (no channel
    // loaded before signing in), the command ends non-zero with the screen's message.
    void desktopControl() {
        ProgramDriver program(m_stack, m_display, m_work.filePath("desktop"));
        ProgramDriver::Run run = program.run({"--start"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.error.contains("Castora is not running"), qPrintable(run.error));

        QVERIFY(program.launch());
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("signInButton"), 20000);
        run = program.run({"--start"});
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.error.contains("Your channel is not loaded, so the broadcast cannot start."),
                 qPrintable(run.error));
        QCOMPARE(status(program).value("signed_in"), false);

        run = program.run({});
        QVERIFY2(run.exitCode == 0, qPrintable(run.error));
        QCOMPARE(program.count("activations"), 1);
        QVERIFY(program.isRunning());

        CHECKED(signIn(program));
        QTRY_COMPARE_WITH_TIMEOUT(program.text("channelCaption"), channel().name + " on Castora",
                                  20000);
        run = program.run({"--start"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.error));
        QTRY_VERIFY_WITH_TIMEOUT(status(program).value("live").toBool(), 3000);
        const QJsonObject onAir = status(program);
        QCOMPARE(onAir.value("signed_in"), true);
        QCOMPARE(onAir.value("recording"), true);
        QCOMPARE(onAir.value("mount").toString(), channel().mountPoint);
        const QDateTime since = QDateTime::fromString(onAir.value("since").toString(), Qt::ISODate);
        QVERIFY2(qAbs(since.secsTo(QDateTime::currentDateTimeUtc())) < 60,
                 qPrintable(onAir.value("since").toString()));
        const QString recording = onAir.value("recording_path").toString();
        QCOMPARE(recording, onlyRecording(program.profileDir()).filePath());
        QCOMPARE(program.text("onAirLabel"), "ON AIR");
        // A player on the mount gets audio (on a thread: the stand-in keeps answering here).
        auto heard = std::async(std::launch::async, [this, mount = channel().mountPoint] {
            return m_stack.icecast.waitForAudio(mount, 10000);
        });
        QTRY_VERIFY_WITH_TIMEOUT(
            heard.wait_for(std::chrono::seconds(0)) == std::future_status::ready, 15000);
        QVERIFY(heard.get() >= 0);

        run = program.run({"--stop"});
        QVERIFY2(run.exitCode == 0, qPrintable(run.error));
        const QJsonObject offAir = status(program);
        for (const char *key : {"recording", "live"})
            QCOMPARE(offAir.value(key), false);
        for (const char *key : {"since", "recording_path"})
            QVERIFY(offAir.value(key).isNull());
        QTRY_COMPARE(program.text("onAirLabel"), "OFF AIR");
        QTRY_VERIFY_WITH_TIMEOUT(!m_stack.icecast.hasMount(channel().mountPoint), 10000);
        QVERIFY(QFileInfo(recording).size() > 0);
        QCOMPARE(program.terminate(), 0);
    }

    // The program ends in the middle of a broadcast. Killed (a crash, a power cut): what
    // reached the disk decodes cleanly to its end, and the next start lists it, uploadable.
    // Terminated (SIGTERM as a desktop session ends; SIGINT and SIGHUP are handled alike): the
    // broadcast stops as when the window is closed, and the program exits with 0 within the
    // stop's 3 s and the stop-stream reply, the recording complete and the backend told once,
    // also when a second SIGTERM follows while it closes. And when the session ends for real,
    // the X server and the sound server dying with the SIGTERM (on a display and a sound server
    // of the run's own), on air or off, again and again: the program is gone within 15 s every
    // time (0, or 1 where the display went first), and on air its recording is complete.
    void endedMidBroadcast_data() {
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("onAir");
        row("killed", "kill", true);
        row("terminated", "term", true);
        row("terminated twice", "term twice", true);
        for (int i = 1; i <= 2; ++i) {
            row(qPrintable(QString("session gone on air %1").arg(i)), "session", true);
            row(qPrintable(QString("session gone off air %1").arg(i)), "session", false);
        }
    }
    void endedMidBroadcast() {
        QFETCH(QString, end);
        QFETCH(bool, onAir);
        const bool killed = end == "kill", session = end == "session";
        const QString profile = m_work.filePath(QString::fromLatin1(QTest::currentDataTag()));
        // The session's own X server and sound server, killed with the SIGTERM.
        VirtualDisplay ownDisplay;
        VirtualMicrophone ownSound;
        QProcessEnvironment extra;
        if (session) {
            QVERIFY(ownDisplay.start() && ownSound.start() && ownSound.playTone(440, 600));
            extra.insert("PULSE_SERVER", ownSound.pulseServer());
        }
        QElapsedTimer onAirClock;
        qint64 secondsOnAir = 0;
        {
            ProgramDriver program(m_stack, session ? ownDisplay : m_display, profile);
            QVERIFY(program.launch(extra));
            CHECKED(signIn(program));
            if (!onAir) {
                QTRY_VERIFY_WITH_TIMEOUT(program.item("startStopButton").enabled, 10000);
            } else {
                CHECKED(goOnAir(program, QStringLiteral("Standard")));
                onAirClock.start();
                CHECKED(stayOnAir(program, onAirClock, session ? 6 : 20));
            }
            const int stops = channel().streamStops;
            secondsOnAir = onAirClock.isValid() ? onAirClock.elapsed() : 0;
            QElapsedTimer ending;
            ending.start();
            if (killed) {
                program.kill();
            } else if (session) {
                program.signal(SIGTERM);
                ownDisplay.kill();
                QVERIFY(ownSound.kill());
                const int code = program.waitForExit(15000);
                qInfo("exited with %d %lld ms after SIGTERM", code, ending.elapsed());
                QVERIFY2(code == 0 || code == 1, qPrintable(program.log()));
                if (!onAir)
                    return;
            } else {
                program.signal(SIGTERM);
                if (end == "term twice") {
                    QTest::qWait(100); // while the broadcast stops
                    program.signal(SIGTERM);
                }
                QCOMPARE(program.waitForExit(10000), 0);
                qInfo("exited with 0 %lld ms after SIGTERM", ending.elapsed());
                QVERIFY(ending.elapsed() < 5000);
                QVERIFY2(program.log().contains("Closing on signal 15"), qPrintable(program.log()));
                QCOMPARE(channel().streamStops, stops + 1);
                QVERIFY(!channel().onAir);
            }
        }
        if (session) {
            // Complete: it decodes to its end and is as long as the time on air (the tone may
            // have gone with the sound server).
            const audio::Decoded decoded =
                audio::decodeMp3File(onlyRecording(profile).filePath(), kRate);
            QVERIFY2(decoded.ok && decoded.errors.isEmpty(), qPrintable(decoded.errors));
            const double seconds = double(decoded.samples.size()) / kRate;
            QVERIFY2(
                qAbs(seconds - secondsOnAir / 1000.0) <= kCaptureBufferSeconds + 1.0,
                qPrintable(QString("%1 s decoded, %2 ms on air").arg(seconds).arg(secondsOnAir)));
            return;
        }

        // What reached the disk decodes cleanly to the end, and the tone runs to its last second.
        const audio::Decoded decoded =
            audio::decodeMp3File(onlyRecording(profile).filePath(), kRate);
        QVERIFY(decoded.ok);
        QVERIFY2(decoded.errors.isEmpty(), qPrintable(decoded.errors));
        const double seconds = double(decoded.samples.size()) / kRate;
        const double tolerance = kCaptureBufferSeconds + 1.0;
        qInfo("%.2f s decoded after %.2f s on air", seconds, secondsOnAir / 1000.0);
        QVERIFY2(qAbs(seconds - secondsOnAir / 1000.0) <= tolerance,
                 qPrintable(
                     QStringLiteral("%1 s decoded, %2 ms on air").arg(seconds).arg(secondsOnAir)));
        const std::size_t lastSecond = decoded.samples.size() - kRate;
        QVERIFY(audio::rms(decoded.samples, lastSecond) > 1000.0);
        QVERIFY(qAbs(audio::dominantFrequency(decoded.samples, kRate, lastSecond) - 440.0) < 10.0);

        if (!killed)
            return;
        // The next start (the saved session opens the broadcast screen) lists it, uploadable.
        ProgramDriver program(m_stack, m_display, profile);
        QVERIFY(program.launch());
        QTRY_VERIFY_WITH_TIMEOUT(program.shows("broadcastScreen"), 20000);
        QTRY_COMPARE_WITH_TIMEOUT(program.text("channelCaption"), channel().name + " on Castora",
                                  20000);
        CHECKED(uploadTheRecording(program, false));
        program.terminate();
    }
};

CASTORA_TEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
