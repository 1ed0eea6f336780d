// The recordings database on a real file (fresh, current and old schema) and the list model.
#include "LogCapture.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

QString databaseFile() {
    return castora::recordingsDataDirectory() + QStringLiteral("/app.db");
}

void removeDatabaseFile() {
    castora::db.close();
    QFile::remove(databaseFile());
}

QStringList columns() {
    QStringList names;
    QSqlQuery query(QStringLiteral("PRAGMA table_info(recordings)"));
    while (query.next())
        names.append(query.value(QStringLiteral("name")).toString());
    return names;
}

// A file as a release without the upload flag left it: three rows, the second one deleted
// again, so the file's sequence is ahead of its highest id.
void writeOldSchemaFile() {
    QDir().mkpath(castora::recordingsDataDirectory());
    {
        QSqlDatabase old =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
        old.setDatabaseName(databaseFile());
        QVERIFY(old.open());
        QSqlQuery query(old);
        QVERIFY(query.exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS recordings (id INTEGER "
                           "PRIMARY KEY AUTOINCREMENT,name TEXT,path TEXT,date_created DATE)")));
        QVERIFY(query.exec(QStringLiteral(
            "INSERT INTO recordings (name, path, date_created) VALUES "
            "('Morning_Show', '/rec/Morning_Show_20250101_070000.mp3', '2025-01-01 07:00:00'),"
            "('Gone', '/rec/Gone.mp3', '2025-01-02 07:00:00'),"
            "('Late_Show', '/rec/Late_Show_20250103_220000.mp3', '2025-01-03 22:00:00')")));
        QVERIFY(query.exec(QStringLiteral("DELETE FROM recordings WHERE id = 2")));
        old.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("old"));
}

} // namespace

class RecordingsDatabaseTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { removeDatabaseFile(); }

    void startUp_data() {
        QTest::addColumn<bool>("oldFile");
        QTest::addColumn<QStringList>("names"); // rows as the list shows them
        QTest::newRow("first start") << false << QStringList{};
        QTest::newRow("file without upload_status")
            << true << QStringList{QStringLiteral("Late_Show"), QStringLiteral("Morning_Show")};
    }

    void startUp() {
        QFETCH(bool, oldFile);
        QFETCH(QStringList, names);
        if (oldFile)
            writeOldSchemaFile();
        if (QTest::currentTestFailed())
            return;

        {
            LogCapture log;
            QVERIFY(castora::initDatabase());
            const int added = log.indexOf(QStringLiteral("Adding upload_status column"));
            QVERIFY(added >= 0);
            QVERIFY(log.indexOf(QStringLiteral("Initialized")) > added);
        }
        QVERIFY(QFile::exists(databaseFile()));
        const QStringList expectedColumns{QStringLiteral("id"), QStringLiteral("name"),
                                          QStringLiteral("path"), QStringLiteral("date_created"),
                                          QStringLiteral("upload_status")};
        QCOMPARE(columns(), expectedColumns);

        RecordingController controller(castora::ServiceConfig::local(1));
        controller.loadRecordings();
        QStringList shown;
        for (const RecordingModel *recording : controller.recordings()) {
            shown.append(recording->name());
            QCOMPARE(recording->uploadStatus(), false);
        }
        QCOMPARE(shown, names);
        if (oldFile) {
            QCOMPARE(controller.recordings().at(0)->id(), 3);
            QCOMPARE(controller.recordings().at(1)->path(),
                     QStringLiteral("/rec/Morning_Show_20250101_070000.mp3"));
            QCOMPARE(controller.recordings().at(1)->dateCreated(),
                     QStringLiteral("2025-01-01 07:00:00"));
        }

        // The next start finds the column and changes nothing.
        {
            LogCapture log;
            QVERIFY(castora::initDatabase());
            QVERIFY(!log.contains(QStringLiteral("Adding upload_status column")));
            QVERIFY(log.contains(QStringLiteral("Initialized")));
        }
        QCOMPARE(columns(), expectedColumns);

        // Ids are never handed out twice, not even those of rows deleted before the migration.
        controller.addRecording(QStringLiteral("New"), QStringLiteral("/rec/New.mp3"));
        QCOMPARE(controller.recordings().at(0)->id(), oldFile ? 4 : 1);
    }

    void folderCannotBeCreated() {
        QVERIFY(castora::initDatabase());
        RecordingController controller(castora::ServiceConfig::local(1));
        controller.addRecording(QStringLiteral("Kept"), QStringLiteral("/rec/Kept.mp3"));
        QCOMPARE(controller.rowCount(), 1);

        // The data folder would have to live below a plain file.
        QTemporaryDir scratch;
        const QString blocker = scratch.filePath(QStringLiteral("file"));
        QFile(blocker).open(QIODevice::WriteOnly);
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", blocker.toLocal8Bit());
        {
            LogCapture log;
            QVERIFY(!castora::initDatabase());
            QVERIFY(
                log.contains(QStringLiteral("Could not create app data directory: \"") + blocker));
            controller.addRecording(QStringLiteral("Lost"), QStringLiteral("/rec/Lost.mp3"));
            controller.deleteRecording(controller.recordings().at(0)->id());
            controller.loadRecordings();
            QCOMPARE(log.lines().count(QStringLiteral("Database is not open!")), 3);
        }
        qputenv("XDG_DATA_HOME", dataHome);
        QCOMPARE(controller.rowCount(), 1);

        QVERIFY(castora::initDatabase());
        controller.loadRecordings();
        QCOMPARE(controller.rowCount(), 1); // neither added nor deleted while it was closed
        QCOMPARE(controller.recordings().at(0)->name(), QStringLiteral("Kept"));
    }

    void listModel() {
        QVERIFY(castora::initDatabase());
        QTemporaryDir folder;
        RecordingController controller(castora::ServiceConfig::local(1));
        QAbstractItemModelTester tester(&controller,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy resets(&controller, &QAbstractItemModel::modelReset);

        controller.loadRecordings();
        QCOMPARE(controller.rowCount(), 0);
        QStringList paths;
        for (const char *name : {"First", "Second", "Third"}) {
            paths.append(folder.filePath(QLatin1String(name) + QStringLiteral(".mp3")));
            QFile(paths.last()).open(QIODevice::WriteOnly);
            controller.addRecording(QLatin1String(name), paths.last());
        }
        controller.addRecording(QStringLiteral("Third"), paths.last()); // same path again
        QCOMPARE(controller.rowCount(), 4);
        QCOMPARE(resets.count(), 5);

        // Newest first; within one second the row added last leads.
        const QModelIndex top = controller.index(0);
        const QHash<int, QByteArray> roles = controller.roleNames();
        QCOMPARE(roles.value(257), QByteArray("id"));
        QCOMPARE(roles.value(261), QByteArray("uploadStatus"));
        QCOMPARE(roles.key("isRecording"), int(RecordingController::IsRecordingRole));
        QCOMPARE(controller.data(top, roles.key("name")).toString(), QStringLiteral("Third"));
        QCOMPARE(controller.data(top, roles.key("path")).toString(), paths.last());
        QCOMPARE(controller.data(top, roles.key("uploadStatus")), QVariant(false));
        QCOMPARE(controller.data(top, roles.key("isRecording")), QVariant(false));
        QVERIFY(QDateTime::fromString(controller.data(top, roles.key("dateCreated")).toString(),
                                      QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                    .isValid());
        QVERIFY(!controller.data(top, 256).isValid());
        QVERIFY(!controller.data(top, 262).isValid());
        QVERIFY(!controller.data(controller.index(4), 257).isValid());
        const int twinA = controller.data(controller.index(0), 257).toInt();
        const int twinB = controller.data(controller.index(1), 257).toInt();
        QVERIFY(twinA != twinB);

        // Deleting removes the row only; ids of deleted rows never come back.
        const int highest = twinA;
        controller.deleteRecording(highest);
        QCOMPARE(controller.rowCount(), 3);
        QVERIFY(QFile::exists(paths.last()));
        controller.addRecording(QStringLiteral("Fourth"), folder.filePath(QStringLiteral("4.mp3")));
        QCOMPARE(controller.data(controller.index(0), 257).toInt(), highest + 1);
    }

    void beingRecorded() {
        QVERIFY(castora::initDatabase());
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("Live_20260321_070509.mp3"));
        RecordingController controller(castora::ServiceConfig::local(1));
        QAbstractItemModelTester tester(&controller,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        controller.addRecording(QStringLiteral("Live"), path);
        controller.addRecording(QStringLiteral("Other"), folder.filePath(QStringLiteral("o.mp3")));
        const int id = controller.recordings().at(1)->id();
        QSignalSpy changed(&controller, &QAbstractItemModel::dataChanged);

        // The engine reports from its own threads; the state lands on the controller's.
        QThread *engine = QThread::create([&controller, path] {
            controller.recordingStarted(QDir::cleanPath(path + QStringLiteral("/../")) +
                                        QStringLiteral("/./Live_20260321_070509.mp3"));
        });
        engine->start();
        QVERIFY(engine->wait(5000));
        delete engine;
        QTRY_VERIFY(controller.isRecording(id));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(changed.at(0).at(2).value<QList<int>>(),
                 QList<int>{RecordingController::IsRecordingRole});
        QCOMPARE(controller.data(controller.index(1), RecordingController::IsRecordingRole),
                 QVariant(true));
        QVERIFY(!controller.isRecording(controller.recordings().at(0)->id()));

        controller.loadRecordings(); // survives reloads: it is not a database state
        QVERIFY(controller.isRecording(id));
        controller.recordingFinished(path);
        QVERIFY(!controller.isRecording(id));
        QCOMPARE(changed.count(), 2);
        controller.recordingFinished(path); // no change, no signal
        QCOMPARE(changed.count(), 2);
    }
};

CASTORA_TEST_MAIN(RecordingsDatabaseTest)
#include "tst_recordingsdb.moc"
