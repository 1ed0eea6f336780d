#include "RecordingController.h"

#include "RecordingsDatabase.h"
#include "UploadJobs.h"
#include "UploadPlan.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>

#include <algorithm>
#include <utility>

using castora::recordings::ChunkedFileUpload;
using castora::recordings::SmallFileUpload;
using castora::recordings::UploadJob;
using castora::recordings::UploadPlan;

namespace {

// The default connection, opened when it is not; logs and yields false when that fails. A
// connection without a file name stays closed: SQLite would open a throw-away temporary
// database for it, and rows written there would be lost without a word.
bool databaseOpen() {
    QSqlDatabase database =
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
    if (!database.isOpen() && database.isValid() && !database.databaseName().isEmpty())
        database.open();
    if (database.isOpen())
        return true;
    qWarning() << "Database is not open!";
    return false;
}

} // namespace

RecordingController::RecordingController(castora::ServiceConfig config, QObject *parent)
    : QAbstractListModel(parent)
    , m_config(std::move(config)) {
}

int RecordingController::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(m_recordings.size());
}

QVariant RecordingController::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_recordings.size())
        return QVariant();
    const RecordingModel *recording = m_recordings.at(index.row());
    switch (role) {
    case IdRole:
        return recording->id();
    case NameRole:
        return recording->name();
    case PathRole:
        return recording->path();
    case DateCreatedRole:
        return recording->dateCreated();
    case UploadStatusRole:
        return recording->uploadStatus();
    case IsRecordingRole:
        return isBeingRecorded(recording->path());
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> RecordingController::roleNames() const {
    return {
        {IdRole, "id"},
        {NameRole, "name"},
        {PathRole, "path"},
        {DateCreatedRole, "dateCreated"},
        {UploadStatusRole, "uploadStatus"},
        {IsRecordingRole, "isRecording"},
    };
}

bool RecordingController::isRecording(int id) const {
    const RecordingModel *recording = findRecording(id);
    return recording && isBeingRecorded(recording->path());
}

void RecordingController::addRecording(const QString &name, const QString &path) {
    if (!databaseOpen())
        return;
    QSqlQuery query;
    query.prepare(
        QStringLiteral("INSERT INTO recordings (name, path, date_created) VALUES (?, ?, ?)"));
    query.addBindValue(name);
    query.addBindValue(path);
    query.addBindValue(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    if (!query.exec()) {
        qWarning() << "Failed to add recording:" << query.lastError().text();
        return;
    }
    qInfo() << "Recording added to database:" << name;
    loadRecordings();
}

void RecordingController::loadRecordings() {
    if (!databaseOpen())
        return;
    beginResetModel();
    qDeleteAll(m_recordings);
    m_recordings.clear();
    // Rows of the same second: the one added last comes first.
    QSqlQuery query(QStringLiteral("SELECT id, name, path, date_created, upload_status FROM "
                                   "recordings ORDER BY date_created DESC, id DESC"));
    while (query.next()) {
        auto *recording = new RecordingModel(this);
        recording->setId(query.value(0).toInt());
        recording->setName(query.value(1).toString());
        recording->setPath(query.value(2).toString());
        recording->setDateCreated(query.value(3).toString());
        recording->setUploadStatus(query.value(4).toBool());
        m_recordings.append(recording);
    }
    endResetModel();
    qInfo() << "Loaded" << m_recordings.size() << "recordings from database";
}

void RecordingController::deleteRecording(int id) {
    if (!databaseOpen())
        return;
    QSqlQuery query;
    query.prepare(QStringLiteral("DELETE FROM recordings WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec()) {
        qWarning() << "Failed to delete recording:" << query.lastError().text();
        return;
    }
    // Only the row goes: the MP3 file stays where it is.
    qInfo() << "Recording deleted from database, ID:" << id;
    loadRecordings();
}

void RecordingController::uploadRecording(int id) {
    const RecordingModel *recording = findRecording(id);
    if (!recording) {
        qWarning() << "Recording not found with ID:" << id;
        emit uploadCompleted(id, false, QStringLiteral("Recording not found"));
        return;
    }
    // Already going up (the screen was left and entered again, and forgot it): the first
    // upload goes on, announced again so that the screen shows it; nothing is sent twice.
    if (const auto running = m_uploads.constFind(id); running != m_uploads.constEnd()) {
        qInfo() << "Upload already in progress, not starting another for ID:" << id;
        emit uploadStarted(id, running->large);
        if (running->large && running->progress > 0)
            emit uploadProgress(id, running->progress);
        return;
    }
    const QString path = recording->path();
    // A file the broadcast still appends to would reach the service truncated, and the row
    // would then claim it was uploaded.
    if (isBeingRecorded(path)) {
        qWarning() << "Recording is still in progress, not uploading ID:" << id;
        emit uploadCompleted(id, false, kStillRecordingMessage);
        return;
    }
    const QFileInfo file(path);
    if (!file.exists()) {
        qWarning() << "File does not exist:" << path;
        emit uploadCompleted(id, false, QStringLiteral("File does not exist"));
        return;
    }

    UploadJob *job = nullptr;
    const bool large = UploadPlan::isChunked(file.size());
    if (large) {
        qInfo() << "uploading large file";
        job = new ChunkedFileUpload(id, path, m_config, this);
    } else {
        qInfo() << "uploading small file";
        job = new SmallFileUpload(id, path, m_config, this);
    }
    m_uploads.insert(id, Upload{job, large, 0});
    connect(job, &UploadJob::progress, this, [this](int upload, int percent) {
        if (const auto running = m_uploads.find(upload); running != m_uploads.end())
            running->progress = percent;
        emit uploadProgress(upload, percent);
    });
    connect(job, &UploadJob::completed, this, &RecordingController::onUploadFinished);
    emit uploadStarted(id, large);
    job->start();
}

void RecordingController::cancelUploads() {
    const QHash<int, Upload> running = std::exchange(m_uploads, {});
    for (auto it = running.cbegin(); it != running.cend(); ++it) {
        if (it->job)
            it->job->cancel();
        qInfo() << "Upload stopped at sign-out, ID:" << it.key();
        emit uploadCompleted(it.key(), false, kSignedOutMessage);
    }
}

void RecordingController::setDatabaseNotice(const QString &notice) {
    if (m_databaseNotice == notice)
        return;
    m_databaseNotice = notice;
    emit databaseNoticeChanged();
}

void RecordingController::recordingStarted(const QString &path) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, path] { recordingStarted(path); }, Qt::QueuedConnection);
        return;
    }
    setBeingRecorded(path, true);
}

void RecordingController::recordingFinished(const QString &path) {
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, path] { recordingFinished(path); }, Qt::QueuedConnection);
        return;
    }
    setBeingRecorded(path, false);
}

void RecordingController::recordingMoved(const QString &lostPath, const QString &name,
                                         const QString &path) {
    setBeingRecorded(lostPath, false);
    const QString file =
        QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false)
            .databaseName();
    if (!file.isEmpty() && !QFileInfo::exists(file)) {
        qWarning() << "The recordings database was removed with its folder; starting it anew";
        castora::openDatabase(QFileInfo(path).absolutePath(), true);
    } else if (databaseOpen()) {
        QSqlQuery query;
        query.prepare(QStringLiteral("DELETE FROM recordings WHERE path = ?"));
        query.addBindValue(lostPath);
        if (!query.exec())
            qWarning() << "Failed to delete recording:" << query.lastError().text();
    }
    loadRecordings();
    const bool listed = std::any_of(m_recordings.begin(), m_recordings.end(), [&](auto *r) {
        return QDir::cleanPath(r->path()) == QDir::cleanPath(path);
    });
    if (!listed)
        addRecording(name, path);
    setBeingRecorded(path, true);
}

void RecordingController::recordingDiscarded(const QString &path) {
    setBeingRecorded(path, false);
    if (!databaseOpen())
        return;
    QSqlQuery query;
    query.prepare(QStringLiteral("DELETE FROM recordings WHERE path = ?"));
    query.addBindValue(path);
    if (!query.exec())
        qWarning() << "Failed to delete recording:" << query.lastError().text();
    loadRecordings();
}

RecordingModel *RecordingController::findRecording(int id) const {
    for (RecordingModel *recording : m_recordings) {
        if (recording->id() == id)
            return recording;
    }
    return nullptr;
}

bool RecordingController::isBeingRecorded(const QString &path) const {
    return !path.isEmpty() && m_pathsBeingRecorded.contains(QDir::cleanPath(path));
}

void RecordingController::setBeingRecorded(const QString &path, bool recording) {
    const QString key = QDir::cleanPath(path);
    if (key.isEmpty() || m_pathsBeingRecorded.contains(key) == recording)
        return;
    if (recording)
        m_pathsBeingRecorded.insert(key);
    else
        m_pathsBeingRecorded.remove(key);
    for (int row = 0; row < m_recordings.size(); ++row) {
        if (QDir::cleanPath(m_recordings.at(row)->path()) == key) {
            const QModelIndex changed = index(row);
            emit dataChanged(changed, changed, {IsRecordingRole});
        }
    }
}

void RecordingController::markUploaded(int id) {
    if (!databaseOpen())
        return;
    QSqlQuery query;
    query.prepare(QStringLiteral("UPDATE recordings SET upload_status = 1 WHERE id = ?"));
    query.addBindValue(id);
    if (!query.exec()) {
        qWarning() << "Failed to update upload status:" << query.lastError().text();
        return;
    }
    qInfo() << "Updated upload status for ID:" << id;
    loadRecordings();
}

void RecordingController::onUploadFinished(int id, bool success, const QString &message) {
    m_uploads.remove(id);
    // The list shows the row as uploaded before anyone hears of the success.
    if (success)
        markUploaded(id);
    emit uploadCompleted(id, success, message);
}
