// The recordings database on a real file (fresh, current and old schema, unusable), its file
// modes, and the list model.
#include "LogCapture.h"
#include "RecordingController.h"
#include "RecordingWriter.h"
#include "RecordingsDatabase.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

using castora::test::columns;
using castora::test::modeOf;
using castora::test::row;

namespace {

QString databaseFile() {
    return castora::recordingsDataDirectory() + "/app.db";
}

void removeDatabaseFile() {
    castora::db.close();
    QFile::remove(databaseFile());
    QDir data(castora::recordingsDataDirectory());
    for (const QString &aside : data.entryList({"app.db.broken-*"}, QDir::AllEntries)) {
        QDir(data.filePath(aside)).removeRecursively();
        QFile::remove(data.filePath(aside));
    }
}

QStringList columns() {
    QStringList names;
    QSqlQuery query("PRAGMA table_info(recordings)");
    while (query.next())
        names.append(query.value("name").toString());
    return names;
}

// A file as a release without the upload flag left it: three rows, the second one deleted
// again, so the file's sequence is ahead of its highest id.
void writeOldSchemaFile() {
    QDir().mkpath(castora::recordingsDataDirectory());
    {
        QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old");
        old.setDatabaseName(databaseFile());
        QVERIFY(old.open());
        QSqlQuery query(old);
        QVERIFY(query.exec("CREATE TABLE IF NOT EXISTS recordings (id INTEGER "
                           "PRIMARY KEY AUTOINCREMENT,name TEXT,path TEXT,date_created DATE)"));
        QVERIFY(query.exec(
            "INSERT INTO recordings (name, path, date_created) VALUES "
            "('Morning_Show', '/rec/Morning_Show_20250101_070000.mp3', '2025-01-01 07:00:00'),"
            "('Gone', '/rec/Gone.mp3', '2025-01-02 07:00:00'),"
            "('Late_Show', '/rec/Late_Show_20250103_220000.mp3', '2025-01-03 22:00:00')"));
        QVERIFY(query.exec("DELETE FROM recordings WHERE id = 2"));
        old.close();
    }
    QSqlDatabase::removeDatabase("old");
}

} // namespace

class RecordingsDatabaseTest : public QObject {
    Q_OBJECT

private slots:
    // What most desktops set: files readable by everybody unless the program says otherwise.
    void initTestCase() { ::umask(022); }
    void cleanup() { removeDatabaseFile(); }

    void startUp_data() {
        // names: rows as the list shows them
        columns<bool, QStringList>("oldFile", "names");
        row("first start", false, QStringList{});
        row("file without upload_status", true, QStringList{"Late_Show", "Morning_Show"});
    }

    void startUp() {
        QFETCH(bool, oldFile);
        QFETCH(QStringList, names);
        if (oldFile)
            writeOldSchemaFile();
        if (QTest::currentTestFailed())
            return;

        QVERIFY(castora::initDatabase());
        // The list is the user's own, also in a file left by an older release.
        QCOMPARE(modeOf(databaseFile()), 0600);
        QCOMPARE(modeOf(castora::recordingsDataDirectory()), 0700);
        const QStringList expectedColumns{"id", "name", "path", "date_created", "upload_status"};
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
                     "/rec/Morning_Show_20250101_070000.mp3");
            QCOMPARE(controller.recordings().at(1)->dateCreated(), "2025-01-01 07:00:00");
        }

        // The next start finds the column and changes nothing (a second attempt to add it
        // would fail with a warning).
        QTest::failOnWarning(QRegularExpression("."));
        QVERIFY(castora::initDatabase());
        QCOMPARE(columns(), expectedColumns);
    }

    // A file that is no database, one with damaged pages, or a folder where the file should
    // be: moved aside under a time-stamped name, a new database in its place, the MP3 files of
    // the recordings folder listed again (not uploaded) with name and time from their file
    // names, and the user told once; the next start finds everything in order.
    void unusableFile_data() {
        QTest::addColumn<QString>("damage");
        row("garbage bytes", "garbage");
        row("damaged pages", "pages");
        row("cannot be opened", "folder");
    }
    void unusableFile() {
        QFETCH(QString, damage);
        // The recordings folder holds the database's folder too.
        const QString folder = castora::engine::defaultRecordingsFolder();
        QVERIFY(QDir().mkpath(folder));
        const QStringList files{"Morning_Show_20260321_070509.mp3",
                                "Morning_Show_20260321_070509_2.mp3", "_20260101_000000.mp3",
                                "holiday.mp3", "notes.txt"};
        const auto removeFiles = qScopeGuard([&] {
            for (const QString &name : files)
                QFile::remove(folder + name);
        });
        for (const QString &name : files) {
            QFile file(folder + name);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("ID3") == 3 && file.flush());
            if (name == "holiday.mp3")
                QVERIFY(file.setFileTime(QDateTime(QDate(2025, 12, 24), QTime(18, 0)),
                                         QFileDevice::FileModificationTime));
        }
        QByteArray broken;
        if (damage == "folder") {
            QVERIFY(QDir().mkpath(databaseFile()));
        } else if (damage == "garbage") {
            QVERIFY(QDir().mkpath(castora::recordingsDataDirectory()));
            broken = QByteArray("no database here\n").repeated(300);
        } else {
            writeOldSchemaFile();
            broken = castora::test::readFile(databaseFile());
            QVERIFY(broken.size() >= 8192);
            broken.replace(4096, 4096, QByteArray(4096, '\xa5')); // the table's page
        }
        if (!broken.isEmpty())
            QVERIFY(castora::test::writeFile(databaseFile(), broken));
        LogCapture log;
        castora::DatabaseStart start = castora::openDatabase(folder);
        QVERIFY(start.open);
        QVERIFY(log.contains("The recordings database cannot be used:"));
        QVERIFY(QFileInfo(start.movedAside).fileName().startsWith("app.db.broken-20"));
        QCOMPARE(QFileInfo(start.movedAside).isDir(), damage == "folder");
        if (!broken.isEmpty()) // kept as it was, for a look later
            QCOMPARE(castora::test::readFile(start.movedAside), broken);
        QCOMPARE(modeOf(databaseFile()), 0600);
        QCOMPARE(start.relisted, 4);
        QVERIFY2(start.notice.contains("4 recordings") &&
                     start.notice.contains(QFileInfo(start.movedAside).fileName()),
                 qPrintable(start.notice));

        RecordingController controller(castora::ServiceConfig::local(1));
        controller.loadRecordings();
        QStringList shown;
        for (const RecordingModel *recording : controller.recordings()) {
            shown << recording->name() << recording->dateCreated()
                  << QFileInfo(recording->path()).fileName();
            QVERIFY(QFileInfo(recording->path()).isAbsolute() && !recording->uploadStatus());
        }
        QCOMPARE(shown,
                 QStringList({"Morning_Show", "2026-03-21 07:05:09", files[1], "Morning_Show",
                              "2026-03-21 07:05:09", files[0], "", "2026-01-01 00:00:00", files[2],
                              "holiday", "2025-12-24 18:00:00", files[3]}));
        controller.addRecording("New", folder + "New.mp3"); // new recordings are listed
        QCOMPARE(controller.rowCount(), 5);

        // The next start: nothing to mend, nothing to say, nothing listed twice.
        start = castora::openDatabase(folder);
        QVERIFY(start.open && start.movedAside.isEmpty() && start.notice.isEmpty());
        controller.loadRecordings();
        QCOMPARE(controller.rowCount(), 5);
        QCOMPARE(QDir(castora::recordingsDataDirectory()).entryList({"app.db.broken-*"}).size(), 1);
    }

    // A database that another program holds (a second Castora) is busy, not broken: after
    // SQLite's wait it stays where it is, with its rows, and nothing is said. A data folder that
    // cannot be created (it would have to live below a plain file) leaves the library closed:
    // nothing is added or deleted meanwhile, and every attempt is logged.
    void databaseUnavailable() {
        QVERIFY(castora::initDatabase());
        RecordingController controller(castora::ServiceConfig::local(1));
        controller.addRecording("Kept", "/rec/Kept.mp3");
        {
            QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "other");
            other.setDatabaseName(databaseFile());
            QVERIFY(other.open());
            QSqlQuery lock(other);
            QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
            const castora::DatabaseStart start = castora::openDatabase(QString());
            QVERIFY(start.open && start.movedAside.isEmpty() && start.notice.isEmpty());
            QVERIFY(lock.exec("ROLLBACK"));
        }
        QSqlDatabase::removeDatabase("other");
        controller.loadRecordings();
        QCOMPARE(controller.rowCount(), 1);

        QTemporaryDir scratch;
        const QString blocker = scratch.filePath("file");
        const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
        QFile(blocker).open(QIODevice::WriteOnly);
        qputenv("XDG_DATA_HOME", blocker.toLocal8Bit());
        LogCapture log;
        QVERIFY(!castora::initDatabase());
        QVERIFY(log.contains("Could not create app data directory: \"" + blocker));
        controller.addRecording("Lost", "/rec/Lost.mp3");
        controller.deleteRecording(controller.recordings().at(0)->id());
        QCOMPARE(log.lines().count("Database is not open!"), 2);
        qputenv("XDG_DATA_HOME", dataHome);
        QVERIFY(castora::initDatabase());
        controller.loadRecordings();
        QCOMPARE(controller.rowCount(), 1);
        QCOMPARE(controller.recordings().at(0)->name(), QString("Kept"));
    }

    void listModel() {
        QVERIFY(castora::initDatabase());
        QTemporaryDir folder;
        RecordingController controller(castora::ServiceConfig::local(1));
        QAbstractItemModelTester tester(&controller,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QSignalSpy changed(&controller, &QAbstractItemModel::dataChanged);
        const auto role = [&](int row, const char *name) {
            return controller.data(controller.index(row), controller.roleNames().key(name));
        };

        controller.loadRecordings();
        QCOMPARE(controller.rowCount(), 0);
        QStringList paths;
        for (const char *name : {"First", "Second", "Third"}) {
            paths.append(folder.filePath(name + QString(".mp3")));
            QFile(paths.last()).open(QIODevice::WriteOnly);
            controller.addRecording(name, paths.last());
        }
        QCOMPARE(controller.rowCount(), 3);

        // Newest first; within one second the row added last leads. (The other roles are read
        // by the recordings screen: tst_recordingsscreen.)
        QCOMPARE(role(0, "name").toString(), QString("Third"));
        const int highest = role(0, "id").toInt();

        // Deleting removes the row only; ids of deleted rows never come back.
        controller.deleteRecording(highest);
        QCOMPARE(controller.rowCount(), 2);
        QVERIFY(QFile::exists(paths.last()));
        controller.addRecording("Fourth", paths.first());
        QCOMPARE(role(0, "id").toInt(), highest + 1);

        // A file still being written: the engine reports from its own threads, by a path
        // spelled differently, and the state lands on the controller's thread.
        const int id = role(1, "id").toInt(); // "Second"
        const QString second = paths.at(1);
        QThread *engine = QThread::create([&controller, second] {
            controller.recordingStarted(QDir::cleanPath(second + "/../") + "/./Second.mp3");
        });
        engine->start();
        QVERIFY(engine->wait(5000));
        delete engine;
        QTRY_VERIFY(controller.isRecording(id));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(changed.at(0).at(2).value<QList<int>>(),
                 QList<int>{RecordingController::IsRecordingRole});
        QCOMPARE(role(1, "isRecording"), QVariant(true));
        QVERIFY(!controller.isRecording(role(2, "id").toInt()));

        controller.loadRecordings(); // survives reloads: it is not a database state
        QVERIFY(controller.isRecording(id));
        controller.recordingFinished(second);
        QVERIFY(!controller.isRecording(id));
        QCOMPARE(changed.count(), 2);
        controller.recordingFinished(second); // no change, no signal
        QCOMPARE(changed.count(), 2);
    }
};

CASTORA_TEST_MAIN(RecordingsDatabaseTest)
#include "tst_recordingsdb.moc"
