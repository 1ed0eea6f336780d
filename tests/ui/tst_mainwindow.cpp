// The real main window document, driven with mouse clicks and key presses on an offscreen
// window, against the stand-in backend: sign-in with its error toast (and the notice of a
// recordings library started anew), and the update prompt.
#include "RecordingsDatabase.h"
#include "SettingsStore.h"
#include "TestMain.h"
#include "UiProgram.h"

#include <QDesktopServices>
#include <QDir>
#include <QJsonObject>

using namespace castora;
using namespace Qt::StringLiterals;
using castora::dev::DevState;
using namespace castora::test;

// The password field's TextInput.EchoMode.
constexpr int kShown = 0, kHidden = 2;

class TestMainWindow : public castora::test::UiTestCase {
    Q_OBJECT

public slots:
    // Stands in for the desktop's browser (Qt.openUrlExternally, QDesktopServices::openUrl).
    void openUrl(const QUrl &url) { m_opened.append(url); }

private:
    QList<QUrl> m_opened;

private slots:
    void initTestCase() {
        UiTestCase::initTestCase();
        for (const QString &scheme : {u"http"_s, u"https"_s})
            QDesktopServices::setUrlHandler(scheme, this, "openUrl");
    }

    void cleanupTestCase() {
        for (const QString &scheme : {u"http"_s, u"https"_s})
            QDesktopServices::unsetUrlHandler(scheme);
    }

    void init() {
        UiTestCase::init();
        settings::setDismissCount(0);
        m_opened.clear();
        QVERIFY(m_program->listen());
    }

    void signIn_data() {
        // toast: empty: the broadcast screen is pushed
        columns<QString, QString>("password", "toast");
        const QString demo = QString::fromLatin1(DevState::kDemoPassword);
        row("demo account", demo, QString());
        row("wrong password", "not the password", "Invalid email or password");
    }

    void signIn() {
        QFETCH(QString, password);
        QFETCH(QString, toast);
        UiProgram &p = *m_program;
        const QString email = QString::fromLatin1(DevState::kDemoEmail);
        const QString login = u"api/auth/login"_s;
        // A recordings library that cannot be read is started anew at start-up, and the
        // window says so once, in a corner of its own.
        QVERIFY(QDir().mkpath(recordingsDataDirectory()));
        QVERIFY(test::writeFile(recordingsDataDirectory() + u"/app.db"_s, QByteArray(8192, 'x')));
        QVERIFY(p.start());
        QVERIFY(p.item(u"signInForm"_s)->isVisible());
        QQuickItem *notice = p.item(u"databaseNotice"_s);
        QTRY_VERIFY(notice->isVisible());
        QVERIFY(textOf(notice->property("label").value<QQuickItem *>())
                    .startsWith(u"The recordings library could not be read"_s));
        p.type(p.item(u"userField"_s), email);
        QQuickItem *passwordField = p.item(u"passwordField"_s);
        p.type(passwordField, password);
        p.click(u"passwordVisibilityToggle"_s); // shown while typed
        QCOMPARE(passwordField->property("echoMode").toInt(), kShown);

        // What the button shows the moment the request is under way.
        QQuickItem *button = p.item(u"signInButton"_s);
        QString busyText;
        bool busyEnabled = true;
        connect(p.auth.get(), &AuthController::isLoadingChanged, button, [&] {
            if (p.auth->isLoading()) {
                busyText = textOf(button);
                busyEnabled = button->isEnabled();
            }
        });
        p.click(button);
        QTRY_COMPARE(p.server.requests(login).size(), 1); // its body: tst_authcontroller
        QCOMPARE(busyText, u"Signing in"_s);
        QVERIFY(!busyEnabled);

        QQuickItem *errorToast = p.item(u"errorToast"_s);
        // Signed in, the typed password goes at once and the field hides again; so it does
        // at the sign-out, for the next account.
        const auto forgotten = [passwordField] {
            return textOf(passwordField).isEmpty() &&
                   passwordField->property("echoMode").toInt() == kHidden;
        };
        if (toast.isEmpty()) {
            QVERIFY(p.showsScreen(u"broadcastScreen"_s, 2));
            QVERIFY(forgotten() && !errorToast->isVisible());
            passwordField->setProperty("text", u"left behind"_s);
            passwordField->setProperty("echoMode", kShown);
            p.click(u"logoutButton"_s);
            p.click(u"logoutConfirmButton"_s);
            QTRY_COMPARE(p.depth(), 1);
            QVERIFY(forgotten());
            QCOMPARE(textOf(p.item(u"userField"_s)), email);
            return;
        }
        QTRY_VERIFY(errorToast->isVisible());
        QCOMPARE(textOf(p.item(u"errorToastText"_s)), toast);
        QCOMPARE(p.depth(), 1);
        // The form is usable again and keeps what was typed.
        QTRY_VERIFY(button->isEnabled());
        QCOMPARE(textOf(button), u"Sign In"_s);
        QCOMPARE(textOf(p.item(u"userField"_s)), email);
    }

    void updatePrompt_data() {
        columns<QString, QString, bool, QString>("minimum", "notes", "mandatory", "download");
        row("optional, with notes", "1.0.0", "Faster start-up.", false,
            "https://castora.example/download/1.2.0");
        // A link that is no web page is not handed to the desktop; the prompt says so.
        row("below the minimum, no notes, a local file as the link", "1.1.0", "", true,
            "/tmp/castora-setup.exe");
    }

    void updatePrompt() {
        QFETCH(QString, minimum);
        QFETCH(QString, notes);
        QFETCH(bool, mandatory);
        QFETCH(QString, download);
        const bool web = download.startsWith(u"https:"_s);
        UiProgram &p = *m_program;
        p.server.state().versionInfo = QJsonObject{
            {u"latest_version"_s, u"1.2.0"_s},     {u"minimum_version"_s, minimum},
            {u"download_url_windows"_s, download}, {u"download_url_macos"_s, download},
            {u"release_notes"_s, notes},           {u"max_dismissals"_s, 3},
        };
        QVERIFY(p.start());
        QQuickItem *prompt = p.item(u"updateDialog"_s);
        QTRY_VERIFY(prompt->isVisible());
        QCOMPARE(textOf(p.item(u"latestVersionLabel"_s)), u"1.2.0"_s);
        QCOMPARE(p.item(u"releaseNotesLabel"_s)->isVisible(), !notes.isEmpty());
        QCOMPARE(p.item(u"mandatoryWarning"_s)->isVisible(), mandatory);
        QQuickItem *later = p.item(u"laterButton"_s);
        QCOMPARE(later->isVisible(), !mandatory);

        // "Update Now" opens the download page and leaves the prompt in place.
        QVERIFY(!p.item(u"downloadFailedLabel"_s)->isVisible());
        if (!web)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Update download link refused"));
        p.click(p.item(u"updateNowButton"_s));
        QCOMPARE(m_opened, web ? QList<QUrl>{QUrl(download)} : QList<QUrl>{});
        QCOMPARE(p.item(u"downloadFailedLabel"_s)->isVisible(), !web);
        QVERIFY(prompt->isVisible());

        // Nothing behind the prompt can be used: a click on the sign-up link beside the card
        // opens nothing, and neither Tab, Escape nor typing reach the form. The keyboard focus
        // stays on the prompt's buttons.
        p.click(p.item(u"signUpLink"_s));
        QCOMPARE(m_opened.size(), web ? 1 : 0);
        QQuickItem *userField = p.item(u"userField"_s);
        QQuickItem *updateNow = p.item(u"updateNowButton"_s);
        for (QQuickItem *focused : {later, updateNow}) {
            QTest::keyClick(p.window, Qt::Key_Tab);
            QCOMPARE(p.window->activeFocusItem(), mandatory ? updateNow : focused);
        }
        castora::test::typeText(p.window, u"typed behind"_s);
        QCOMPARE(textOf(userField), QString());
        if (mandatory) {
            QTest::keyClick(p.window, Qt::Key_Escape);
            QVERIFY(prompt->isVisible());
            return;
        }
        QTest::keyClick(p.window, Qt::Key_Tab);
        QTest::keyClick(p.window, Qt::Key_Space);
        QTRY_VERIFY(!prompt->isVisible());
        QCOMPARE(settings::dismissCount(), 1);
        p.type(userField, u"me"_s);
        QCOMPARE(textOf(userField), u"me"_s);
    }
};

CASTORA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
