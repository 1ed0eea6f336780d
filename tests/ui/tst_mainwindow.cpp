// The real main window document, driven with mouse clicks and key presses on an offscreen
// window, against the stand-in backend: sign-in, the session check at start-up, the error
// toast, the web links and the update prompt.
#include "SettingsStore.h"
#include "TestMain.h"
#include "UiProgram.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickStyle>
#include <QRegularExpression>

using namespace castora;
using namespace Qt::StringLiterals;
using castora::dev::DevState;
using castora::test::UiProgram;

namespace {
const QString kDemoEmail = QString::fromLatin1(DevState::kDemoEmail);
const QString kDemoPassword = QString::fromLatin1(DevState::kDemoPassword);
const QString kInvalidCredentials = u"Invalid email or password"_s;
const QString kLoginFailed = u"Login Failed. Please check your email and password"_s;
} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

public slots:
    // Stands in for the desktop's browser (Qt.openUrlExternally, QDesktopServices::openUrl).
    void openUrl(const QUrl &url) { m_opened.append(url); }

private:
    std::unique_ptr<UiProgram> m_program;
    QList<QUrl> m_opened;

private slots:
    void initTestCase() {
        QQuickStyle::setStyle(u"Fusion"_s);
        // Pixels do not matter here; the software renderer works on every machine.
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        QDesktopServices::setUrlHandler(u"http"_s, this, "openUrl");
        QDesktopServices::setUrlHandler(u"https"_s, this, "openUrl");
    }

    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler(u"http"_s);
        QDesktopServices::unsetUrlHandler(u"https"_s);
    }

    void init() {
        // Any warning from the documents (binding errors, type errors) fails the test.
        QTest::failOnWarning(QRegularExpression(u"qrc:/Castora_V2/"_s));
        settings::clearToken();
        settings::setDismissCount(0);
        settings::setPendingVersion(QString());
        m_opened.clear();
        m_program = std::make_unique<UiProgram>();
        QVERIFY(m_program->listen());
    }

    void cleanup() { m_program.reset(); }

    void signIn_data() {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("failWith");  // HTTP status of the sign-in reply, 0: as the backend
        QTest::addColumn<QString>("toast"); // empty: the broadcast screen is pushed

        QTest::newRow("demo account") << kDemoEmail << kDemoPassword << 0 << QString();
        QTest::newRow("wrong password")
            << kDemoEmail << u"not the password"_s << 0 << kInvalidCredentials;
        QTest::newRow("sent as typed, not trimmed")
            << u" %1 "_s.arg(kDemoEmail) << kDemoPassword << 0 << kInvalidCredentials;
        QTest::newRow("empty fields") << QString() << QString() << 0 << kLoginFailed;
        QTest::newRow("backend error") << kDemoEmail << kDemoPassword << 500 << kLoginFailed;
    }

    void signIn() {
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(int, failWith);
        QFETCH(QString, toast);
        UiProgram &p = *m_program;
        if (failWith)
            p.server.failNext(1, failWith, u"api/auth/login"_s);
        QVERIFY(p.start());
        QVERIFY(p.item(u"signInForm"_s)->isVisible());
        QVERIFY(!p.item(u"waitingGroup"_s)->isVisible());
        if (!email.isEmpty())
            p.type(p.item(u"userField"_s), email);
        if (!password.isEmpty())
            p.type(p.item(u"passwordField"_s), password);

        // What the button shows the moment the request is under way.
        QQuickItem *button = p.item(u"signInButton"_s);
        QString busyText;
        bool busyEnabled = true;
        connect(p.auth.get(), &AuthController::isLoadingChanged, button, [&] {
            if (p.auth->isLoading()) {
                busyText = button->property("text").toString();
                busyEnabled = button->isEnabled();
            }
        });
        p.click(button);

        const QString login = u"api/auth/login"_s;
        QTRY_COMPARE(p.server.requests(login).size(), 1);
        const QJsonObject body =
            QJsonDocument::fromJson(p.server.requests(login).first().body).object();
        QCOMPARE(body.value(u"email"_s).toString(), email);
        QCOMPARE(body.value(u"password"_s).toString(), password);
        QCOMPARE(busyText, u"Signing in"_s);
        QVERIFY(!busyEnabled);

        QQuickItem *errorToast = p.item(u"errorToast"_s);
        if (toast.isEmpty()) {
            QTRY_COMPARE(p.depth(), 2);
            QCOMPARE(p.currentScreen()->objectName(), u"broadcastScreen"_s);
            QVERIFY(!errorToast->isVisible());
            return;
        }
        QTRY_VERIFY(errorToast->isVisible());
        QCOMPARE(p.item(u"errorToastText"_s)->property("text").toString(), toast);
        QCOMPARE(p.depth(), 1);
        // The form is usable again and keeps what was typed.
        QTRY_VERIFY(button->isEnabled());
        QCOMPARE(button->property("text").toString(), u"Sign In"_s);
        QCOMPARE(p.item(u"userField"_s)->property("text").toString(), email);
    }

    void errorToastShowsTheLatestMessage() {
        UiProgram &p = *m_program;
        QVERIFY(p.start());
        QQuickItem *button = p.item(u"signInButton"_s);
        QQuickItem *errorToast = p.item(u"errorToast"_s);
        QQuickItem *toastText = p.item(u"errorToastText"_s);
        p.type(p.item(u"userField"_s), kDemoEmail);
        p.type(p.item(u"passwordField"_s), u"wrong"_s);
        p.click(button);
        QTRY_COMPARE(toastText->property("text").toString(), kInvalidCredentials);
        QTRY_COMPARE(errorToast->opacity(), 1.0);

        // A second failure while the first message fades out replaces it and starts the
        // sequence over: the toast comes back to full opacity, then fades out completely.
        QTRY_VERIFY_WITH_TIMEOUT(errorToast->opacity() < 1.0, 15000);
        p.server.failNext(1, 503, u"api/auth/login"_s);
        p.click(button);
        QTRY_COMPARE(toastText->property("text").toString(), kLoginFailed);
        QTRY_COMPARE(errorToast->opacity(), 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(!errorToast->isVisible(), 15000);
    }

    void savedSessionAtStart_data() {
        QTest::addColumn<bool>("accepted");
        QTest::newRow("accepted: straight to the broadcast screen") << true;
        QTest::newRow("refused: the form") << false;
    }

    void savedSessionAtStart() {
        QFETCH(bool, accepted);
        UiProgram &p = *m_program;
        settings::setToken(accepted ? p.server.state().issueToken(kDemoEmail) : u"42|expired"_s);
        QVERIFY(p.start());
        QTRY_VERIFY(!p.item(u"waitingGroup"_s)->isVisible());
        QTRY_COMPARE(p.depth(), accepted ? 2 : 1);
        QCOMPARE(p.currentScreen()->objectName(),
                 accepted ? u"broadcastScreen"_s : u"loginScreen"_s);
        if (!accepted)
            QVERIFY(p.item(u"signInForm"_s)->isVisible());
    }

    void passwordVisibilityToggle() {
        UiProgram &p = *m_program;
        QVERIFY(p.start());
        QQuickItem *field = p.item(u"passwordField"_s);
        QQuickItem *toggle = p.item(u"passwordVisibilityToggle"_s);
        p.type(field, u"secret"_s);
        for (const bool shown : {false, true, false}) {
            QCOMPARE(field->property("displayText").toString() == QLatin1String("secret"), shown);
            QCOMPARE(toggle->property("source").toUrl().fileName(),
                     shown ? u"visibility_on.png"_s : u"visibility_off.png"_s);
            p.click(toggle);
        }
        QCOMPARE(field->property("text").toString(), u"secret"_s);
    }

    void webLinks_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("page");
        QTest::newRow("forgotten password") << "forgotPasswordLink"
                                            << "forgotpassword";
        QTest::newRow("sign up") << "signUpLink"
                                 << "signup";
    }

    void webLinks() {
        QFETCH(QString, link);
        QFETCH(QString, page);
        UiProgram &p = *m_program;
        QVERIFY(p.start());
        p.click(p.item(link));
        QCOMPARE(m_opened,
                 QList<QUrl>{QUrl(p.client->config().websiteUrl + QLatin1Char('/') + page)});
    }

    void updatePrompt_data() {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<int>("maxDismissals");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<bool>("mandatory");

        QTest::newRow("optional, with notes")
            << "1.2.0"
            << "1.0.0" << 3 << "Faster start-up and a clearer level meter." << false;
        QTest::newRow("optional, no notes") << "1.2.1"
                                            << "1.0.0" << 3 << "" << false;
        QTest::newRow("below the minimum version") << "1.3.0"
                                                   << "1.1.0" << 3 << "Security fixes." << true;
        QTest::newRow("no dismissal allowed") << "1.4.0"
                                              << "1.0.0" << 0 << "" << true;
    }

    void updatePrompt() {
        QFETCH(QString, latest);
        QFETCH(QString, minimum);
        QFETCH(int, maxDismissals);
        QFETCH(QString, notes);
        QFETCH(bool, mandatory);
        UiProgram &p = *m_program;
        const QString download = u"https://castora.example/download/%1"_s.arg(latest);
        p.server.state().versionInfo = QJsonObject{
            {u"latest_version"_s, latest},
            {u"minimum_version"_s, minimum},
            {u"download_url_windows"_s, download},
            {u"download_url_macos"_s, u"https://castora.example/mac"_s},
            {u"release_notes"_s, notes},
            {u"max_dismissals"_s, maxDismissals},
        };
        QVERIFY(p.start());
        QQuickItem *prompt = p.item(u"updateDialog"_s);
        QTRY_VERIFY(prompt->isVisible());
        QCOMPARE(p.server.requests(u"api/app/version"_s).size(), 1);
        QCOMPARE(p.item(u"latestVersionLabel"_s)->property("text").toString(), latest);
        QCOMPARE(p.item(u"currentVersionLabel"_s)->property("text").toString(), u"1.0.0"_s);
        QCOMPARE(p.item(u"releaseNotesLabel"_s)->isVisible(), !notes.isEmpty());
        QCOMPARE(p.item(u"mandatoryWarning"_s)->isVisible(), mandatory);
        QQuickItem *later = p.item(u"laterButton"_s);
        QCOMPARE(later->isVisible(), !mandatory);

        // "Update Now" opens the download page and leaves the prompt in place.
        p.click(p.item(u"updateNowButton"_s));
        QCOMPARE(m_opened, QList<QUrl>{QUrl(download)});
        QVERIFY(prompt->isVisible());

        // Nothing behind the prompt can be used: a click on the sign-up link beside the card
        // opens nothing, and neither Tab nor typing reach the form.
        p.click(p.item(u"signUpLink"_s));
        QCOMPARE(m_opened.size(), 1);
        QQuickItem *userField = p.item(u"userField"_s);
        QTest::keyClick(p.window, Qt::Key_Tab);
        castora::test::typeText(p.window, u"typed behind"_s);
        QCOMPARE(userField->property("text").toString(), QString());
        if (mandatory)
            return;
        p.click(later);
        QTRY_VERIFY(!prompt->isVisible());
        QCOMPARE(settings::dismissCount(), 1);
        p.type(userField, u"me"_s);
        QCOMPARE(userField->property("text").toString(), u"me"_s);
    }
};

CASTORA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
