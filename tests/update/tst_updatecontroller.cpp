// Update rules and the version check against the stand-in backend, including the count of
// "Later" across runs.
#include "SettingsStore.h"
#include "StandInBackend.h"
#include "TestMain.h"
#include "UpdateController.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSignalSpy>

#include <memory>

using namespace castora;
using castora::test::columns;
using castora::test::row;

// A version check: the versions offered, the count of "Later" allowed (undefined: the field is
// left out), the backend's fault, the "Later" presses so far, and what the check decides.
struct Check {
    QString latest, minimum;
    QJsonValue maxDismissals;
    QString fault;
    int dismissed;
    bool available, mandatory;
};

class TestUpdateController : public QObject {
    Q_OBJECT

    test::StandInBackend m_backend;

    // One run of the program: a fresh controller checks once and has handled the reply.
    std::unique_ptr<UpdateController> run() {
        auto controller = std::make_unique<UpdateController>(m_backend.client());
        QSignalSpy handled(&m_backend.client().manager(), &QNetworkAccessManager::finished);
        controller->checkForUpdate();
        if (!handled.wait())
            qFatal("no version reply");
        return controller;
    }

private slots:
    void init() {
        settings::setDismissCount(0);
        settings::setPendingVersion(QString());
        QVERIFY(m_backend.start());
    }

    // The program runs version 1.0.0. "Later" was pressed `dismissed` times for version 1.2.
    void versionCheck_data() {
        QTest::addColumn<Check>("check");
        const QJsonValue none(QJsonValue::Undefined);
        row("same", Check{"1.0.0", "1.0.0", none, "", 0, false, false});
        row("patch", Check{"1.0.1", "1.0.0", none, "", 0, true, false});
        row("longer is newer", Check{"1.0.0.0", "1.0.0", none, "", 0, true, false});
        row("numeric, not text order", Check{"1.0.10", "", none, "", 0, true, false});
        row("older", Check{"0.9", "0.1", none, "", 0, false, false});
        row("not a version", Check{"latest", "", none, "", 0, false, false});
        row("below the minimum", Check{"1.0.1", "1.0.1", none, "", 0, true, true});
        row("no later allowed", Check{"1.2", "", QJsonValue(0), "", 0, true, true});
        row("later twice before", Check{"1.2", "", none, "", 2, true, false});
        row("later three times before", Check{"1.2", "", none, "", 3, true, true});
        row("newer version restarts the count", Check{"1.3", "", none, "", 3, true, false});
        row("other spelling restarts the count", Check{"1.2.0", "", none, "", 3, true, false});
        row("server error", Check{"9.9.9", "", none, "status 500", 0, false, false});
        row("garbage", Check{"9.9.9", "", none, "malformed", 0, false, false});
    }

    void versionCheck() {
        QFETCH(Check, check);
        const auto &[latest, minimum, maxDismissals, fault, dismissed, available, mandatory] =
            check;
        settings::setToken("secret");
        settings::setPendingVersion("1.2");
        settings::setDismissCount(dismissed);
        m_backend->state().versionInfo =
            QJsonObject{{"latest_version", latest},
                        {"minimum_version", minimum},
                        {"download_url_windows", "https://dl.example/win"},
                        {"download_url_macos", "https://dl.example/mac"},
                        {"release_notes", "Faster reconnects"},
                        {"max_dismissals", maxDismissals}}; // undefined: left out
        m_backend.fail(fault);
        if (fault == "malformed")
            QTest::ignoreMessage(QtWarningMsg, "Update check: invalid JSON response");
        else if (!fault.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Update check failed: \".+\"$"));
        auto controller = run();
        QCOMPARE(controller->updateAvailable(), available);
        QCOMPARE(controller->isMandatory(), mandatory);
        QCOMPARE(controller->canDismiss(), !mandatory);
        QCOMPARE(controller->latestVersion(), available ? latest : QString());
        const auto request = m_backend->requests("api/app/version").last();
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
        if (!available || mandatory)
            return;
        QCOMPARE(controller->releaseNotes(), QString("Faster reconnects"));
        QVERIFY(controller->downloadUrl().startsWith("https://dl.example/"));

        // "Later" hides it for the rest of the run and counts for the version offered.
        controller->dismissUpdate();
        QVERIFY(!controller->updateAvailable());
        const int count = (latest == "1.2" ? dismissed : 0) + 1;
        QCOMPARE(settings::dismissCount(), count);
        QCOMPARE(settings::pendingVersion(), latest);
        // The next run asks again, until the third "Later".
        QCOMPARE(run()->canDismiss(), count < 3);
    }

    // "Update Now" hands the desktop only a web page; anything else is refused, logged, and the
    // prompt says so. The stand-in backend is plain http, which allows http links too.
    void downloadLink_data() {
        columns<QString, QString, bool>("backend", "link", "opened");
        const QString local; // the stand-in's http address
        row("https", local, "https://dl.example/castora-1.2.exe", true);
        row("blanks around it", local, "  https://dl.example/win ", true);
        row("http with an http backend", local, "http://127.0.0.1:8085/download", true);
        row("http with an https backend", "https://api.example", "http://dl.example/win", false);
        row("file", local, "file:///etc/passwd", false);
        row("no scheme: none is guessed", local, "dl.example/win", false);
        row("custom handler", local, "ms-settings:windowsupdate", false);
        row("https without a host", local, "https:///setup.exe", false);
    }

    void downloadLink() {
        QFETCH(QString, backend);
        QFETCH(QString, link);
        QFETCH(bool, opened);
        ServiceConfig config = m_backend.config();
        if (!backend.isEmpty())
            config.backendUrl = backend;
        NetworkClient client(config);
        UpdateController controller(client);
        QList<QUrl> handed;
        controller.setUrlOpener([&handed](const QUrl &url) {
            handed.append(url);
            return true;
        });
        QSignalSpy failed(&controller, &UpdateController::downloadPageFailedChanged);
        controller.setDownloadUrl(link);
        if (!opened)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Update download link refused"));
        controller.openDownloadPage();
        QCOMPARE(handed, opened ? QList<QUrl>{QUrl(link.trimmed())} : QList<QUrl>{});
        QCOMPARE(controller.downloadPageFailed(), !opened);
        QCOMPARE(failed.size(), opened ? 0 : 1);
    }
};

CASTORA_TEST_MAIN(TestUpdateController)
#include "tst_updatecontroller.moc"
