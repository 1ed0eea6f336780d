#pragma once

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QString>

#include <chrono>
#include <optional>

// How the program reaches the network: every QNetworkAccessManager it uses (backend, uploads,
// chat history, the connectivity probe, the UI's artwork) is a castora::net::AccessManager.
namespace castora::net {

// A backend answer is a few kilobytes of JSON; anything beyond this is refused while it arrives.
inline constexpr qint64 kMaxJsonReplyBytes = 4 * 1024 * 1024;
// Channel and stream artwork fetched by the UI.
inline constexpr qint64 kMaxArtworkBytes = 10 * 1024 * 1024;

// How long a request may go without any progress (nothing sent, nothing received) before it
// fails: 30 s in the program. Read when a request is made, from any thread.
std::chrono::milliseconds transferTimeout();
// For tests against a backend that never answers.
void setTransferTimeout(std::chrono::milliseconds timeout);

// A manager that follows redirects only within the origin of the request, so that the bearer
// token never travels to another host (a redirect elsewhere fails the request), and watches
// every reply (guardReply) with the no-progress time-out and, when `replyLimit` > 0, that size
// limit.
class AccessManager : public QNetworkAccessManager {
    Q_OBJECT
public:
    explicit AccessManager(QObject *parent = nullptr, qint64 replyLimit = 0);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    qint64 m_replyLimit;
};

// Watches `reply` from now on (call before the event loop runs again): it is aborted once it
// announces (Content-Length) or delivers more than `maxBytes` (0: no limit; a smaller limit
// replaces a larger one), and once it has made no progress for the request's transfer time-out
// (net::transferTimeout() when the request has none). Progress is any byte sent or received,
// so a long upload or download that keeps moving never times out.
//
// Qt's own QNetworkRequest::setTransferTimeout is not used: in Qt 6.4 its timer is not reset
// by upload progress (a steady upload is cancelled once the time has passed in all), it does
// not apply to synchronous requests at all, and it reports "Operation canceled" like a cancel.
void guardReply(QNetworkReply *reply, qint64 maxBytes);

// Why a finished reply failed, when the guard ended it rather than the network: it was
// refused for its size, or it made no progress for the whole time-out.
struct Refusal {
    QNetworkReply::NetworkError error;
    QString message;
};
std::optional<Refusal> refusalOf(const QNetworkReply *reply);

} // namespace castora::net
