// The channel: its record from the backend, the stream details (title and artwork), and the
// token for the chat socket.
#include "StreamController.h"

#include "LogText.h"

#include <QDebug>
#include <QFile>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>

using namespace castora;

namespace {

const char *const kDetailsFailed =
    "Failed to update stream details, please ensure file is not more than 2MB";
const char *const kImageUnreadable =
    "The selected image could not be read. Please choose another image.";

// The file dialog hands over a URL ("file:///home/me/My%20Pictures/caf%C3%A9.png"); a plain
// path is taken as it is.
QString localPathOf(const QString &imagePath) {
    if (imagePath.startsWith(QLatin1String("file:"), Qt::CaseInsensitive))
        return QUrl(imagePath).toLocalFile();
    return imagePath;
}

// The file name as it goes into the quoted filename of a Content-Disposition header: quotes and
// line breaks are percent-encoded as browsers do, so a name cannot end the header early.
QString formFileName(const QString &path) {
    QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    name.replace(QLatin1Char('"'), QLatin1String("%22"));
    name.replace(QLatin1Char('\r'), QLatin1String("%0D"));
    name.replace(QLatin1Char('\n'), QLatin1String("%0A"));
    return name;
}

// An artwork address of a channel record as the screens may bind it: the address when it may
// be fetched (ServiceConfig::allowsArtwork), else nothing, so that the placeholder shows and
// no image reads a local file or calls a third party.
QString permittedArtwork(const ServiceConfig &config, const QString &address) {
    if (address.isEmpty() || config.allowsArtwork(QUrl(address)))
        return address;
    qInfo() << "Artwork not loaded, only https addresses are:" << logtext::capped(address);
    return QString();
}

} // namespace

void StreamController::fetchChannel() {
    QNetworkReply *reply =
        api::get(m_network, m_config.endpoint(QStringLiteral("api/channel/user-channel")));
    whenAnswered(reply, [this, account = m_account](const api::Reply &r) {
        if (account != m_account)
            return; // the record of an account that has signed out since
        if (!r.ok()) {
            qInfo() << r.error;
            return;
        }
        qInfo() << r.httpStatus;
        if (r.httpStatus != 200)
            return;
        // An error page or a cut-off answer says nothing about the channel: the record held
        // (above all the mount point and the subscription flag) stays. A JSON object without
        // a channel in "data" says that there is none: every field goes back to its default.
        if (!r.document.isObject()) {
            qWarning() << "Channel reply is not a JSON object; keeping the current record";
            return;
        }
        const QJsonObject first =
            r.object().value(QStringLiteral("data")).toArray().at(0).toObject();
        if (first.isEmpty())
            qWarning() << "Channel record without a channel; every channel field is reset";
        applyChannelRecord(first);
        qInfo() << "Title and Name are set" << m_credits;
    });
}

void StreamController::resetAccount() {
    ++m_account;                // replies still on their way belong to the account that signed out
    m_listenerPollTimer.stop(); // starts again with the next account's mount point
    applyChannelRecord(QJsonObject());
    setChatToken(QString());
    setListeners(0);
    setShowStatus(false);
    qInfo() << "Signed out: the channel record is cleared";
}

void StreamController::applyChannelRecord(const QJsonObject &record) {
    // In this order: the slug is already new when mountPointChanged starts the listener poll
    // and the chat history.
    setChannelId(record.value(QStringLiteral("id")).toInt());
    setChannelName(record.value(QStringLiteral("name")).toString());
    setStreamTitle(record.value(QStringLiteral("stream_title")).toString());
    setChannelSlug(record.value(QStringLiteral("slug")).toString());
    setCredits(record.value(QStringLiteral("credits")).toInt());
    setMountPoint(record.value(QStringLiteral("uuid")).toString());
    setChannelArt(
        permittedArtwork(m_config, record.value(QStringLiteral("channel_art")).toString()));
    setStreamArt(permittedArtwork(m_config, record.value(QStringLiteral("stream_art")).toString()));
    setSubStatus(record.value(QStringLiteral("is_active")).toBool());
    setIsSubscriber(record.value(QStringLiteral("is_subscriber")).toBool());
}

void StreamController::updateStreamDetails(const QString &title, const QString &imagePath) {
    setIsLoading(true);
    const QUrl url = m_config.endpoint(QStringLiteral("api/channel/update/stream-details"));
    qInfo() << "Raw image path from UI:" << imagePath;
    const QString path = localPathOf(imagePath);
    qInfo() << "Processed image path:" << path;
    qInfo() << "File exists check:" << (QFile::exists(path) ? "true" : "false");

    QNetworkReply *reply = nullptr;
    if (imagePath.isEmpty()) {
        reply = api::postJson(m_network, url,
                              QJsonObject{{QStringLiteral("channel_id"), m_channelId},
                                          {QStringLiteral("stream_title"), title}});
    } else {
        // An image was chosen: it goes with the title or nothing goes at all, so the user is
        // never told of an update that left the old artwork in place.
        auto *image = new QFile(path);
        if (path.isEmpty() || !image->open(QIODevice::ReadOnly)) {
            qWarning() << "Stream image cannot be read:" << path << image->errorString();
            delete image;
            finishStreamDetails(QString::fromUtf8(kImageUnreadable), true);
            return;
        }
        auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
        body->append(api::formField(QStringLiteral("channel_id"), QByteArray::number(m_channelId)));
        body->append(api::formField(QStringLiteral("stream_title"), title.toUtf8()));
        // Streamed from the open file; "image/jpeg" is what the service expects of every image.
        body->append(api::formFile(QStringLiteral("stream_art"), formFileName(path),
                                   QByteArrayLiteral("image/jpeg"), image));
        image->setParent(body);
        reply = api::postMultipart(m_network, url, body);
    }
    whenAnswered(reply, [this](const api::Reply &r) {
        if (!r.ok()) {
            qInfo() << "Error updating stream details:" << r.errorString;
            finishStreamDetails(QString::fromUtf8(kDetailsFailed), true);
            return;
        }
        // The service answers in JSON; any other body on a success status (a proxy's error
        // page, a captive portal) does not mean the details were stored.
        if (!r.body.trimmed().isEmpty() && r.document.isNull()) {
            qInfo() << "Error updating stream details: the reply is not JSON";
            finishStreamDetails(QString::fromUtf8(kDetailsFailed), true);
            return;
        }
        fetchChannel(); // the new title and artwork as the backend now has them
        qInfo() << "Stream Detail Updated";
        finishStreamDetails(QStringLiteral("Event details updated successfully"), false);
    });
}

void StreamController::finishStreamDetails(const QString &message, bool hasError) {
    // The edit dialog decides on the outcome before it sees the update end.
    emit requestCompleted(message, hasError);
    setIsLoading(false);
}

void StreamController::fetchChatToken() {
    QNetworkReply *reply =
        api::get(m_network, m_config.endpoint(QStringLiteral("api/comment/fetch-chat-token")));
    whenAnswered(reply, [this, account = m_account](const api::Reply &r) {
        if (account != m_account)
            return;
        if (!r.ok()) {
            qWarning() << "Failed to fetch chat token:" << r.errorString;
            return;
        }
        // The token is a secret: the log says that it came, never what it is.
        const QString token = r.object().value(QStringLiteral("token")).toString();
        if (token.isEmpty()) {
            qWarning() << "Chat token reply without a token; keeping the current one";
            return;
        }
        setChatToken(token);
        qInfo() << "Chat token fetched successfully";
    });
}
