// The common request rules as the backend sees them on the wire.
#include "BackendRequest.h"
#include "DevServer.h"
#include "ServiceConfig.h"
#include "SettingsStore.h"
#include "TestMain.h"

#include <QNetworkAccessManager>

#include <memory>

using namespace castora;
using castora::dev::DevServer;
using castora::dev::RecordedRequest;
using castora::test::row;

Q_DECLARE_METATYPE(castora::api::Auth)

class TestBackendRequest : public QObject {
    Q_OBJECT

    std::unique_ptr<DevServer> m_server;
    ServiceConfig m_config;
    QNetworkAccessManager m_nam;

    RecordedRequest roundTrip(QNetworkReply *reply) {
        bool done = false;
        api::onFinished(reply, this, [&](const api::Reply &) { done = true; });
        if (!QTest::qWaitFor([&] { return done; }, 5000))
            qFatal("no reply");
        return m_server->requests().last();
    }

private slots:
    void init() {
        m_server = std::make_unique<DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_config = ServiceConfig::local(m_server->port());
        settings::clearToken();
    }

    void cleanup() { m_server.reset(); }

    void addressForms() {
        // A base URL with a trailing slash gives no double slash; suffixes go in unchanged.
        ServiceConfig slash = m_config;
        slash.backendUrl += '/';
        QCOMPARE(slash.endpoint("api/stats/").path(), QString("/api/stats/"));
        QCOMPARE(m_config.endpoint("api/auth/login"), m_config.apiUrl("auth/login"));
        roundTrip(api::get(m_nam, m_config.endpoint("api/comment/"), {api::Auth::None}));
        QCOMPARE(m_server->requests().last().path, QString("api/comment/"));
    }

    void authorizationHeader_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<api::Auth>("auth");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("value");
        // A token stored and sent with Bearer, BearerIfStored or not at all (None) is checked
        // where the controllers send it: sign-in, saved-token check, update check.
        const auto bearer = api::Auth::Bearer, ifStored = api::Auth::BearerIfStored;
        row("bearer, nothing stored", "", bearer, true, QByteArray("Bearer "));
        row("if stored, nothing stored", "", ifStored, false, QByteArray());
        row("non-ASCII token as UTF-8", QStringLiteral("jeton-é"), bearer, true,
            QByteArray("Bearer jeton-\xc3\xa9"));
    }

    void authorizationHeader() {
        QFETCH(QString, stored);
        QFETCH(api::Auth, auth);
        QFETCH(bool, present);
        QFETCH(QByteArray, value);
        if (!stored.isEmpty())
            settings::setToken(stored);
        const RecordedRequest request =
            roundTrip(api::get(m_nam, m_config.endpoint("api/app/version"), {auth}));
        // The server trims trailing blanks of header values: compare the request as built too.
        QCOMPARE(api::request(QUrl("http://x/"), {auth}).rawHeader("Authorization"), value);
        QCOMPARE(request.hasHeader("Authorization"), present);
        QCOMPARE(request.header("Authorization"), value.trimmed());
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    }

    // JSON bodies go in the indented serialisation; a POST without a body carries no
    // Content-Type. (Multipart posts and GETs without Accept are checked where they are used:
    // recording uploads, the internet probe.)
    void bodies() {
        settings::setToken("tok");
        const QUrl url = m_config.endpoint("api/channel/start-stream");
        RecordedRequest request = roundTrip(api::postJson(m_nam, url, {}));
        QCOMPARE(request.method, QString("POST"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.body, QByteArray("{\n}\n"));
        request = roundTrip(api::postJson(m_nam, url, {{"email", "a@b"}}));
        QCOMPARE(request.body, QByteArray("{\n    \"email\": \"a@b\"\n}\n"));
        request = roundTrip(api::postEmpty(m_nam, url));
        QVERIFY(!request.hasHeader("Content-Type"));
        QVERIFY(request.body.isEmpty());
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok"));
    }
};

CASTORA_TEST_MAIN(TestBackendRequest)
#include "tst_backendrequest.moc"
