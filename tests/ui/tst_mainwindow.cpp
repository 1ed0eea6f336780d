// The real main window document, driven with mouse clicks and key presses on an offscreen
// window, against the stand-in backend: sign-in, the session check at start-up, the error
// toast, the web links, the update prompt and the logout dialog.
#include "AppLinks.h"
#include "AuthController.h"
#include "DevServer.h"
#include "NetworkClient.h"
#include "QmlRegistration.h"
#include "SettingsStore.h"
#include "Startup.h"
#include "TestMain.h"
#include "UpdateController.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QRegularExpression>

#include <memory>

using namespace castora;
using castora::dev::DevServer;
using castora::dev::DevState;

namespace {

const QString kDemoEmail = QString::fromLatin1(DevState::kDemoEmail);
const QString kDemoPassword = QString::fromLatin1(DevState::kDemoPassword);
const QString kInvalidCredentials = QStringLiteral("Invalid email or password");
const QString kLoginFailed = QStringLiteral("Login Failed. Please check your email and password");

// Key presses for each (Latin-1) character of `text`, as typed on a keyboard.
void typeText(QWindow *window, const QString &text) {
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
}

QQuickItem *findItem(QQuickItem *root, const QString &name) {
    if (!root)
        return nullptr;
    if (root->objectName() == name)
        return root;
    const auto children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name))
            return found;
    }
    return nullptr;
}

// The program as the user meets it: controllers on a stand-in backend, the main document.
struct Program {
    DevServer server;
    std::unique_ptr<NetworkClient> client;
    std::unique_ptr<AppLinks> links;
    std::unique_ptr<AuthController> auth;
    std::unique_ptr<UpdateController> update;
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;

    ~Program() { engine.reset(); } // the documents go before the controllers they bind to

    // Listens; the state (accounts, version) can be set up before start().
    bool listen() {
        if (server.listen() == 0)
            return false;
        client = std::make_unique<NetworkClient>(ServiceConfig::local(server.port()));
        return true;
    }

    // Creates the controllers and loads the main window, as the program's start-up does.
    bool start() {
        links = std::make_unique<AppLinks>(client->config());
        auth = std::make_unique<AuthController>(*client);
        update = std::make_unique<UpdateController>(*client);
        qmlapi::provide(links.get());
        qmlapi::provide(auth.get());
        qmlapi::provide(update.get());
        engine = std::make_unique<QQmlApplicationEngine>();
        prepareEngine(*engine);
        engine->load(kMainDocument);
        window = qobject_cast<QQuickWindow *>(engine->rootObjects().value(0));
        return window != nullptr;
    }

    QQuickItem *item(const QString &name) const { return findItem(window->contentItem(), name); }
    QQuickItem *stackView() const { return item(QStringLiteral("stackView")); }
    int depth() const { return stackView()->property("depth").toInt(); }
    bool stackBusy() const { return stackView()->property("busy").toBool(); }
    QQuickItem *currentScreen() const {
        return stackView()->property("currentItem").value<QQuickItem *>();
    }
    QQuickItem *onScreen(const QString &name) const { return findItem(currentScreen(), name); }

    void click(QQuickItem *target) const {
        const QPointF centre(target->width() / 2, target->height() / 2);
        QTest::mouseClick(window, Qt::LeftButton, {}, target->mapToScene(centre).toPoint());
    }
    // Clicks a text field and types into it.
    void type(QQuickItem *field, const QString &text) const {
        click(field);
        typeText(window, text);
    }
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

public slots:
    // Stands in for the desktop's browser (Qt.openUrlExternally, QDesktopServices::openUrl).
    void openUrl(const QUrl &url) { m_opened.append(url); }

private:
    std::unique_ptr<Program> m_program;
    QList<QUrl> m_opened;

    Program &program() { return *m_program; }

    // Starts the program and waits until its window shows the first frame.
    bool startProgram() {
        if (!m_program->start())
            return false;
        return QTest::qWaitForWindowExposed(m_program->window);
    }

    // Types the demo account into the form and presses "Sign In"; the broadcast screen is up.
    void signInAsDemo() {
        Program &p = program();
        p.type(p.item(QStringLiteral("userField")), kDemoEmail);
        p.type(p.item(QStringLiteral("passwordField")), kDemoPassword);
        p.click(p.item(QStringLiteral("signInButton")));
        QTRY_COMPARE(p.depth(), 2);
        QTRY_VERIFY(!p.stackBusy());
        QCOMPARE(p.currentScreen()->objectName(), QStringLiteral("broadcastScreen"));
    }

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
        m_program = std::make_unique<Program>();
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
        Program &p = program();
        if (failWith)
            p.server.failNext(1, failWith, QStringLiteral("api/auth/login"));
        QVERIFY(startProgram());
        QQuickItem *form = p.item(QStringLiteral("signInForm"));
        QVERIFY(form && form->isVisible());
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

        QTRY_COMPARE(p.server.requests(QStringLiteral("api/auth/login")).size(), 1);
        const QJsonObject body =
            QJsonDocument::fromJson(
                p.server.requests(QStringLiteral("api/auth/login")).first().body)
                .object();
        QCOMPARE(body.value(QStringLiteral("email")).toString(), email);
        QCOMPARE(body.value(QStringLiteral("password")).toString(), password);
        QCOMPARE(busyText, QStringLiteral("Signing in"));
        QVERIFY(!busyEnabled);

        QQuickItem *errorToast = p.item(QStringLiteral("errorToast"));
        if (toast.isEmpty()) {
            QTRY_COMPARE(p.depth(), 2);
            QCOMPARE(p.currentScreen()->objectName(), QStringLiteral("broadcastScreen"));
            QVERIFY(!errorToast->isVisible());
        } else {
            QTRY_VERIFY(errorToast->isVisible());
            QCOMPARE(p.item(QStringLiteral("errorToastText"))->property("text").toString(), toast);
            QCOMPARE(p.depth(), 1);
            // The form is usable again and keeps what was typed.
            QTRY_VERIFY(button->isEnabled());
            QCOMPARE(button->property("text").toString(), QStringLiteral("Sign In"));
            QCOMPARE(p.item(QStringLiteral("userField"))->property("text").toString(), email);
        }
    }

    void errorToastShowsTheLatestMessage() {
        Program &p = program();
        QVERIFY(startProgram());
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
        QVERIFY(button->isEnabled());
        p.click(button);
        QTRY_COMPARE(toastText->property("text").toString(), kLoginFailed);
        QTRY_COMPARE(errorToast->opacity(), 1.0);
        QTRY_VERIFY_WITH_TIMEOUT(!errorToast->isVisible(), 15000);
        QCOMPARE(errorToast->opacity(), 0.0);
    }

    void savedSessionAtStart_data() {
        QTest::addColumn<bool>("accepted");
        QTest::newRow("accepted: straight to the broadcast screen") << true;
        QTest::newRow("refused: the form") << false;
    }

    void savedSessionAtStart() {
        QFETCH(bool, accepted);
        Program &p = program();
        settings::setToken(accepted ? p.server.state().issueToken(kDemoEmail)
                                    : QStringLiteral("42|expired"));
        QVERIFY(p.start());
        // The check is under way: only the waiting group shows.
        QVERIFY(p.item(QStringLiteral("waitingGroup"))->isVisible());
        QVERIFY(!p.item(QStringLiteral("signInForm"))->isVisible());

        QVERIFY(QTest::qWaitForWindowExposed(p.window));
        QTRY_VERIFY(!p.item(QStringLiteral("waitingGroup"))->isVisible());
        if (accepted) {
            QTRY_COMPARE(p.depth(), 2);
            QCOMPARE(p.currentScreen()->objectName(), QStringLiteral("broadcastScreen"));
        } else {
            QVERIFY(p.item(QStringLiteral("signInForm"))->isVisible());
            QCOMPARE(p.depth(), 1);
        }
    }

    void passwordVisibilityToggle() {
        Program &p = program();
        QVERIFY(startProgram());
        QQuickItem *field = p.item(QStringLiteral("passwordField"));
        QQuickItem *toggle = p.item(QStringLiteral("passwordVisibilityToggle"));
        p.type(field, QStringLiteral("secret"));
        const auto shown = [&] {
            return field->property("displayText").toString() == QLatin1String("secret");
        };
        const auto icon = [&] { return toggle->property("source").toUrl().fileName(); };

        QVERIFY(!shown());
        QCOMPARE(icon(), QStringLiteral("visibility_off.png"));
        p.click(toggle);
        QVERIFY(shown());
        QCOMPARE(icon(), QStringLiteral("visibility_on.png"));
        p.click(toggle);
        QVERIFY(!shown());
        QCOMPARE(icon(), QStringLiteral("visibility_off.png"));
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
        Program &p = program();
        QVERIFY(startProgram());
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
        Program &p = program();
        const QString download = QStringLiteral("https://castora.example/download/%1").arg(latest);
        p.server.state().versionInfo = QJsonObject{
            {QStringLiteral("latest_version"), latest},
            {QStringLiteral("minimum_version"), minimum},
            {QStringLiteral("download_url_windows"), download},
            {QStringLiteral("download_url_macos"), QStringLiteral("https://castora.example/mac")},
            {QStringLiteral("release_notes"), notes},
            {QStringLiteral("max_dismissals"), maxDismissals},
        };
        QVERIFY(startProgram());
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
        QQuickItem *card = p.item(QStringLiteral("updateCard"));
        QQuickItem *signUp = p.item(QStringLiteral("signUpLink"));
        QVERIFY(!card->mapRectToScene(card->boundingRect())
                     .intersects(signUp->mapRectToScene(signUp->boundingRect())));
        p.click(signUp);
        QCOMPARE(m_opened.size(), 1);
        QQuickItem *userField = p.item(QStringLiteral("userField"));
        QTest::keyClick(p.window, Qt::Key_Tab);
        typeText(p.window, QStringLiteral("typed behind"));
        QVERIFY(!userField->hasActiveFocus());
        QCOMPARE(userField->property("text").toString(), QString());

        if (mandatory)
            return;
        p.click(later);
        QTRY_VERIFY(!prompt->isVisible());
        QCOMPARE(settings::dismissCount(), 1);
        // The form is usable again.
        p.type(userField, QStringLiteral("me"));
        QVERIFY(userField->hasActiveFocus());
        QCOMPARE(userField->property("text").toString(), QStringLiteral("me"));
    }

    void logoutDialog_data() {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("Logout") << true;
        QTest::newRow("Cancel") << false;
    }

    void logoutDialog() {
        QFETCH(bool, confirm);
        Program &p = program();
        QVERIFY(startProgram());
        signInAsDemo();
        if (QTest::currentTestFailed())
            return;
        const QString token = p.auth->token();
        QVERIFY(!token.isEmpty());

        QQuickItem *dialog = p.onScreen(QStringLiteral("logoutDialog"));
        QVERIFY(!dialog->isVisible());
        p.click(p.onScreen(QStringLiteral("logoutButton")));
        QVERIFY(dialog->isVisible());

        if (!confirm) {
            p.click(p.onScreen(QStringLiteral("logoutCancelButton")));
            QVERIFY(!dialog->isVisible());
            QVERIFY(p.auth->loggedIn());
            QCOMPARE(p.depth(), 2);
            return;
        }

        p.click(p.onScreen(QStringLiteral("logoutConfirmButton")));
        QCOMPARE(p.auth->loggedIn(), false);
        QTRY_COMPARE(p.depth(), 1);
        QTRY_VERIFY(!p.stackBusy());
        QCOMPARE(p.currentScreen()->objectName(), QStringLiteral("loginScreen"));
        QTRY_COMPARE(p.server.requests(QStringLiteral("api/auth/logout")).size(), 1);
        QCOMPARE(p.server.requests(QStringLiteral("api/auth/logout")).first().bearerToken(),
                 token.toUtf8());
        QVERIFY(!p.server.state().isValidToken(token));

        // The form kept its input: one click signs in again and pushes one new screen.
        QCOMPARE(p.item(QStringLiteral("userField"))->property("text").toString(), kDemoEmail);
        p.click(p.item(QStringLiteral("signInButton")));
        QTRY_COMPARE(p.depth(), 2);
        QTRY_VERIFY(!p.stackBusy());
        QCOMPARE(p.depth(), 2);
        QCOMPARE(p.currentScreen()->objectName(), QStringLiteral("broadcastScreen"));
    }
};

CASTORA_GUI_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
