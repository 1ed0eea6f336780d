#pragma once

#include "RecordingModel.h"
#include "ServiceConfig.h"

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>

namespace castora::recordings {
class UploadJob;
}

// The recordings library as the UI sees it: a list of the rows of the recordings table,
// newest first, with add, delete, reload and upload. Every database change is followed by a
// full reload; uploads report through the three upload signals.
class RecordingController : public QAbstractListModel {
    Q_OBJECT
    // Set at start-up when the library's database could not be used and was started anew;
    // the window shows it once. Empty otherwise.
    Q_PROPERTY(QString databaseNotice READ databaseNotice NOTIFY databaseNoticeChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1, // 257
        NameRole,                  // 258
        PathRole,                  // 259
        DateCreatedRole,           // 260
        UploadStatusRole,          // 261
        // Kept apart from the row roles: true while the broadcast still writes the file.
        IsRecordingRole = Qt::UserRole + 16,
    };
    Q_ENUM(Role)

    // Uploads go to `config`'s backend.
    explicit RecordingController(castora::ServiceConfig config, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Whether the recording with this id is still being written by a broadcast.
    Q_INVOKABLE bool isRecording(int id) const;

    const QList<RecordingModel *> &recordings() const { return m_recordings; }
    // Uploads under way.
    int uploadsInFlight() const { return int(m_uploads.size()); }

    QString databaseNotice() const { return m_databaseNotice; }
    void setDatabaseNotice(const QString &notice);

    static inline const QString kStillRecordingMessage =
        QStringLiteral("This recording is still in progress. Stop the broadcast, then upload it.");
    static inline const QString kSignedOutMessage =
        QStringLiteral("The upload was stopped because you signed out. Upload it again after "
                       "signing in.");

signals:
    void uploadStarted(int id, bool isLargeFile);
    void uploadProgress(int id, int progress);
    void uploadCompleted(int id, bool success, const QString &message);
    void databaseNoticeChanged();

public slots:
    void addRecording(const QString &name, const QString &path);
    void loadRecordings();
    void deleteRecording(int id);
    void uploadRecording(int id);

    // The broadcast engine opened `path` for writing / closed it. Safe to call from any thread.
    void recordingStarted(const QString &path);
    void recordingFinished(const QString &path);
    // The file `lostPath` being recorded was removed, and the broadcast goes on in `path`
    // (listed as `name`): the row of the file that is gone goes, the new file is listed. When
    // the library's own file went too (removed with the folder), the library is made anew and
    // lists the recordings folder's files again.
    void recordingMoved(const QString &lostPath, const QString &name, const QString &path);
    // The broadcast writing `path` ended before it began (its file is gone): its row goes.
    void recordingDiscarded(const QString &path);

    // The user signed out: uploads under way stop (each reports its failure); the rows stay
    // as they are.
    void cancelUploads();

private:
    RecordingModel *findRecording(int id) const;
    bool isBeingRecorded(const QString &path) const;
    void setBeingRecorded(const QString &path, bool recording);
    void markUploaded(int id);
    void onUploadFinished(int id, bool success, const QString &message);

    castora::ServiceConfig m_config;
    QList<RecordingModel *> m_recordings;
    QSet<QString> m_pathsBeingRecorded; // cleaned paths
    struct Upload {
        QPointer<castora::recordings::UploadJob> job;
        bool large = false;
        int progress = 0;
    };
    QHash<int, Upload> m_uploads; // recording id -> its upload under way
    QString m_databaseNotice;
};
