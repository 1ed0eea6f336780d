#pragma once

#include "ServiceConfig.h"
#include "UploadPlan.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkRequest;

namespace castora::recordings {

// One upload of one recording file. It reports `completed` exactly once, then deletes itself;
// it owns the network access manager of its requests, so chunks of one upload reuse one
// connection while separate uploads share nothing.
class UploadJob : public QObject {
    Q_OBJECT
public:
    UploadJob(int id, QString path, ServiceConfig config, QObject *parent);

    int recordingId() const { return m_id; }
    virtual void start() = 0;

signals:
    void progress(int id, int percent);
    void completed(int id, bool success, const QString &message);

protected:
    // Accept, plus the bearer token when one is stored.
    QNetworkRequest request(const QString &endpointPath) const;
    void complete(bool success, const QString &message);
    bool isDone() const { return m_done; }

    const int m_id;
    const QString m_path;
    const ServiceConfig m_config;
    QNetworkAccessManager m_manager;

private:
    bool m_done = false;
};

// Below the chunk threshold: one POST whose body the network layer streams from the file.
class SmallFileUpload : public UploadJob {
    Q_OBJECT
public:
    using UploadJob::UploadJob;
    void start() override;
};

// From the chunk threshold up: start (credentials), one chunk at a time with its SHA-1, finish
// with the list of SHA-1s. Only the chunk being sent is held in memory.
class ChunkedFileUpload : public UploadJob {
    Q_OBJECT
public:
    using UploadJob::UploadJob;
    void start() override;

private:
    void requestCredentials();
    void onCredentials(const QJsonObject &reply);
    void sendNextChunk();
    void finishUpload();

    QString m_fileName;
    UploadPlan m_plan;
    UploadCredentials m_credentials;
    int m_currentChunk = 0;
    QStringList m_partSha1s;
};

} // namespace castora::recordings
