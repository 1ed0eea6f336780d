// Sign-in session against the stand-in backend: saved-token check, sign-in, sign-out.
#include "AuthController.h"
#include "DevServer.h"
#include "NetworkClient.h"
#include "SettingsStore.h"
#include "TestMain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

#include <memory>

using namespace castora;
using castora::dev::DevServer;
using castora::dev::DevState;

class TestAuthController : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevServer> m_server;
    std::unique_ptr<NetworkClient> m_client;

    std::unique_ptr<AuthController> makeController() {
        return std::make_unique<AuthController>(*m_client);
    }

    QString demoToken() {
        return m_server->state().issueToken(QString::fromLatin1(DevState::kDemoEmail));
    }

private slots:
    void init() {
        settings::clearToken();
        m_server = std::make_unique<DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_client = std::make_unique<NetworkClient>(ServiceConfig::local(m_server->port()));
    }

    void cleanup() {
        m_client.reset();
        m_server.reset();
    }

    void savedTokenCheckAtStart_data() {
        QTest::addColumn<QString>("stored"); // "valid", "refused", "offline" or empty
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<bool>("expired");
        QTest::newRow("first start, nothing stored") << "" << false << true;
        QTest::newRow("saved token accepted") << "valid" << true << false;
        QTest::newRow("saved token refused") << "refused" << false << true;
        QTest::newRow("backend unreachable") << "offline" << false << true;
    }

    void savedTokenCheckAtStart() {
        QFETCH(QString, stored);
        QFETCH(bool, loggedIn);
        QFETCH(bool, expired);
        QString token;
        if (stored == QLatin1String("valid"))
            token = demoToken();
        else if (!stored.isEmpty())
            token = QStringLiteral("7|no-longer-valid");
        if (!token.isEmpty())
            settings::setToken(token);
        if (stored == QLatin1String("offline")) {
            m_server.reset(); // the port now refuses connections
        }

        auto auth = makeController();
        if (token.isEmpty()) {
            // decided during construction, without a request
            QCOMPARE(auth->startUp(), false);
            QCOMPARE(m_server->requests().size(), 0);
        } else {
            QCOMPARE(auth->startUp(), true);
            QTRY_COMPARE(auth->startUp(), false);
            if (m_server) {
                const auto request =
                    m_server->requests(QStringLiteral("api/channel/user-channel")).value(0);
                QCOMPARE(request.method, QStringLiteral("GET"));
                QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
                QCOMPARE(request.header("Accept"), QByteArray("application/json"));
            }
        }
        QCOMPARE(auth->loggedIn(), loggedIn);
        QCOMPARE(auth->isTokenExpired(), expired);
        QVERIFY(auth->token().isEmpty());   // only a sign-in of this run sets it
        QCOMPARE(settings::token(), token); // a refused or unchecked token stays stored
    }

    void signIn_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("failure"); // empty: success
        QTest::addColumn<int>("loggedInSignals");
        const QString demo = QString::fromLatin1(DevState::kDemoPassword);
        QTest::newRow("success") << demo << ""
                                 << "" << 1;
        QTest::newRow("wrong password") << "nope"
                                        << ""
                                        << "Invalid email or password" << 0;
        QTest::newRow("password not trimmed") << demo + QLatin1Char(' ') << ""
                                              << "Invalid email or password" << 0;
        QTest::newRow("HTTP 401") << demo << "401"
                                  << "Login Failed. Please check your email and password" << 1;
        QTest::newRow("server error") << demo << "500"
                                      << "Login Failed. Please check your email and password" << 1;
        QTest::newRow("connection dropped")
            << demo << "drop"
            << "Login Failed. Please check your email and password" << 1;
        QTest::newRow("garbage body") << demo << "malformed"
                                      << "Invalid email or password" << 0;
    }

    void signIn() {
        QFETCH(QString, password);
        QFETCH(QString, fault);
        QFETCH(QString, failure);
        QFETCH(int, loggedInSignals);
        auto auth = makeController();
        QCOMPARE(auth->startUp(), false);
        if (fault == QLatin1String("drop"))
            m_server->dropNext(10);
        else if (fault == QLatin1String("malformed"))
            m_server->malformNext(1);
        else if (!fault.isEmpty())
            m_server->failNext(1, fault.toInt());

        QSignalSpy loggedIn(auth.get(), &AuthController::loggedInChanged);
        QSignalSpy failed(auth.get(), &AuthController::loginFailed);
        QSignalSpy loading(auth.get(), &AuthController::isLoadingChanged);
        const QString email = QString::fromLatin1(DevState::kDemoEmail);
        auth->login(email, password);
        QCOMPARE(auth->isLoading(), true);
        QTRY_COMPARE(auth->isLoading(), false);
        QCOMPARE(loading.size(), 2);

        const auto request = m_server->requests(QStringLiteral("api/auth/login")).value(0);
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization")); // nothing stored yet
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.value(QStringLiteral("email")).toString(), email);
        QCOMPARE(body.value(QStringLiteral("password")).toString(), password);

        QCOMPARE(loggedIn.size(), loggedInSignals);
        if (failure.isEmpty()) {
            QCOMPARE(failed.size(), 0);
            QVERIFY(auth->loggedIn());
            QVERIFY(auth->hasChannel());
            QVERIFY(!auth->token().isEmpty());
            QCOMPARE(settings::token(), auth->token());
            QVERIFY(m_server->state().isValidToken(auth->token()));
        } else {
            QCOMPARE(failed.size(), 1);
            QCOMPARE(failed.first().first().toString(), failure);
            QVERIFY(!auth->loggedIn());
            QVERIFY(settings::token().isEmpty());
        }
    }

    void tokenPersistedOnlyWhenChanged() {
        auto auth = makeController();
        QSignalSpy changed(auth.get(), &AuthController::tokenChanged);
        auth->setToken(QStringLiteral("a"));
        auth->setToken(QStringLiteral("a"));
        QCOMPARE(changed.size(), 1);
        QCOMPARE(settings::token(), QStringLiteral("a"));
        // a later sign-in sends the stored token along
        auth->login(QString::fromLatin1(DevState::kDemoEmail),
                    QString::fromLatin1(DevState::kDemoPassword));
        QTRY_COMPARE(auth->isLoading(), false);
        QCOMPARE(
            m_server->requests(QStringLiteral("api/auth/login")).value(0).header("Authorization"),
            QByteArray("Bearer a"));
    }

    void signOut_data() {
        QTest::addColumn<bool>("online");
        QTest::newRow("backend reachable") << true;
        QTest::newRow("offline") << false;
    }

    void signOut() {
        QFETCH(bool, online);
        auto auth = makeController();
        auth->login(QString::fromLatin1(DevState::kDemoEmail),
                    QString::fromLatin1(DevState::kDemoPassword));
        QTRY_VERIFY(auth->loggedIn());
        const QString token = auth->token();
        if (!online)
            m_server->dropNext(10, QStringLiteral("api/auth/logout"));

        QSignalSpy loggedIn(auth.get(), &AuthController::loggedInChanged);
        auth->logout();
        QCOMPARE(loggedIn.size(), 1); // at once
        QVERIFY(!auth->loggedIn());
        QVERIFY(auth->isTokenExpired());
        QTRY_COMPARE(loggedIn.size(), 2); // and again when the reply arrives

        const auto request = m_server->requests(QStringLiteral("api/auth/logout")).value(0);
        QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());
        QVERIFY(!request.hasHeader("Content-Type"));
        QCOMPARE(m_server->state().isValidToken(token), !online);

        // Neither the store nor the property keeps the token, so the next start shows the form
        // even when the backend never heard of the sign-out.
        QVERIFY(auth->token().isEmpty());
        QVERIFY(settings::token().isEmpty());
        auto nextRun = makeController();
        QCOMPARE(nextRun->startUp(), false);
        QCOMPARE(nextRun->loggedIn(), false);

        // Signing in again with the same account stores the new token.
        auth->login(QString::fromLatin1(DevState::kDemoEmail),
                    QString::fromLatin1(DevState::kDemoPassword));
        QTRY_VERIFY(auth->loggedIn());
        QCOMPARE(settings::token(), auth->token());
    }
};

CASTORA_TEST_MAIN(TestAuthController)
#include "tst_authcontroller.moc"
