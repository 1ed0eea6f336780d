#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace castora::dev {

class DevServer;
struct Answer;
struct RecordedRequest;

// A recording the stand-in has received in full.
struct StoredUpload {
    QString fileId;
    QString fileName; // as the client named it
    QString path;     // where the server keeps it
    qint64 size = 0;
    bool chunked = false;
};

// The recordings the service accepts: single uploads, and chunked uploads that are opened with
// credentials, take their parts strictly in order with a SHA-1 each, and are put together on
// disk when finished. Files live under <dataDir>/uploads/<fileId>/.
//
// Every upload endpoint wants a signed-in user (a valid bearer token), as the service does;
// the chunk and finish calls must also come from the user who started the upload.
class UploadStore {
public:
    explicit UploadStore(DevServer &server);

    // The next chunk with this part number is answered with `status` instead of being taken.
    void failChunk(int partNumber, int status = 500);

    QList<StoredUpload> stored() const { return m_stored; }
    // The latest upload stored under `fileName`, or nullptr.
    const StoredUpload *find(const QString &fileName) const;
    // Chunked uploads started and not yet finished.
    int openUploads() const { return int(m_open.size()); }

    Answer single(const RecordedRequest &request);
    Answer start(const RecordedRequest &request);
    Answer chunk(const RecordedRequest &request);
    Answer finish(const RecordedRequest &request);

private:
    struct OpenUpload {
        QString fileId;
        QString fileName;
        QString token;
        QString uploadUrl;
        QString owner; // e-mail of the account that started it
        QString partsDir;
        int totalChunks = 0;
        int received = 0;
        qint64 bytes = 0;
        QStringList sha1s;
    };

    QString uploadsDir() const;
    QString ownerOf(const RecordedRequest &request) const;

    DevServer &m_server;
    QHash<QString, OpenUpload> m_open; // by authorization token
    QList<StoredUpload> m_stored;
    QHash<int, int> m_failChunks; // part number -> status
};

} // namespace castora::dev
