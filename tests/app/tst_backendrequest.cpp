// The common request rules as the backend sees them on the wire.
#include "BackendRequest.h"
#include "DevServer.h"
#include "NetworkClient.h"
#include "ServiceConfig.h"
#include "SettingsStore.h"
#include "TestMain.h"

#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QSignalSpy>

using namespace castora;
using castora::dev::DevServer;
using castora::dev::RecordedRequest;

class TestBackendRequest : public QObject {
    Q_OBJECT

private:
    DevServer *m_server = nullptr;
    ServiceConfig m_config;
    QNetworkAccessManager m_nam;

    RecordedRequest roundTrip(QNetworkReply *reply, api::Reply *result = nullptr) {
        bool done = false;
        api::onFinished(reply, this, [&](const api::Reply &r) {
            if (result)
                *result = r;
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 5000))
            qFatal("no reply");
        return m_server->requests().last();
    }

private slots:
    void init() {
        m_server = new DevServer(this);
        QVERIFY(m_server->listen() != 0);
        m_config = ServiceConfig::local(m_server->port());
        settings::clearToken();
    }

    void cleanup() {
        delete m_server;
        m_server = nullptr;
    }

    void addressForms() {
        // Both address forms name the same endpoint; run-time suffixes go in unchanged.
        QCOMPARE(m_config.endpoint(QStringLiteral("api/auth/login")),
                 m_config.apiUrl(QStringLiteral("auth/login")));
        ServiceConfig slash = m_config;
        slash.backendUrl += QLatin1Char('/');
        QCOMPARE(slash.endpoint(QStringLiteral("api/stats/")).path(),
                 QStringLiteral("/api/stats/"));
        roundTrip(
            api::get(m_nam, m_config.endpoint(QStringLiteral("api/comment/")), {api::Auth::None}));
        QCOMPARE(m_server->requests().last().path, QStringLiteral("api/comment/"));
    }

    void authorizationHeader_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("auth");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QByteArray>("value");
        const int bearer = int(api::Auth::Bearer);
        const int ifStored = int(api::Auth::BearerIfStored);
        const int none = int(api::Auth::None);
        QTest::newRow("bearer, token stored")
            << "abc|123" << bearer << true << QByteArray("Bearer abc|123");
        QTest::newRow("bearer, nothing stored") << "" << bearer << true << QByteArray("Bearer ");
        QTest::newRow("if stored, token stored")
            << "t0k" << ifStored << true << QByteArray("Bearer t0k");
        QTest::newRow("if stored, nothing stored") << "" << ifStored << false << QByteArray();
        QTest::newRow("none, token stored") << "t0k" << none << false << QByteArray();
        QTest::newRow("non-ASCII token as UTF-8")
            << QStringLiteral("jeton-é") << bearer << true << QByteArray("Bearer jeton-\xc3\xa9");
    }

    void authorizationHeader() {
        QFETCH(QString, stored);
        QFETCH(int, auth);
        QFETCH(bool, present);
        QFETCH(QByteArray, value);
        if (!stored.isEmpty())
            settings::setToken(stored);
        const RecordedRequest request = roundTrip(api::get(
            m_nam, m_config.endpoint(QStringLiteral("api/app/version")), {api::Auth(auth)}));
        // The server trims trailing blanks of header values: compare the request as built too.
        const QNetworkRequest built =
            api::request(QUrl(QStringLiteral("http://x/")), {api::Auth(auth)});
        QCOMPARE(built.rawHeader("Authorization"), value);
        QCOMPARE(request.hasHeader("Authorization"), present);
        QCOMPARE(request.header("Authorization"), value.trimmed());
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    }

    void jsonBodies_data() {
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("empty object, indented") << QJsonObject() << QByteArray("{\n}\n");
        QTest::newRow("members") << QJsonObject{{QStringLiteral("email"), QStringLiteral("a@b")}}
                                 << QByteArray("{\n    \"email\": \"a@b\"\n}\n");
    }

    void jsonBodies() {
        QFETCH(QJsonObject, body);
        QFETCH(QByteArray, wire);
        const RecordedRequest request = roundTrip(api::postJson(
            m_nam, m_config.endpoint(QStringLiteral("api/channel/start-stream")), body));
        QCOMPARE(request.method, QStringLiteral("POST"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.body, wire);
    }

    void noAcceptHeader() {
        const RecordedRequest request = roundTrip(api::get(
            m_nam, m_config.endpoint(QStringLiteral("api/stats/x")), {api::Auth::None, false}));
        QVERIFY(!request.hasHeader("Accept"));
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void emptyPostHasNoContentType() {
        settings::setToken(QStringLiteral("tok"));
        const RecordedRequest request =
            roundTrip(api::postEmpty(m_nam, m_config.endpoint(QStringLiteral("api/auth/logout"))));
        QVERIFY(!request.hasHeader("Content-Type"));
        QVERIFY(request.body.isEmpty());
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok"));
    }

    void multipartParts() {
        auto *multipart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        multipart->append(api::formField(QStringLiteral("filename"), "caf\xc3\xa9.mp3"));
        const RecordedRequest request = roundTrip(
            api::postMultipart(m_nam, m_config.endpoint(QStringLiteral("api/start-file-upload")),
                               multipart, {api::Auth::BearerIfStored}));
        QVERIFY(request.header("Content-Type").startsWith("multipart/form-data; boundary="));
        QVERIFY(request.body.contains(
            "Content-Disposition: form-data; name=\"filename\"\r\n\r\ncaf\xc3\xa9.mp3\r\n"));
    }

    void replyPattern_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("version");
        QTest::newRow("json") << "" << true << "1.0.0";
        QTest::newRow("malformed body reads as defaults") << "malformed" << true << "";
        QTest::newRow("http error") << "500" << false << "";
        QTest::newRow("dropped connection") << "drop" << false << "";
    }

    void replyPattern() {
        QFETCH(QString, fault);
        QFETCH(bool, ok);
        QFETCH(QString, version);
        if (fault == QLatin1String("malformed"))
            m_server->malformNext(1);
        else if (fault == QLatin1String("drop"))
            m_server->dropNext(3); // Qt resends an idempotent request once on a dropped connection
        else if (!fault.isEmpty())
            m_server->failNext(1, fault.toInt());
        api::Reply result;
        roundTrip(
            api::get(m_nam, m_config.apiUrl(QStringLiteral("app/version")), {api::Auth::None}),
            &result);
        QCOMPARE(result.ok(), ok);
        QCOMPARE(result.object().value(QStringLiteral("latest_version")).toString(), version);
        QCOMPARE(result.errorString.isEmpty(), ok);
    }

    void networkClientPostsBelowApiRoot() {
        NetworkClient client(m_config);
        const RecordedRequest request = roundTrip(client.post(
            QStringLiteral("auth/login"), QJsonObject{{QStringLiteral("email"), QString()}}));
        QCOMPARE(request.path, QStringLiteral("api/auth/login"));
        QVERIFY(!request.hasHeader("Authorization"));
    }
};

CASTORA_TEST_MAIN(TestBackendRequest)
#include "tst_backendrequest.moc"
