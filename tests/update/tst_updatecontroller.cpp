// Update rules and the version check against the stand-in backend, including the count of
// "Later" across runs.
#include "DevServer.h"
#include "NetworkClient.h"
#include "SettingsStore.h"
#include "TestMain.h"
#include "UpdateController.h"
#include "UpdateRules.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSignalSpy>

#include <memory>

using namespace castora;
using castora::test::row;

class TestUpdateController : public QObject {
    Q_OBJECT

    std::unique_ptr<dev::DevServer> m_server;
    std::unique_ptr<NetworkClient> m_client;

    void setVersion(const QString &latest, const QString &minimum = "1.0.0",
                    const QJsonValue &maxDismissals = QJsonValue::Undefined) {
        QJsonObject info{{"latest_version", latest},
                         {"minimum_version", minimum},
                         {"download_url_windows", "https://dl.example/win"},
                         {"download_url_macos", "https://dl.example/mac"},
                         {"release_notes", "Faster reconnects"}};
        if (!maxDismissals.isUndefined())
            info.insert("max_dismissals", maxDismissals);
        m_server->state().versionInfo = info;
    }

    // One run of the program: a fresh controller checks once and has handled the reply.
    std::unique_ptr<UpdateController> run() {
        auto controller = std::make_unique<UpdateController>(*m_client);
        QSignalSpy handled(&m_client->manager(), &QNetworkAccessManager::finished);
        controller->checkForUpdate();
        if (!handled.wait())
            qFatal("no version reply");
        return controller;
    }

private slots:
    void init() {
        settings::setDismissCount(0);
        settings::setPendingVersion(QString());
        m_server = std::make_unique<dev::DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_client = std::make_unique<NetworkClient>(ServiceConfig::local(m_server->port()));
    }

    void cleanup() {
        m_client.reset();
        m_server.reset();
    }

    void maxDismissals_data() {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<int>("expected");
        row("missing", QJsonValue(QJsonValue::Undefined), 3);
        row("zero", QJsonValue(0), 0);
        row("whole", QJsonValue(5), 5);
        row("fractional", QJsonValue(2.5), 3);
        row("string", QJsonValue("5"), 3);
    }

    void maxDismissals() {
        QFETCH(QJsonValue, value);
        QFETCH(int, expected);
        QCOMPARE(update::maxDismissals(value), expected);
    }

    // The program runs version 1.0.0.
    void versionCheck_data() {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("minimum");
        QTest::addColumn<QJsonValue>("maxDismissals");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("available");
        QTest::addColumn<bool>("mandatory");
        const QJsonValue none(QJsonValue::Undefined);
        row("same", "1.0.0", "1.0.0", none, "", false, false);
        row("patch", "1.0.1", "1.0.0", none, "", true, false);
        row("longer is newer", "1.0.0.0", "1.0.0", none, "", true, false);
        row("numeric, not text order", "1.0.10", "", none, "", true, false);
        row("older", "0.9", "0.1", none, "", false, false);
        row("not a version", "latest", "", none, "", false, false);
        row("empty", "", "", none, "", false, false);
        row("below the minimum", "1.0.1", "1.0.1", none, "", true, true);
        row("no later allowed", "1.2", "", QJsonValue(0), "", true, true);
        row("server error", "9.9.9", "", none, "500", false, false);
        row("garbage", "9.9.9", "", none, "malformed", false, false);
    }

    void versionCheck() {
        QFETCH(QString, latest);
        QFETCH(QString, minimum);
        QFETCH(QJsonValue, maxDismissals);
        QFETCH(QString, fault);
        QFETCH(bool, available);
        QFETCH(bool, mandatory);
        settings::setToken("secret");
        setVersion(latest, minimum, maxDismissals);
        QTest::ignoreMessage(QtInfoMsg, "Checking for updates");
        if (fault == "malformed") {
            m_server->malformNext(1);
            QTest::ignoreMessage(QtWarningMsg, "Update check: invalid JSON response");
        } else if (!fault.isEmpty()) {
            m_server->failNext(1, fault.toInt());
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Update check failed: \".+\"$"));
        }
        auto controller = run();
        QCOMPARE(controller->updateAvailable(), available);
        QCOMPARE(controller->isMandatory(), mandatory);
        QCOMPARE(controller->canDismiss(), !mandatory);
        QCOMPARE(controller->latestVersion(), available ? latest : QString());
        if (available) {
            QCOMPARE(controller->releaseNotes(), QString("Faster reconnects"));
            QVERIFY(controller->downloadUrl().startsWith("https://dl.example/"));
        }
        const auto request = m_server->requests().last();
        QCOMPARE(request.path, QString("api/app/version"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void laterCountsAcrossRuns() {
        setVersion("1.1");
        for (int runIndex = 1; runIndex <= 3; ++runIndex) {
            auto controller = run();
            QVERIFY(controller->updateAvailable());
            QVERIFY2(controller->canDismiss(), qPrintable(QString("run %1").arg(runIndex)));
            controller->dismissUpdate();
            QVERIFY(!controller->updateAvailable()); // gone for the rest of the run
            QCOMPARE(settings::dismissCount(), runIndex);
        }
        auto fourth = run();
        QVERIFY(fourth->updateAvailable());
        QVERIFY(fourth->isMandatory());
        QVERIFY(!fourth->canDismiss());

        // A newer latest version restarts the count, and so does another spelling of it.
        for (const QString latest : {"1.2", "1.2.0"}) {
            setVersion(latest);
            auto controller = run();
            QVERIFY(controller->canDismiss());
            QCOMPARE(settings::dismissCount(), 0);
            QCOMPARE(settings::pendingVersion(), latest);
            controller->dismissUpdate();
        }
    }
};

CASTORA_TEST_MAIN(TestUpdateController)
#include "tst_updatecontroller.moc"
