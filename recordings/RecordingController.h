#pragma once

#include "RecordingModel.h"
#include "ServiceConfig.h"

#include <QAbstractListModel>
#include <QList>
#include <QSet>
#include <QString>

// The recordings library as the UI sees it: a list of the rows of the recordings table,
// newest first, with add, delete, reload and upload. Every database change is followed by a
// full reload; uploads report through the three upload signals.
class RecordingController : public QAbstractListModel {
    Q_OBJECT

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

    static inline const QString kStillRecordingMessage =
        QStringLiteral("This recording is still in progress. Stop the broadcast, then upload it.");

signals:
    void uploadStarted(int id, bool isLargeFile);
    void uploadProgress(int id, int progress);
    void uploadCompleted(int id, bool success, const QString &message);

public slots:
    void addRecording(const QString &name, const QString &path);
    void loadRecordings();
    void deleteRecording(int id);
    void uploadRecording(int id);

    // The broadcast engine opened `path` for writing / closed it. Safe to call from any thread.
    void recordingStarted(const QString &path);
    void recordingFinished(const QString &path);

private:
    RecordingModel *findRecording(int id) const;
    bool isBeingRecorded(const QString &path) const;
    void setBeingRecorded(const QString &path, bool recording);
    void markUploaded(int id);
    void onUploadFinished(int id, bool success, const QString &message);

    castora::ServiceConfig m_config;
    QList<RecordingModel *> m_recordings;
    QSet<QString> m_pathsBeingRecorded; // cleaned paths
};
