#include "UploadJobs.h"

#include "BackendRequest.h"
#include "LogText.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace castora::recordings {

namespace {

const api::RequestOptions kUploadAuth{api::Auth::BearerIfStored, true};

// The service answers in JSON. A success status whose body is something else (a proxy's error
// page, a captive portal) does not say that the file arrived, so it is no success.
bool understood(const api::Reply &reply) {
    return reply.body.trimmed().isEmpty() || !reply.document.isNull();
}
const char *const kNotUnderstood =
    "The server's reply could not be understood, so the upload may not have arrived. Please "
    "try again.";

// The bytes [offset, offset + length) of a file as a device of their own.
class FileSlice : public QIODevice {
public:
    FileSlice(const QString &path, qint64 offset, qint64 length)
        : m_file(path)
        , m_offset(offset)
        , m_length(length) {}

    bool open() {
        return m_file.open(QIODevice::ReadOnly) && m_file.seek(m_offset) &&
               QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_length; }
    bool seek(qint64 position) override {
        if (position < 0 || position > m_length || !m_file.seek(m_offset + position))
            return false;
        m_consumed = position;
        return QIODevice::seek(position);
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        const qint64 wanted = qMin(maxSize, m_length - m_consumed);
        if (wanted <= 0)
            return 0;
        const qint64 got = m_file.read(data, wanted);
        if (got > 0)
            m_consumed += got;
        return got;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile m_file;
    const qint64 m_offset;
    const qint64 m_length;
    qint64 m_consumed = 0;
};

// Reads and hashes one chunk on the upload's transfer thread. Only the hash is kept: the body
// is streamed to the network from the file. Should the file change between hashing and
// sending, the service refuses the chunk for its checksum.
ChunkOutcome hashChunk(const ChunkTask &task) {
    ChunkOutcome outcome;
    FileSlice hashed(task.path, task.plan.chunkOffset(task.index),
                     task.plan.chunkLength(task.index));
    outcome.opened = hashed.open();
    if (!outcome.opened)
        return outcome;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray block(256 * 1024, Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 got; (got = hashed.read(block.data(), block.size())) > 0; total += got)
        hash.addData(QByteArrayView(block.constData(), got));
    outcome.wholeChunk = total == task.plan.chunkLength(task.index);
    if (outcome.wholeChunk)
        outcome.sha1 = QString::fromLatin1(hash.result().toHex());
    return outcome;
}

} // namespace

UploadJob::UploadJob(int id, QString path, ServiceConfig config, QObject *parent)
    : QObject(parent)
    , m_id(id)
    , m_path(std::move(path))
    , m_config(std::move(config)) {
}

QNetworkRequest UploadJob::request(const QString &endpointPath) const {
    return api::request(m_config.endpoint(endpointPath), kUploadAuth);
}

void UploadJob::complete(bool success, const QString &message) {
    if (m_done)
        return;
    m_done = true;
    emit completed(m_id, success, message);
    deleteLater();
}

void SmallFileUpload::start() {
    auto *file = new QFile(m_path);
    if (!file->open(QIODevice::ReadOnly)) {
        qWarning() << "Failed to open file:" << m_path;
        delete file;
        complete(false, QStringLiteral("Failed to open file"));
        return;
    }

    QNetworkRequest req = request(QStringLiteral("api/upload-small-file"));
    req.setHeader(QNetworkRequest::ContentTypeHeader,
                  QByteArrayLiteral("application/octet-stream"));
    req.setHeader(QNetworkRequest::ContentLengthHeader, file->size());
    req.setRawHeader("X-filename", UploadPlan::encodedFileName(QFileInfo(m_path).fileName()));

    QNetworkReply *reply = m_manager.post(req, file);
    file->setParent(reply);
    api::onFinished(reply, this, [this](const api::Reply &result) {
        if (result.ok() && !understood(result)) {
            qWarning() << "Small file upload answered with something else than JSON:"
                       << logtext::capped(result.body);
            complete(false, QString::fromUtf8(kNotUnderstood));
        } else if (result.ok()) {
            qInfo() << "Small file upload successful:" << logtext::capped(result.body);
            complete(true, QStringLiteral("Upload successful"));
        } else {
            qWarning() << "Small file upload failed:" << result.errorString;
            complete(false, result.errorString);
        }
    });
}

// The request is asynchronous on the transfer thread, so that it has the no-progress time-out
// of every request: Qt ends a synchronous one only after 30 s in all, however steadily it
// progresses, and never sooner when the server stops answering.
void ChunkSender::send(const ChunkTask &task) {
    ChunkOutcome outcome = hashChunk(task);
    if (!outcome.opened || !outcome.wholeChunk) {
        emit sent(outcome);
        return;
    }
    const qint64 length = task.plan.chunkLength(task.index);
    auto *body = new FileSlice(task.path, task.plan.chunkOffset(task.index), length);
    if (!body->open()) {
        delete body;
        outcome.opened = false;
        emit sent(outcome);
        return;
    }
    QNetworkRequest request = api::request(task.url, kUploadAuth);
    const HeaderList headers = task.plan.chunkHeaders(task.index, task.fileName,
                                                      outcome.sha1.toLatin1(), task.credentials);
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    request.setHeader(QNetworkRequest::ContentLengthHeader, length);

    if (!m_manager)
        m_manager = new net::AccessManager(this); // on the transfer thread, like this object
    QNetworkReply *reply = m_manager->post(request, body);
    body->setParent(reply);
    api::onFinished(reply, this, [this, outcome](const api::Reply &result) mutable {
        outcome.sent = result.ok();
        if (!outcome.sent)
            outcome.errorString = result.errorString;
        emit sent(outcome);
    });
}

ChunkedFileUpload::~ChunkedFileUpload() {
    if (m_transferThread)
        m_transferThread->quit();
}

void ChunkedFileUpload::start() {
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Failed to open file:" << m_path;
        complete(false, QStringLiteral("Failed to open file"));
        return;
    }
    // The size is taken once: bytes appended later are not part of this upload.
    m_plan = UploadPlan(file.size());
    m_fileName = QFileInfo(m_path).fileName();
    file.close();
    requestCredentials();
}

void ChunkedFileUpload::requestCredentials() {
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    body->append(api::formField(QStringLiteral("filename"), m_fileName.toUtf8()));
    QNetworkReply *reply = api::postMultipart(
        m_manager, m_config.endpoint(QStringLiteral("api/start-file-upload")), body, kUploadAuth);
    api::onFinished(reply, this, [this](const api::Reply &result) {
        QJsonObject credentials;
        if (!result.ok()) {
            qWarning() << "Failed to upload file: session expired or invalid credentials"
                       << result.errorString;
        } else {
            credentials = result.object();
            // The reply holds the upload's secret token: say that it came, never what it is.
            qInfo() << "Upload credentials received for file ID:"
                    << credentials.value(QLatin1String("fileId")).toString();
        }
        onCredentials(credentials);
    });
}

void ChunkedFileUpload::onCredentials(const QJsonObject &reply) {
    if (reply.isEmpty()) {
        complete(false, QStringLiteral("Failed to get upload credentials"));
        return;
    }
    m_credentials = UploadCredentials::fromReply(reply);
    if (!QFile(m_path).open(QIODevice::ReadOnly)) {
        complete(false, QStringLiteral("Failed to open file"));
        return;
    }
    m_currentChunk = 0;
    m_partSha1s.clear();
    sendNextChunk();
}

void ChunkedFileUpload::sendNextChunk() {
    if (isDone())
        return;
    if (m_currentChunk >= m_plan.totalChunks()) {
        finishUpload();
        return;
    }
    if (!m_transferThread) {
        m_transferThread = new QThread; // no parent: it may outlive this upload
        m_sender = new ChunkSender;
        m_sender->moveToThread(m_transferThread);
        connect(m_transferThread, &QThread::finished, m_sender, &QObject::deleteLater);
        connect(m_transferThread, &QThread::finished, m_transferThread, &QObject::deleteLater);
        connect(m_sender, &ChunkSender::sent, this, &ChunkedFileUpload::onChunkSent);
        m_transferThread->start();
    }
    const ChunkTask task{m_path,         m_fileName,
                         m_currentChunk, m_plan,
                         m_credentials,  m_config.endpoint(QStringLiteral("api/upload-file"))};
    ChunkSender *sender = m_sender;
    QMetaObject::invokeMethod(sender, [sender, task] { sender->send(task); });
}

void ChunkedFileUpload::onChunkSent(const ChunkOutcome &outcome) {
    if (isDone())
        return;
    if (!outcome.opened) {
        complete(false, QStringLiteral("Failed to open file"));
        return;
    }
    if (!outcome.wholeChunk) {
        // The file shrank since the upload started: sending fewer bytes would leave the service
        // with a file that differs from the recording.
        qWarning() << "Recording file is shorter than when its upload started:" << m_path;
        complete(false, QStringLiteral("Failed to read file"));
        return;
    }
    m_partSha1s.append(outcome.sha1);
    if (!outcome.sent) {
        complete(false, QStringLiteral("Chunk upload failed: ") + outcome.errorString);
        return;
    }
    emit progress(m_id, m_plan.progressAfter(m_currentChunk));
    ++m_currentChunk;
    sendNextChunk();
}

void ChunkedFileUpload::finishUpload() {
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    body->append(api::formField(QStringLiteral("authorizationToken"),
                                m_credentials.authorizationToken.toUtf8()));
    body->append(api::formField(QStringLiteral("fileId"), m_credentials.fileId.toUtf8()));
    body->append(
        api::formField(QStringLiteral("partSha1Array"), UploadPlan::partListJson(m_partSha1s)));
    QNetworkReply *reply = api::postMultipart(
        m_manager, m_config.endpoint(QStringLiteral("api/finish-file-upload")), body, kUploadAuth);
    api::onFinished(reply, this, [this](const api::Reply &result) {
        if (!result.ok()) {
            qWarning() << "Failed to finish upload:" << result.errorString;
            complete(false, QStringLiteral("Failed to finish upload: ") + result.errorString);
            return;
        }
        if (!understood(result)) {
            qWarning() << "Finishing the upload answered with something else than JSON:"
                       << logtext::capped(result.body);
            complete(false, QString::fromUtf8(kNotUnderstood));
            return;
        }
        qInfo() << "Upload finished successfully:" << logtext::capped(result.body);
        complete(true, QStringLiteral("Upload completed successfully"));
    });
}

} // namespace castora::recordings
