#include "NetworkAccess.h"

#include <QNetworkRequest>
#include <QTimer>

#include <atomic>

namespace castora::net {

namespace {

std::atomic<qint64> g_transferTimeoutMs{30000};

const QString kWatchName = QStringLiteral("castora-reply-guard");

// Lives as a child of the reply it watches, on the reply's thread.
class ReplyGuard : public QObject {
public:
    ReplyGuard(QNetworkReply *reply, qint64 maxBytes, int timeoutMs)
        : QObject(reply)
        , m_reply(reply)
        , m_maxBytes(maxBytes) {
        setObjectName(kWatchName);
        m_quiet.setSingleShot(true);
        m_quiet.setInterval(timeoutMs);
        connect(&m_quiet, &QTimer::timeout, this, [this] { end(m_timedOut); });
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
            progressed();
            const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid())
                check(length.toLongLong());
        });
        connect(reply, &QNetworkReply::readyRead, this, [this] {
            progressed();
            check(m_reply->bytesAvailable());
        });
        connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
            progressed();
            check(received);
        });
        connect(reply, &QNetworkReply::uploadProgress, this, [this] { progressed(); });
        connect(reply, &QNetworkReply::finished, &m_quiet, &QTimer::stop);
        if (timeoutMs > 0 && !reply->isFinished())
            m_quiet.start();
    }

    void limit(qint64 maxBytes) {
        if (maxBytes > 0 && (m_maxBytes <= 0 || maxBytes < m_maxBytes))
            m_maxBytes = maxBytes;
    }
    qint64 maxBytes() const { return m_maxBytes; }
    bool refusedForSize() const { return m_refused; }
    bool timedOut() const { return m_timedOut; }

private:
    void progressed() {
        if (m_quiet.isActive())
            m_quiet.start();
    }

    void check(qint64 bytes) {
        if (m_maxBytes > 0 && bytes > m_maxBytes)
            end(m_refused);
    }

    void end(bool &reason) {
        if (m_reply->isFinished() || m_refused || m_timedOut)
            return;
        reason = true;
        m_quiet.stop();
        m_reply->abort();
    }

    QNetworkReply *const m_reply;
    qint64 m_maxBytes;
    bool m_refused = false;
    bool m_timedOut = false;
    QTimer m_quiet; // runs out after the time-out without progress
};

ReplyGuard *guardOf(const QNetworkReply *reply) {
    return reply->findChild<ReplyGuard *>(kWatchName, Qt::FindDirectChildrenOnly);
}

QString megabytes(qint64 bytes) {
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'g', 3);
}

} // namespace

std::chrono::milliseconds transferTimeout() {
    return std::chrono::milliseconds(g_transferTimeoutMs.load());
}

void setTransferTimeout(std::chrono::milliseconds timeout) {
    g_transferTimeoutMs.store(timeout.count());
}

AccessManager::AccessManager(QObject *parent, qint64 replyLimit)
    : QNetworkAccessManager(parent)
    , m_replyLimit(replyLimit) {
    setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
}

QNetworkReply *AccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                            QIODevice *outgoingData) {
    QNetworkRequest safe(request);
    // A request may ask for no redirects at all, never for redirects to other hosts.
    const QVariant policy = safe.attribute(QNetworkRequest::RedirectPolicyAttribute);
    if (!policy.isValid() || policy.toInt() != int(QNetworkRequest::ManualRedirectPolicy)) {
        safe.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          int(QNetworkRequest::SameOriginRedirectPolicy));
    }
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, safe, outgoingData);
    guardReply(reply, m_replyLimit);
    return reply;
}

void guardReply(QNetworkReply *reply, qint64 maxBytes) {
    if (ReplyGuard *guard = guardOf(reply)) {
        guard->limit(maxBytes);
        return;
    }
    const int own = reply->request().transferTimeout();
    new ReplyGuard(reply, maxBytes, own > 0 ? own : int(transferTimeout().count()));
}

std::optional<Refusal> refusalOf(const QNetworkReply *reply) {
    const ReplyGuard *guard = guardOf(reply);
    if (guard && guard->refusedForSize()) {
        return Refusal{QNetworkReply::UnknownContentError,
                       QStringLiteral("The server's reply is larger than %1 MB and was refused.")
                           .arg(megabytes(guard->maxBytes()))};
    }
    if (guard && guard->timedOut()) {
        return Refusal{QNetworkReply::TimeoutError,
                       QStringLiteral("The server did not answer in time.")};
    }
    return std::nullopt;
}

} // namespace castora::net
