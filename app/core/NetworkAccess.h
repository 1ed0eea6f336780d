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
// fails: 30 s in the program. Read when a request is built, from any thread.
std::chrono::milliseconds transferTimeout();
// For tests against a backend that never answers.
void setTransferTimeout(std::chrono::milliseconds timeout);

// A manager that follows redirects only within the origin of the request, so that the bearer
// token never travels to another host (a redirect elsewhere fails the request), and gives every
// request the no-progress time-out. With `replyLimit` > 0 each reply is aborted once it
// announces or delivers more bytes than that.
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

// Watches `reply` from now on: aborts it once it announces (Content-Length) or delivers more
// than `maxBytes`, and notes when it last made progress. Call before the event loop runs again.
void limitReply(QNetworkReply *reply, qint64 maxBytes);

// Why a finished reply failed, when the reason is one of ours rather than the network's: it was
// refused for its size, or it made no progress for the whole time-out (Qt reports both as
// "Operation canceled", which also stands for a deliberate cancel).
struct Refusal {
    QNetworkReply::NetworkError error;
    QString message;
};
std::optional<Refusal> refusalOf(const QNetworkReply *reply);

} // namespace castora::net
