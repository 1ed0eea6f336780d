#include "NetworkAccess.h"

#include <QElapsedTimer>
#include <QNetworkRequest>

#include <atomic>

namespace castora::net {

namespace {

std::atomic<qint64> g_transferTimeoutMs{30000};

// Lives as a child of the reply it watches.
class ReplyWatch : public QObject {
public:
    ReplyWatch(QNetworkReply *reply, qint64 maxBytes)
        : QObject(reply)
        , m_reply(reply)
        , m_maxBytes(maxBytes) {
        setObjectName(QStringLiteral("castora-reply-watch"));
        m_quiet.start();
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
    }

    void setMaxBytes(qint64 maxBytes) { m_maxBytes = maxBytes; }
    qint64 maxBytes() const { return m_maxBytes; }
    bool refusedForSize() const { return m_refused; }
    qint64 quietMs() const { return m_quiet.elapsed(); }

private:
    // Ending a reply emits progress signals too; those are no progress.
    void progressed() {
        if (m_reply->error() == QNetworkReply::NoError)
            m_quiet.restart();
    }

    void check(qint64 bytes) {
        if (m_maxBytes <= 0 || bytes <= m_maxBytes || m_refused || m_reply->isFinished())
            return;
        m_refused = true;
        m_reply->abort();
    }

    QNetworkReply *const m_reply;
    qint64 m_maxBytes;
    bool m_refused = false;
    QElapsedTimer m_quiet; // since the last sign of progress
};

ReplyWatch *watchOf(const QNetworkReply *reply) {
    return reply->findChild<ReplyWatch *>(QStringLiteral("castora-reply-watch"),
                                          Qt::FindDirectChildrenOnly);
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
    if (!policy.isValid() || policy.toInt() != int(QNetworkRequest::ManualRedirectPolicy))
        safe.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                          int(QNetworkRequest::SameOriginRedirectPolicy));
    if (safe.transferTimeout() <= 0)
        safe.setTransferTimeout(int(net::transferTimeout().count()));
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, safe, outgoingData);
    limitReply(reply, m_replyLimit);
    return reply;
}

void limitReply(QNetworkReply *reply, qint64 maxBytes) {
    if (ReplyWatch *watch = watchOf(reply)) {
        if (maxBytes > 0 && (watch->maxBytes() <= 0 || maxBytes < watch->maxBytes()))
            watch->setMaxBytes(maxBytes);
        return;
    }
    new ReplyWatch(reply, maxBytes);
}

std::optional<Refusal> refusalOf(const QNetworkReply *reply) {
    const ReplyWatch *watch = watchOf(reply);
    if (!watch)
        return std::nullopt;
    if (watch->refusedForSize()) {
        return Refusal{QNetworkReply::UnknownContentError,
                       QStringLiteral("The server's reply is larger than %1 MB and was refused.")
                           .arg(megabytes(watch->maxBytes()))};
    }
    // Qt's no-progress timer ends a request as if it had been cancelled. A cancel by the
    // program comes well before that time has passed without progress.
    const qint64 timeout = reply->request().transferTimeout();
    if (reply->error() == QNetworkReply::OperationCanceledError && timeout > 0 &&
        watch->quietMs() >= timeout * 9 / 10) {
        return Refusal{QNetworkReply::TimeoutError,
                       QStringLiteral("The server did not answer in time.")};
    }
    return std::nullopt;
}

} // namespace castora::net
