#include "RecordingsDatabase.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace castora {

QSqlDatabase db;

QString recordingsDataDirectory() {
    const QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return location.isEmpty() ? QDir::homePath() + QStringLiteral("/.castora") : location;
}

namespace {

const QString kDateFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

struct Check {
    enum Outcome { Good, Busy, Broken } outcome = Good;
    QString why;
};

// SQLite's SQLITE_BUSY and SQLITE_LOCKED (5 and 6, also as the low byte of their extended
// codes): another program holds the file. That says nothing about the file itself.
Check failed(const QSqlError &error) {
    const int code = error.nativeErrorCode().toInt() & 0xff;
    return {code == 5 || code == 6 ? Check::Busy : Check::Broken, error.text()};
}

bool hasUploadStatusColumn() {
    QSqlQuery query;
    query.exec(QStringLiteral("PRAGMA table_info(recordings)"));
    while (query.next()) {
        if (query.value(QStringLiteral("name")).toString() == QLatin1String("upload_status"))
            return true;
    }
    return false;
}

// Opens the file and makes sure the list can be read and written through it: SQLite opens
// almost anything lazily, so only a query tells a database from garbage.
Check openAndCheck(const QString &file) {
    db.setDatabaseName(file);
    if (!db.open())
        return failed(db.lastError());
    QSqlQuery query;
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next())
        return failed(query.lastError());
    if (query.value(0).toString() != QLatin1String("ok"))
        return {Check::Broken, query.value(0).toString()};
    if (!query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS recordings (id INTEGER PRIMARY KEY "
                                   "AUTOINCREMENT,name TEXT,path TEXT,date_created DATE)")))
        return failed(query.lastError());

    if (!hasUploadStatusColumn()) {
        qInfo() << "Adding upload_status column to recordings table";
        QSqlQuery alter;
        if (!alter.exec(QStringLiteral(
                "ALTER TABLE recordings ADD COLUMN upload_status BOOLEAN DEFAULT 0")))
            qWarning() << "Failed to add upload_status column:" << alter.lastError().text();
    }
    if (!query.exec(QStringLiteral(
            "SELECT id, name, path, date_created, upload_status FROM recordings LIMIT 1")))
        return failed(query.lastError());
    return {};
}

// The list is the user's own: private whatever the umask. SQLite gives its journal the
// permissions of the database file.
void makePrivate(const QString &folder, const QString &file) {
    ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    const QByteArray name = QFile::encodeName(file);
    struct stat info {};
    if (::lstat(name.constData(), &info) != 0) {
        const int fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd >= 0)
            ::close(fd);
    } else if (S_ISREG(info.st_mode)) {
        ::chmod(name.constData(), S_IRUSR | S_IWUSR);
    }
}

bool exists(const QString &path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Moves `file` (and what SQLite keeps beside it) to "<file>.broken-<time stamp>"; returns the
// new name, empty when it could not be moved.
QString moveAside(const QString &file) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = file + QStringLiteral(".broken-") + stamp;
    for (int n = 2; exists(aside); ++n)
        aside = file + QStringLiteral(".broken-") + stamp + QLatin1Char('-') + QString::number(n);
    if (::rename(QFile::encodeName(file).constData(), QFile::encodeName(aside).constData()) != 0)
        return QString();
    // A journal left by the broken file must not be played into the new one.
    for (const char *side : {"-journal", "-wal", "-shm"}) {
        const QString from = file + QLatin1String(side);
        if (exists(from))
            ::rename(QFile::encodeName(from).constData(),
                     QFile::encodeName(aside + QLatin1String(side)).constData());
    }
    return aside;
}

struct FoundRecording {
    QString name;
    QString path;
    QString created;
};

// A recording file as the engine names it, "<name>_yyyyMMdd_HHmmss[_N].mp3": the name and the
// start time come from the file name; any other MP3 file keeps its base name and its time of
// last change.
FoundRecording recordingFromFile(const QFileInfo &file) {
    static const QRegularExpression named(QStringLiteral("^(.*)_(\\d{8}_\\d{6})(?:_\\d+)?\\.mp3$"),
                                          QRegularExpression::CaseInsensitiveOption);
    FoundRecording found{file.completeBaseName(), file.absoluteFilePath(),
                         file.lastModified().toString(kDateFormat)};
    const QRegularExpressionMatch match = named.match(file.fileName());
    if (match.hasMatch()) {
        const QDateTime start =
            QDateTime::fromString(match.captured(2), QStringLiteral("yyyyMMdd_HHmmss"));
        if (start.isValid()) {
            found.name = match.captured(1);
            found.created = start.toString(kDateFormat);
        }
    }
    return found;
}

// Lists the MP3 files of `folder` that no row lists, oldest first; returns how many.
int relist(const QString &folder) {
    if (folder.isEmpty())
        return 0;
    QSet<QString> listed;
    QSqlQuery query(QStringLiteral("SELECT path FROM recordings"));
    while (query.next())
        listed.insert(QDir::cleanPath(query.value(0).toString()));
    QList<FoundRecording> found;
    const QFileInfoList files =
        QDir(folder).entryInfoList({QStringLiteral("*.mp3")}, QDir::Files, QDir::Name);
    for (const QFileInfo &file : files) {
        if (!listed.contains(QDir::cleanPath(file.absoluteFilePath())))
            found.append(recordingFromFile(file));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.created < b.created; });
    int added = 0;
    QSqlQuery insert;
    insert.prepare(
        QStringLiteral("INSERT INTO recordings (name, path, date_created) VALUES (?, ?, ?)"));
    for (const FoundRecording &recording : std::as_const(found)) {
        insert.addBindValue(recording.name);
        insert.addBindValue(recording.path);
        insert.addBindValue(recording.created);
        if (insert.exec())
            ++added;
        else
            qWarning() << "Failed to add recording:" << insert.lastError().text();
    }
    return added;
}

} // namespace

DatabaseStart openDatabase(const QString &recordingsFolder, bool listAgain) {
    DatabaseStart start;
    // A second call stands for a restart: drop the old connection before making a new one, so
    // Qt does not replace a connection that is still referenced.
    if (QSqlDatabase::contains(QLatin1String(QSqlDatabase::defaultConnection))) {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    }
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));

    const QString dataDir = recordingsDataDirectory();
    if (!QDir().mkpath(dataDir)) {
        qWarning() << "Could not create app data directory:" << dataDir;
        return start;
    }
    const QString file = dataDir + QStringLiteral("/app.db");
    makePrivate(dataDir, file);

    Check check = openAndCheck(file);
    if (check.outcome == Check::Busy) {
        // Another program (a second Castora) holds it; it is not broken for that.
        qWarning() << "The recordings database is in use by another program:" << check.why;
    } else if (check.outcome == Check::Broken) {
        qWarning() << "The recordings database cannot be used:" << file << check.why;
        db.close();
        start.movedAside = exists(file) ? moveAside(file) : QString();
        if (start.movedAside.isEmpty()) {
            qWarning() << "Could not move the recordings database aside:" << file;
        } else {
            qWarning() << "Moved the unusable recordings database to" << start.movedAside;
            makePrivate(dataDir, file);
            check = openAndCheck(file);
        }
        if (check.outcome != Check::Good) {
            db.close();
            start.notice = QStringLiteral("The recordings library could not be opened, so new "
                                          "recordings are not listed. Your recording files are "
                                          "still in %1.")
                               .arg(QDir::toNativeSeparators(recordingsFolder));
            return start;
        }
        start.relisted = relist(recordingsFolder);
        qInfo() << "Listed again from the recordings folder:" << start.relisted;
        const QString found = start.relisted == 1
                                  ? QStringLiteral("1 recording found in the recordings folder is")
                                  : QStringLiteral("%1 recordings found in the recordings folder "
                                                   "are")
                                        .arg(start.relisted);
        start.notice = QStringLiteral("The recordings library could not be read and was started "
                                      "anew: %1 listed again. The old library was kept as %2.")
                           .arg(found, QFileInfo(start.movedAside).fileName());
    } else if (listAgain && check.outcome == Check::Good) {
        start.relisted = relist(recordingsFolder);
        qInfo() << "Listed again from the recordings folder:" << start.relisted;
    }
    start.open = db.isOpen();
    qInfo() << "Initialized";
    return start;
}

bool initDatabase() {
    return openDatabase(QString()).open;
}

} // namespace castora
