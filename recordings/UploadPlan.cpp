#include "UploadPlan.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <algorithm>

namespace castora::recordings {

UploadCredentials UploadCredentials::fromReply(const QJsonObject &reply) {
    return UploadCredentials{reply.value(QLatin1String("authorizationToken")).toString(),
                             reply.value(QLatin1String("uploadUrl")).toString(),
                             reply.value(QLatin1String("fileId")).toString()};
}

UploadPlan::UploadPlan(qint64 fileSize)
    : m_fileSize(std::max<qint64>(fileSize, 0))
    , m_totalChunks(int((m_fileSize + kChunkSize - 1) / kChunkSize)) {
}

qint64 UploadPlan::chunkOffset(int index) const {
    return qint64(index) * kChunkSize;
}

qint64 UploadPlan::chunkLength(int index) const {
    if (index < 0 || index >= m_totalChunks)
        return 0;
    const qint64 begin = chunkOffset(index);
    return std::min(begin + kChunkSize, m_fileSize) - begin;
}

int UploadPlan::progressAfter(int index) const {
    if (m_totalChunks <= 0)
        return 100;
    return int((qint64(index) + 1) * 100 / m_totalChunks);
}

QByteArray UploadPlan::encodedFileName(const QString &fileName) {
    return QUrl::toPercentEncoding(fileName);
}

HeaderList UploadPlan::chunkHeaders(int index, const QString &fileName, const QByteArray &sha1Hex,
                                    const UploadCredentials &credentials) const {
    return {
        {"Content-Type", "application/octet-stream"},
        {"X-File-Name", fileName.toUtf8()},
        {"X-Part-Number", QByteArray::number(index + 1)},
        {"X-Total-Chunks", QByteArray::number(m_totalChunks)},
        {"X-Content-Sha1", sha1Hex},
        {"X-Authorization-Token", credentials.authorizationToken.toUtf8()},
        {"X-Upload-Url", credentials.uploadUrl.toUtf8()},
        {"X-Start", index == 0 ? "1" : "0"},
        {"X-End", index == m_totalChunks - 1 ? "1" : "0"},
    };
}

QByteArray UploadPlan::partListJson(const QStringList &sha1s) {
    return QJsonDocument(QJsonArray::fromStringList(sha1s)).toJson(QJsonDocument::Compact);
}

} // namespace castora::recordings
