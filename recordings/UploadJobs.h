#pragma once

#include "NetworkAccess.h"
#include "ServiceConfig.h"
#include "UploadPlan.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QUrl>

class QNetworkRequest;

namespace castora::recordings {

// One upload of one recording file. It reports `completed` exactly once, then deletes itself.
// Separate uploads share nothing but the database and the list.
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
    net::AccessManager m_manager;

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

// One chunk to send, with everything needed to send it (copied: the transfer thread shares
// nothing with the upload).
struct ChunkTask {
    QString path;
    QString fileName;
    int index = 0;
    UploadPlan plan;
    UploadCredentials credentials;
    QUrl url;
};

struct ChunkOutcome {
    bool opened = false;
    bool wholeChunk = false;
    QString sha1;
    bool sent = false;
    QString errorString;
};

// Reads, hashes and sends chunks on an upload's transfer thread, so that neither the disk nor
// the transfer holds up the UI.
class ChunkSender : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void send(const ChunkTask &task);

signals:
    void sent(const castora::recordings::ChunkOutcome &outcome);

private:
    net::AccessManager *m_manager = nullptr; // a child, made on the transfer thread
};

// From the chunk threshold up: start (credentials), one chunk at a time with its SHA-1, finish
// with the list of SHA-1s. The steps and every signal stay on the controller's thread; only
// one chunk is in flight, and only its bytes are in memory.
class ChunkedFileUpload : public UploadJob {
    Q_OBJECT
public:
    using UploadJob::UploadJob;
    // A chunk still on its way is abandoned: the transfer thread ends, and its sender goes with
    // the request; nothing waits for it.
    ~ChunkedFileUpload() override;
    void start() override;

private:
    void requestCredentials();
    void onCredentials(const QJsonObject &reply);
    void sendNextChunk();
    void onChunkSent(const ChunkOutcome &outcome);
    void finishUpload();

    QString m_fileName;
    UploadPlan m_plan;
    UploadCredentials m_credentials;
    int m_currentChunk = 0;
    QStringList m_partSha1s;
    QThread *m_transferThread = nullptr; // started with the first chunk; deletes itself
    ChunkSender *m_sender = nullptr;     // lives on m_transferThread
};

} // namespace castora::recordings

Q_DECLARE_METATYPE(castora::recordings::ChunkOutcome)
