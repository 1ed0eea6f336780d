// Sign-in session against the stand-in backend: saved-token check, sign-in, sign-out.
#include "AuthController.h"
#include "NetworkAccess.h"
#include "SettingsStore.h"
#include "StandInBackend.h"
#include "TestMain.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>

#include <memory>

#include <sys/stat.h>

using namespace castora;
using castora::dev::DevState;
using castora::test::columns;
using castora::test::row;

// A sign-in: the password typed, the backend's fault, a token left in the store, the failure
// told (empty: success) and how often loggedIn was notified.
struct SignIn {
    QString password, fault, stale, failure;
    int loggedInSignals;
};

class TestAuthController : public QObject {
    Q_OBJECT

    test::StandInBackend m_backend;
    const QString m_email = DevState::kDemoEmail;
    const QString m_password = DevState::kDemoPassword;

    void signIn(AuthController &auth) {
        auth.login(m_email, m_password);
        QTRY_VERIFY(auth.loggedIn());
    }

private slots:
    // A backend that never answers fails a request after this long without progress. Files
    // are readable by everybody unless the program says otherwise, as most desktops set it.
    void initTestCase() {
        net::setTransferTimeout(std::chrono::milliseconds(3000));
        ::umask(022);
    }

    void init() { QVERIFY(m_backend.start()); }

    void savedTokenCheckAtStart_data() {
        // "valid", "refused" (a stale token), "offline" (a stale token, nothing listening),
        // empty (nothing stored), or a valid token and the backend's fault (StandInBackend::fail)
        columns<QString, bool>("stored", "loggedIn");
        row("first start, nothing stored", "", false);
        row("saved token accepted", "valid", true);
        row("saved token refused", "refused", false);
        row("backend unreachable", "offline", false);
        row("backend accepts and never answers", "hang", false);
        row("redirected to another origin", "redirect", false);
    }

    void savedTokenCheckAtStart() {
        QFETCH(QString, stored);
        QFETCH(bool, loggedIn);
        const QString token = stored == "refused" || stored == "offline"
                                  ? QStringLiteral("7|no-longer-valid")
                              : stored.isEmpty() ? QString()
                                                 : m_backend->state().issueToken(m_email);
        settings::setToken(token);
        const QString path = "api/channel/user-channel";
        if (stored == "offline")
            m_backend.stop();
        else if (stored != "valid" && stored != "refused")
            m_backend.fail(stored, path);

        auto auth = std::make_unique<AuthController>(m_backend.client());
        if (token.isEmpty()) {
            QCOMPARE(auth->startUp(), false); // decided during construction, without a request
            QCOMPARE(m_backend->requests().size(), 0);
        } else {
            QCOMPARE(auth->startUp(), true);
            QTRY_COMPARE(auth->startUp(), false);
            // The bearer token never reaches another origin; the check fails there.
            QCOMPARE(m_backend.elsewhere().requests().size(), 0);
            if (m_backend.isRunning()) {
                const auto request = m_backend->requests(path).value(0);
                QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
                QCOMPARE(request.header("Accept"), QByteArray("application/json"));
            }
        }
        QCOMPARE(auth->loggedIn(), loggedIn);
        QCOMPARE(auth->isTokenExpired(), !loggedIn);
        QVERIFY(auth->token().isEmpty());   // only a sign-in of this run sets it
        QCOMPARE(settings::token(), token); // a refused or unchecked token stays stored
    }

    void signIn_data() {
        QTest::addColumn<SignIn>("given");
        const QString demo = DevState::kDemoPassword;
        const QString invalid = "Invalid email or password";
        const QString failed = "Login Failed. Please check your email and password";
        const QString noAnswer =
            "Login Failed. The server did not answer in time, please try again.";
        row("success", SignIn{demo, "", "", "", 1});
        row("success, stale token sent along", SignIn{demo, "", "3|old", "", 1});
        row("wrong password", SignIn{"nope", "", "", invalid, 0});
        row("password not trimmed", SignIn{demo + ' ', "", "", invalid, 0});
        row("server error", SignIn{demo, "status 500", "", failed, 1});
        row("backend never answers", SignIn{demo, "hang", "", noAnswer, 1});
        row("garbage body", SignIn{demo, "malformed", "", invalid, 0});
    }

    void signIn() {
        QFETCH(SignIn, given);
        const auto &[password, fault, stale, failure, loggedInSignals] = given;
        auto auth = std::make_unique<AuthController>(m_backend.client());
        settings::setToken(stale);
        m_backend.fail(fault);

        QSignalSpy loggedIn(auth.get(), &AuthController::loggedInChanged);
        QSignalSpy failed(auth.get(), &AuthController::loginFailed);
        auth->login(m_email, password);
        QCOMPARE(auth->isLoading(), true);
        QTRY_COMPARE(auth->isLoading(), false);

        const auto request = m_backend->requests("api/auth/login").value(0);
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.hasHeader("Authorization"), !stale.isEmpty());
        QCOMPARE(request.bearerToken(), stale.toUtf8());
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.value("email").toString(), m_email);
        QCOMPARE(body.value("password").toString(), password);

        QCOMPARE(loggedIn.size(), loggedInSignals);
        QCOMPARE(failed.size(), failure.isEmpty() ? 0 : 1);
        QCOMPARE(auth->loggedIn(), failure.isEmpty());
        if (failure.isEmpty()) {
            QVERIFY(auth->hasChannel() && m_backend->state().isValidToken(auth->token()));
            QCOMPARE(settings::token(), auth->token());
        } else {
            QCOMPARE(failed.first().first().toString(), failure);
            QCOMPARE(settings::token(), stale);
        }
    }

    // Signing out offline (the backend never hears of it), then signing in again and out online.
    void signOut() {
        // The token's file is the user's alone, also when an older release left it readable:
        // tightened by a run that only reads the saved token, and kept so by a sign-in.
        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/Castora";
        const QString file = folder + "/mic.conf";
        QSettings(QSettings::NativeFormat, QSettings::UserScope, "Castora", "mic")
            .setValue("update/dismissCount", 1);
        QCOMPARE(::chmod(QFile::encodeName(file).constData(), 0644), 0);
        QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
        const auto isPrivate = [&] {
            return test::modeOf(file) == 0600 && test::modeOf(folder) == 0700;
        };
        auto auth = std::make_unique<AuthController>(m_backend.client());
        QVERIFY(isPrivate());
        for (const bool online : {false, true}) {
            signIn(*auth); // the same account again: its new token stored
            QVERIFY(isPrivate() && settings::token() == auth->token());
            const QString token = auth->token();
            if (!online)
                m_backend.fail("drop", "api/auth/logout");
            QSignalSpy loggedIn(auth.get(), &AuthController::loggedInChanged);
            QSignalSpy signedOut(auth.get(), &AuthController::signedOut);
            auth->logout();
            QCOMPARE(signedOut.size(), 1); // everything of the account is reset on this one signal
            QCOMPARE(loggedIn.size(), 1);  // at once
            QVERIFY(!auth->loggedIn() && auth->isTokenExpired());
            QTRY_COMPARE(loggedIn.size(), 2); // and again when the reply arrives

            const auto request = m_backend->requests("api/auth/logout").last();
            QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
            QVERIFY(!request.hasHeader("Content-Type"));
            QCOMPARE(m_backend->state().isValidToken(token), !online);

            // Neither the store nor the property keeps the token, so the next start shows the
            // form even when the backend never heard of the sign-out.
            QVERIFY(auth->token().isEmpty() && settings::token().isEmpty());
            QCOMPARE(AuthController(m_backend.client()).startUp(), false);
        }
    }
};

CASTORA_TEST_MAIN(TestAuthController)
#include "tst_authcontroller.moc"
