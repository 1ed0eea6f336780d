#include "RecordingsDatabase.h"

#include <QDebug>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

namespace castora {

QSqlDatabase db;

QString recordingsDataDirectory() {
    const QString location = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return location.isEmpty() ? QDir::homePath() + QStringLiteral("/.castora") : location;
}

namespace {

bool hasUploadStatusColumn() {
    QSqlQuery query;
    query.exec(QStringLiteral("PRAGMA table_info(recordings)"));
    while (query.next()) {
        if (query.value(QStringLiteral("name")).toString() == QLatin1String("upload_status"))
            return true;
    }
    return false;
}

} // namespace

bool initDatabase() {
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
        return false;
    }

    db.setDatabaseName(dataDir + QStringLiteral("/app.db"));
    if (!db.open())
        return false;

    QSqlQuery query;
    query.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS recordings (id INTEGER PRIMARY KEY "
                              "AUTOINCREMENT,name TEXT,path TEXT,date_created DATE)"));

    if (!hasUploadStatusColumn()) {
        qInfo() << "Adding upload_status column to recordings table";
        QSqlQuery alter;
        if (!alter.exec(QStringLiteral(
                "ALTER TABLE recordings ADD COLUMN upload_status BOOLEAN DEFAULT 0")))
            qWarning() << "Failed to add upload_status column:" << alter.lastError().text();
    }

    qInfo() << "Initialized";
    return true;
}

} // namespace castora
