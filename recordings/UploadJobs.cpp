#include "UploadJobs.h"

#include "BackendRequest.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace castora::recordings {

namespace {
const api::RequestOptions kUploadAuth{api::Auth::BearerIfStored, true};
}

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
        if (result.ok()) {
            qInfo() << "Small file upload successful:" << result.body;
            complete(true, QStringLiteral("Upload successful"));
        } else {
            qWarning() << "Small file upload failed:" << result.errorString;
            complete(false, result.errorString);
        }
    });
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

    const int index = m_currentChunk;
    const qint64 length = m_plan.chunkLength(index);
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        complete(false, QStringLiteral("Failed to open file"));
        return;
    }
    QByteArray chunk(length, Qt::Uninitialized);
    const bool wholeChunk =
        file.seek(m_plan.chunkOffset(index)) && file.read(chunk.data(), length) == length;
    file.close();
    if (!wholeChunk) {
        // The file shrank since the upload started: sending fewer bytes would leave the
        // service with a file that differs from the recording.
        qWarning() << "Recording file is shorter than when its upload started:" << m_path;
        complete(false, QStringLiteral("Failed to read file"));
        return;
    }

    const QByteArray sha1 = QCryptographicHash::hash(chunk, QCryptographicHash::Sha1).toHex();
    m_partSha1s.append(QString::fromLatin1(sha1));

    QNetworkRequest req = request(QStringLiteral("api/upload-file"));
    const HeaderList headers = m_plan.chunkHeaders(index, m_fileName, sha1, m_credentials);
    for (const auto &header : headers)
        req.setRawHeader(header.first, header.second);
    QNetworkReply *reply = m_manager.post(req, chunk);
    chunk.clear(); // the reply keeps the only reference

    api::onFinished(reply, this, [this, index](const api::Reply &result) {
        if (!result.ok()) {
            complete(false, QStringLiteral("Chunk upload failed: ") + result.errorString);
            return;
        }
        emit progress(m_id, m_plan.progressAfter(index));
        ++m_currentChunk;
        // Read the next chunk once this reply (and the bytes it holds) has been released.
        QMetaObject::invokeMethod(this, &ChunkedFileUpload::sendNextChunk, Qt::QueuedConnection);
    });
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
        qInfo() << "Upload finished successfully:" << result.body;
        complete(true, QStringLiteral("Upload completed successfully"));
    });
}

} // namespace castora::recordings
