// The four recording upload endpoints: a single upload, and the start / chunk / finish calls
// of a chunked upload.
#include "UploadRoutes.h"

#include "DevServer.h"
#include "Multipart.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUrl>
#include <QUuid>

namespace castora::dev {

namespace {

// A client-given name becomes a file name of ours only when it cannot leave the folder.
bool isSafeFileName(const QString &name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !name.contains(QChar(0)) && name.toUtf8().size() <= 255;
}

QString newFileId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QString newSecret() {
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool isSha1Hex(const QByteArray &text) {
    if (text.size() != 40)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

int positiveNumber(const QByteArray &text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok && value > 0 ? value : 0;
}

} // namespace

UploadStore::UploadStore(DevServer &server)
    : m_server(server) {
}

void UploadStore::failChunk(int partNumber, int status) {
    m_failChunks.insert(partNumber, status);
}

const StoredUpload *UploadStore::find(const QString &fileName) const {
    for (auto it = m_stored.crbegin(); it != m_stored.crend(); ++it) {
        if (it->fileName == fileName)
            return &*it;
    }
    return nullptr;
}

QString UploadStore::uploadsDir() const {
    return m_server.dataDir() + QStringLiteral("/uploads");
}

QString UploadStore::ownerOf(const RecordedRequest &request) const {
    const Account *account =
        m_server.state().accountForToken(QString::fromUtf8(request.bearerToken()));
    return account ? account->email : QString();
}

Answer UploadStore::single(const RecordedRequest &request) {
    if (ownerOf(request).isEmpty())
        return Answer::error(401, QStringLiteral("Unauthenticated."));
    if (!request.hasHeader("X-filename"))
        return Answer::error(422, QStringLiteral("The X-filename header is required."));
    const QString fileName = QUrl::fromPercentEncoding(request.header("X-filename"));
    if (!isSafeFileName(fileName))
        return Answer::error(422, QStringLiteral("Invalid file name."));
    const QByteArray declared = request.header("Content-Length");
    if (!declared.isEmpty() && declared.trimmed().toLongLong() != request.body.size())
        return Answer::error(400, QStringLiteral("Content-Length does not match the body."));

    const QString fileId = newFileId();
    const QString dir = uploadsDir() + QLatin1Char('/') + fileId;
    const QString path = dir + QLatin1Char('/') + fileName;
    if (!QDir().mkpath(dir) || !writeFile(path, request.body))
        return Answer::error(500, QStringLiteral("Could not store the file."));
    m_stored.append(StoredUpload{fileId, fileName, path, request.body.size(), false});
    return Answer::json(QJsonObject{{QStringLiteral("status"), QStringLiteral("success")},
                                    {QStringLiteral("fileId"), fileId},
                                    {QStringLiteral("fileName"), fileName},
                                    {QStringLiteral("size"), double(request.body.size())}});
}

Answer UploadStore::start(const RecordedRequest &request) {
    const QString owner = ownerOf(request);
    if (owner.isEmpty())
        return Answer::error(401, QStringLiteral("Unauthenticated."));
    const MultipartBody form = MultipartBody::parse(request.header("Content-Type"), request.body);
    if (!form.isValid())
        return Answer::error(400, QStringLiteral("Expected a multipart/form-data body."));
    const QString fileName = QString::fromUtf8(form.field("filename"));
    if (!isSafeFileName(fileName))
        return Answer::error(422, QStringLiteral("The filename field is required."));

    OpenUpload upload;
    upload.fileId = newFileId();
    upload.fileName = fileName;
    upload.token = newSecret();
    upload.uploadUrl = m_server.baseUrl() + QStringLiteral("/upload/") + upload.fileId;
    upload.owner = owner;
    upload.partsDir = uploadsDir() + QStringLiteral("/.parts/") + upload.fileId;
    if (!QDir().mkpath(upload.partsDir))
        return Answer::error(500, QStringLiteral("Could not prepare the upload."));
    m_open.insert(upload.token, upload);
    return Answer::json(QJsonObject{{QStringLiteral("authorizationToken"), upload.token},
                                    {QStringLiteral("uploadUrl"), upload.uploadUrl},
                                    {QStringLiteral("fileId"), upload.fileId},
                                    {QStringLiteral("fileName"), fileName}});
}

Answer UploadStore::chunk(const RecordedRequest &request) {
    const QString owner = ownerOf(request);
    if (owner.isEmpty())
        return Answer::error(401, QStringLiteral("Unauthenticated."));
    auto it = m_open.find(QString::fromUtf8(request.header("X-Authorization-Token")));
    if (it == m_open.end() || it->owner != owner)
        return Answer::error(403, QStringLiteral("Unknown upload credentials."));
    OpenUpload &upload = *it;
    if (QString::fromUtf8(request.header("X-Upload-Url")) != upload.uploadUrl)
        return Answer::error(403, QStringLiteral("The upload URL does not belong to this upload."));

    const int part = positiveNumber(request.header("X-Part-Number"));
    const int total = positiveNumber(request.header("X-Total-Chunks"));
    if (part == 0 || total == 0 || part > total)
        return Answer::error(400, QStringLiteral("Invalid part number or chunk count."));
    if (const int status = m_failChunks.take(part))
        return Answer::error(status, QStringLiteral("Injected failure of part %1").arg(part));
    if (part != upload.received + 1)
        return Answer::error(409, QStringLiteral("Part %1 out of order, expected part %2")
                                      .arg(part)
                                      .arg(upload.received + 1));
    if (upload.totalChunks != 0 && total != upload.totalChunks)
        return Answer::error(400, QStringLiteral("The chunk count changed during the upload."));
    const QByteArray startFlag = part == 1 ? "1" : "0";
    const QByteArray endFlag = part == total ? "1" : "0";
    if (request.header("X-Start") != startFlag || request.header("X-End") != endFlag)
        return Answer::error(400, QStringLiteral("X-Start/X-End do not match the part number."));
    if (request.header("X-File-Name") != upload.fileName.toUtf8())
        return Answer::error(400, QStringLiteral("X-File-Name does not match the upload."));

    const QByteArray claimed = request.header("X-Content-Sha1").toLower();
    if (!isSha1Hex(claimed))
        return Answer::error(400, QStringLiteral("X-Content-Sha1 must be 40 hex digits."));
    const QByteArray actual =
        QCryptographicHash::hash(request.body, QCryptographicHash::Sha1).toHex();
    if (actual != claimed)
        return Answer::error(400, QStringLiteral("Checksum mismatch for part %1").arg(part));

    if (!writeFile(upload.partsDir + QLatin1Char('/') + QString::number(part), request.body))
        return Answer::error(500, QStringLiteral("Could not store the part."));
    upload.totalChunks = total;
    upload.received = part;
    upload.bytes += request.body.size();
    upload.sha1s.append(QString::fromLatin1(actual));
    return Answer::json(QJsonObject{{QStringLiteral("fileId"), upload.fileId},
                                    {QStringLiteral("partNumber"), part},
                                    {QStringLiteral("contentLength"), double(request.body.size())},
                                    {QStringLiteral("contentSha1"), QString::fromLatin1(actual)}});
}

Answer UploadStore::finish(const RecordedRequest &request) {
    const QString owner = ownerOf(request);
    if (owner.isEmpty())
        return Answer::error(401, QStringLiteral("Unauthenticated."));
    const MultipartBody form = MultipartBody::parse(request.header("Content-Type"), request.body);
    if (!form.isValid())
        return Answer::error(400, QStringLiteral("Expected a multipart/form-data body."));
    if (!form.hasField("authorizationToken") || !form.hasField("fileId") ||
        !form.hasField("partSha1Array"))
        return Answer::error(
            422, QStringLiteral("authorizationToken, fileId and partSha1Array are required."));

    auto it = m_open.find(QString::fromUtf8(form.field("authorizationToken")));
    if (it == m_open.end() || it->owner != owner ||
        it->fileId != QString::fromUtf8(form.field("fileId")))
        return Answer::error(403, QStringLiteral("Unknown upload credentials."));
    OpenUpload &upload = *it;
    if (upload.totalChunks == 0 || upload.received != upload.totalChunks)
        return Answer::error(409, QStringLiteral("The upload is missing parts."));

    const QJsonDocument list = QJsonDocument::fromJson(form.field("partSha1Array"));
    QStringList claimed;
    for (const QJsonValue &value : list.array())
        claimed.append(value.toString().toLower());
    if (!list.isArray() || claimed != upload.sha1s)
        return Answer::error(400,
                             QStringLiteral("partSha1Array does not match the parts received."));

    // Put the parts together in order, a block at a time.
    const QString dir = uploadsDir() + QLatin1Char('/') + upload.fileId;
    const QString path = dir + QLatin1Char('/') + upload.fileName;
    QFile target(path);
    if (!QDir().mkpath(dir) || !target.open(QIODevice::WriteOnly))
        return Answer::error(500, QStringLiteral("Could not store the file."));
    for (int part = 1; part <= upload.totalChunks; ++part) {
        QFile source(upload.partsDir + QLatin1Char('/') + QString::number(part));
        if (!source.open(QIODevice::ReadOnly))
            return Answer::error(500, QStringLiteral("Part %1 went missing.").arg(part));
        while (!source.atEnd()) {
            const QByteArray block = source.read(1 << 20);
            if (block.isEmpty() || target.write(block) != block.size())
                return Answer::error(500, QStringLiteral("Could not store the file."));
        }
    }
    target.close();
    QDir(upload.partsDir).removeRecursively();

    const StoredUpload stored{upload.fileId, upload.fileName, path, upload.bytes, true};
    m_stored.append(stored);
    m_open.erase(it);
    return Answer::json(QJsonObject{{QStringLiteral("status"), QStringLiteral("success")},
                                    {QStringLiteral("fileId"), stored.fileId},
                                    {QStringLiteral("fileName"), stored.fileName},
                                    {QStringLiteral("contentLength"), double(stored.size)},
                                    {QStringLiteral("parts"), int(claimed.size())}});
}

void DevServer::installUploadRoutes() {
    m_uploads = std::make_unique<UploadStore>(*this);
    const auto route = [this](const char *path,
                              Answer (UploadStore::*endpoint)(const RecordedRequest &)) {
        addRoute(QStringLiteral("POST"), QLatin1String(path),
                 [this, endpoint](const RecordedRequest &request, const QString &) {
                     return (m_uploads.get()->*endpoint)(request);
                 });
    };
    route("api/upload-small-file", &UploadStore::single);
    route("api/start-file-upload", &UploadStore::start);
    route("api/upload-file", &UploadStore::chunk);
    route("api/finish-file-upload", &UploadStore::finish);
}

} // namespace castora::dev
