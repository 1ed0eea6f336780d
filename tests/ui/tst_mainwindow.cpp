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
using castora::dev::DevState;
using castora::test::UiProgram;

namespace {
const QString kDemoEmail = QString::fromLatin1(DevState::kDemoEmail);
const QString kDemoPassword = QString::fromLatin1(DevState::kDemoPassword);
const QString kInvalidCredentials = QStringLiteral("Invalid email or password");
const QString kLoginFailed = QStringLiteral("Login Failed. Please check your email and password");
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
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        // Pixels do not matter here; the software renderer works on every machine.
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
        QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    }

    void cleanupTestCase() {
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    }

    void init() {
        // Any warning from the documents (binding errors, type errors) fails the test.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("qrc:/Castora_V2/")));
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
            << kDemoEmail << QStringLiteral("not the password") << 0 << kInvalidCredentials;
        QTest::newRow("sent as typed, not trimmed")
            << QStringLiteral(" %1 ").arg(kDemoEmail) << kDemoPassword << 0 << kInvalidCredentials;
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
            p.server.failNext(1, failWith, QStringLiteral("api/auth/login"));
        QVERIFY(p.start());
        QVERIFY(p.item(QStringLiteral("signInForm"))->isVisible());
        QVERIFY(!p.item(QStringLiteral("waitingGroup"))->isVisible());
        if (!email.isEmpty())
            p.type(p.item(QStringLiteral("userField")), email);
        if (!password.isEmpty())
            p.type(p.item(QStringLiteral("passwordField")), password);

        // What the button shows the moment the request is under way.
        QQuickItem *button = p.item(QStringLiteral("signInButton"));
        QString busyText;
        bool busyEnabled = true;
        connect(p.auth.get(), &AuthController::isLoadingChanged, button, [&] {
            if (p.auth->isLoading()) {
                busyText = button->property("text").toString();
                busyEnabled = button->isEnabled();
            }
        });
        p.click(button);

        const QString login = QStringLiteral("api/auth/login");
        QTRY_COMPARE(p.server.requests(login).size(), 1);
        const QJsonObject body =
            QJsonDocument::fromJson(p.server.requests(login).first().body).object();
        QCOMPARE(body.value(QStringLiteral("email")).toString(), email);
        QCOMPARE(body.value(QStringLiteral("password")).toString(), password);
        QCOMPARE(busyText, QStringLiteral("Signing in"));
        QVERIFY(!busyEnabled);

        QQuickItem *errorToast = p.item(QStringLiteral("errorToast"));
        if (toast.isEmpty()) {
            QTRY_COMPARE(p.depth(), 2);
            QCOMPARE(p.currentScreen()->objectName(), QStringLiteral("broadcastScreen"));
            QVERIFY(!errorToast->isVisible());
            return;
        }
        QTRY_VERIFY(errorToast->isVisible());
        QCOMPARE(p.item(QStringLiteral("errorToastText"))->property("text").toString(), toast);
        QCOMPARE(p.depth(), 1);
        // The form is usable again and keeps what was typed.
        QTRY_VERIFY(button->isEnabled());
        QCOMPARE(button->property("text").toString(), QStringLiteral("Sign In"));
        QCOMPARE(p.item(QStringLiteral("userField"))->property("text").toString(), email);
    }

    void errorToastShowsTheLatestMessage() {
        UiProgram &p = *m_program;
        QVERIFY(p.start());
        QQuickItem *button = p.item(QStringLiteral("signInButton"));
        QQuickItem *errorToast = p.item(QStringLiteral("errorToast"));
        QQuickItem *toastText = p.item(QStringLiteral("errorToastText"));
        p.type(p.item(QStringLiteral("userField")), kDemoEmail);
        p.type(p.item(QStringLiteral("passwordField")), QStringLiteral("wrong"));
        p.click(button);
        QTRY_COMPARE(toastText->property("text").toString(), kInvalidCredentials);
        QTRY_COMPARE(errorToast->opacity(), 1.0);

        // A second failure while the first message fades out replaces it and starts the
        // sequence over: the toast comes back to full opacity, then fades out completely.
        QTRY_VERIFY_WITH_TIMEOUT(errorToast->opacity() < 1.0, 15000);
        p.server.failNext(1, 503, QStringLiteral("api/auth/login"));
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
        settings::setToken(accepted ? p.server.state().issueToken(kDemoEmail)
                                    : QStringLiteral("42|expired"));
        QVERIFY(p.start());
        QTRY_VERIFY(!p.item(QStringLiteral("waitingGroup"))->isVisible());
        QTRY_COMPARE(p.depth(), accepted ? 2 : 1);
        QCOMPARE(p.currentScreen()->objectName(),
                 accepted ? QStringLiteral("broadcastScreen") : QStringLiteral("loginScreen"));
        if (!accepted)
            QVERIFY(p.item(QStringLiteral("signInForm"))->isVisible());
    }

    void passwordVisibilityToggle() {
        UiProgram &p = *m_program;
        QVERIFY(p.start());
        QQuickItem *field = p.item(QStringLiteral("passwordField"));
        QQuickItem *toggle = p.item(QStringLiteral("passwordVisibilityToggle"));
        p.type(field, QStringLiteral("secret"));
        for (const bool shown : {false, true, false}) {
            QCOMPARE(field->property("displayText").toString() == QLatin1String("secret"), shown);
            QCOMPARE(toggle->property("source").toUrl().fileName(),
                     shown ? QStringLiteral("visibility_on.png")
                           : QStringLiteral("visibility_off.png"));
            p.click(toggle);
        }
        QCOMPARE(field->property("text").toString(), QStringLiteral("secret"));
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
        const QString download = QStringLiteral("https://castora.example/download/%1").arg(latest);
        p.server.state().versionInfo = QJsonObject{
            {QStringLiteral("latest_version"), latest},
            {QStringLiteral("minimum_version"), minimum},
            {QStringLiteral("download_url_windows"), download},
            {QStringLiteral("download_url_macos"), QStringLiteral("https://castora.example/mac")},
            {QStringLiteral("release_notes"), notes},
            {QStringLiteral("max_dismissals"), maxDismissals},
        };
        QVERIFY(p.start());
        QQuickItem *prompt = p.item(QStringLiteral("updateDialog"));
        QTRY_VERIFY(prompt->isVisible());
        QCOMPARE(p.server.requests(QStringLiteral("api/app/version")).size(), 1);
        QCOMPARE(p.item(QStringLiteral("latestVersionLabel"))->property("text").toString(), latest);
        QCOMPARE(p.item(QStringLiteral("currentVersionLabel"))->property("text").toString(),
                 QStringLiteral("1.0.0"));
        QCOMPARE(p.item(QStringLiteral("releaseNotesLabel"))->isVisible(), !notes.isEmpty());
        QCOMPARE(p.item(QStringLiteral("mandatoryWarning"))->isVisible(), mandatory);
        QQuickItem *later = p.item(QStringLiteral("laterButton"));
        QCOMPARE(later->isVisible(), !mandatory);

        // "Update Now" opens the download page and leaves the prompt in place.
        p.click(p.item(QStringLiteral("updateNowButton")));
        QCOMPARE(m_opened, QList<QUrl>{QUrl(download)});
        QVERIFY(prompt->isVisible());

        // Nothing behind the prompt can be used: a click on the sign-up link beside the card
        // opens nothing, and neither Tab nor typing reach the form.
        p.click(p.item(QStringLiteral("signUpLink")));
        QCOMPARE(m_opened.size(), 1);
        QQuickItem *userField = p.item(QStringLiteral("userField"));
        QTest::keyClick(p.window, Qt::Key_Tab);
        castora::test::typeText(p.window, QStringLiteral("typed behind"));
        QCOMPARE(userField->property("text").toString(), QString());
        if (mandatory)
            return;
        p.click(later);
        QTRY_VERIFY(!prompt->isVisible());
        QCOMPARE(settings::dismissCount(), 1);
        p.type(userField, QStringLiteral("me"));
        QCOMPARE(userField->property("text").toString(), QStringLiteral("me"));
    }
};

CASTORA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
