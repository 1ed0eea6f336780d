// Update rules and the version check against the stand-in backend, including the count of
// "Later" across runs.
#include "DevServer.h"
#include "NetworkClient.h"
#include "SettingsStore.h"
#include "TestMain.h"
#include "UpdateController.h"
#include "UpdateRules.h"

#include <QJsonObject>
#include <QSignalSpy>

#include <memory>

using namespace castora;
using castora::dev::DevServer;

class TestUpdateController : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevServer> m_server;
    std::unique_ptr<NetworkClient> m_client;

    void setVersion(const QString &latest, const QString &minimum = QStringLiteral("1.0.0"),
                    const QJsonValue &maxDismissals = QJsonValue::Undefined) {
        QJsonObject info{
            {QStringLiteral("latest_version"), latest},
            {QStringLiteral("minimum_version"), minimum},
            {QStringLiteral("download_url_windows"), QStringLiteral("https://dl.example/win")},
            {QStringLiteral("download_url_macos"), QStringLiteral("https://dl.example/mac")},
            {QStringLiteral("release_notes"), QStringLiteral("Faster reconnects")}};
        if (!maxDismissals.isUndefined())
            info.insert(QStringLiteral("max_dismissals"), maxDismissals);
        m_server->state().versionInfo = info;
    }

    // One run of the program: a fresh controller checks once.
    std::unique_ptr<UpdateController> run() {
        auto controller = std::make_unique<UpdateController>(*m_client);
        const int before = m_server->requests().size();
        controller->checkForUpdate();
        if (!QTest::qWaitFor([&] { return m_server->requests().size() > before; }, 5000))
            qFatal("no version request");
        QTest::qWait(50); // let the reply be handled
        return controller;
    }

private slots:
    void init() {
        settings::setDismissCount(0);
        settings::setPendingVersion(QString());
        m_server = std::make_unique<DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_client = std::make_unique<NetworkClient>(ServiceConfig::local(m_server->port()));
    }

    void cleanup() {
        m_client.reset();
        m_server.reset();
    }

    void rules_data() {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<bool>("newer");
        QTest::newRow("same") << "1.0.0" << false;
        QTest::newRow("patch") << "1.0.1" << true;
        QTest::newRow("longer is newer") << "1.0.0.0" << true;
        QTest::newRow("older") << "0.9" << false;
        QTest::newRow("not a version") << "latest" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("numeric, not text order") << "1.0.10" << true;
    }

    void rules() {
        QFETCH(QString, latest);
        QFETCH(bool, newer);
        QCOMPARE(update::isNewer(latest, QStringLiteral("1.0.0")), newer);
    }

    void maxDismissals_data() {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 3;
        QTest::newRow("zero") << QJsonValue(0) << 0;
        QTest::newRow("whole") << QJsonValue(5) << 5;
        QTest::newRow("fractional") << QJsonValue(2.5) << 3;
        QTest::newRow("string") << QJsonValue(QStringLiteral("5")) << 3;
    }

    void maxDismissals() {
        QFETCH(QJsonValue, value);
        QFETCH(int, expected);
        QCOMPARE(update::maxDismissals(value), expected);
    }

    void versionCheck_data() {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<QJsonValue>("maxDismissals");
        QTest::addColumn<bool>("available");
        QTest::addColumn<bool>("mandatory");
        const QJsonValue undefined(QJsonValue::Undefined);
        QTest::newRow("up to date") << "1.0.0"
                                    << "1.0.0" << undefined << false << false;
        QTest::newRow("optional update") << "1.0.1"
                                         << "1.0.0" << undefined << true << false;
        QTest::newRow("below the minimum") << "1.0.1"
                                           << "1.0.1" << undefined << true << true;
        QTest::newRow("no later allowed") << "1.2"
                                          << "" << QJsonValue(0) << true << true;
        QTest::newRow("older than running") << "0.9"
                                            << "0.1" << undefined << false << false;
    }

    void versionCheck() {
        QFETCH(QString, latest);
        QFETCH(QString, minimum);
        QFETCH(QJsonValue, maxDismissals);
        QFETCH(bool, available);
        QFETCH(bool, mandatory);
        settings::setToken(QStringLiteral("secret"));
        setVersion(latest, minimum, maxDismissals);
        QTest::ignoreMessage(QtInfoMsg, "Checking for updates");
        auto controller = run();
        QTRY_COMPARE(controller->updateAvailable(), available);
        QCOMPARE(controller->isMandatory(), mandatory);
        QCOMPARE(controller->canDismiss(), !mandatory);
        if (available) {
            QCOMPARE(controller->latestVersion(), latest);
            QCOMPARE(controller->releaseNotes(), QStringLiteral("Faster reconnects"));
            QVERIFY(controller->downloadUrl().startsWith(QLatin1String("https://dl.example/")));
        }
        const auto request = m_server->requests().last();
        QCOMPARE(request.path, QStringLiteral("api/app/version"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void badReplies_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("warning");
        QTest::newRow("server error") << "500"
                                      << "^Update check failed: \".+\"$";
        QTest::newRow("garbage") << "malformed"
                                 << "^Update check: invalid JSON response$";
    }

    void badReplies() {
        QFETCH(QString, fault);
        QFETCH(QString, warning);
        setVersion(QStringLiteral("9.9.9"));
        if (fault == QLatin1String("malformed"))
            m_server->malformNext(1);
        else
            m_server->failNext(1, fault.toInt());
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        auto controller = run();
        QVERIFY(!controller->updateAvailable());
        QVERIFY(controller->latestVersion().isEmpty());
    }

    void laterCountsAcrossRuns() {
        setVersion(QStringLiteral("1.1"));
        for (int runIndex = 1; runIndex <= 3; ++runIndex) {
            auto controller = run();
            QTRY_VERIFY(controller->updateAvailable());
            QVERIFY2(controller->canDismiss(), qPrintable(QStringLiteral("run %1").arg(runIndex)));
            controller->dismissUpdate();
            QVERIFY(!controller->updateAvailable()); // gone for the rest of the run
            QCOMPARE(settings::dismissCount(), runIndex);
        }
        auto fourth = run();
        QTRY_VERIFY(fourth->updateAvailable());
        QVERIFY(fourth->isMandatory());
        QVERIFY(!fourth->canDismiss());

        // A newer latest version restarts the count, and so does another spelling of it.
        for (const QString &latest : {QStringLiteral("1.2"), QStringLiteral("1.2.0")}) {
            setVersion(latest);
            auto controller = run();
            QTRY_VERIFY(controller->updateAvailable());
            QVERIFY(controller->canDismiss());
            QCOMPARE(settings::dismissCount(), 0);
            QCOMPARE(settings::pendingVersion(), latest);
            controller->dismissUpdate();
        }
    }

    void downloadPageWithoutUrlDoesNothing() {
        UpdateController controller(*m_client);
        controller.openDownloadPage(); // empty URL: no handler is asked
        QVERIFY(controller.downloadUrl().isEmpty());
    }
};

CASTORA_TEST_MAIN(TestUpdateController)
#include "tst_updatecontroller.moc"
