#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

namespace castora::recordings {

// Files of this many bytes or more go up in chunks, and a chunk is at most this long. Decimal
// bytes, not MiB: the service sizes its parts the same way.
inline constexpr qint64 kChunkSize = 5'000'000;

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// What the start of a chunked upload hands back. The client never interprets these: it echoes
// the token and the upload URL with every chunk, the token and the file id at the finish.
struct UploadCredentials {
    QString authorizationToken;
    QString uploadUrl;
    QString fileId;

    // Missing or non-string fields read as empty strings.
    static UploadCredentials fromReply(const QJsonObject &reply);
};

// The arithmetic of one upload: which way a file goes, where each chunk starts and ends, what
// progress a finished chunk reports and which headers carry it. No I/O and no event loop.
class UploadPlan {
public:
    explicit UploadPlan(qint64 fileSize = 0);

    static bool isChunked(qint64 fileSize) { return fileSize >= kChunkSize; }

    qint64 fileSize() const { return m_fileSize; }
    int totalChunks() const { return m_totalChunks; }
    // Chunk `index` (zero-based) covers [chunkOffset, chunkOffset + chunkLength).
    qint64 chunkOffset(int index) const;
    qint64 chunkLength(int index) const;
    // Per cent reported once chunk `index` has been accepted: 33, 66, 100 for three chunks.
    int progressAfter(int index) const;

    // "X-filename" of the single upload: UTF-8, every byte but A-Z a-z 0-9 - . _ ~ as %XX.
    static QByteArray encodedFileName(const QString &fileName);

    // The headers of one chunk request, in the order they are set (after "Accept", before
    // "Authorization"). "X-File-Name" carries the name as plain UTF-8.
    HeaderList chunkHeaders(int index, const QString &fileName, const QByteArray &sha1Hex,
                            const UploadCredentials &credentials) const;

    // "partSha1Array" of the finish request: a compact JSON array in chunk order.
    static QByteArray partListJson(const QStringList &sha1s);

private:
    qint64 m_fileSize = 0;
    int m_totalChunks = 0;
};

} // namespace castora::recordings
