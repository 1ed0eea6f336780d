// The channel of the signed-in broadcaster: its record, the stream details (title and artwork,
// stored and served), the broadcast notices and usage reports that use up its credits, and the
// listener count of its mount on the local icecast2.
#include "DevServer.h"
#include "IcecastStatus.h"
#include "Multipart.h"

#include <QBuffer>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace castora::dev {

namespace {

// What the service accepts as artwork: at most 2 MB of PNG, JPEG, GIF or WebP.
constexpr qsizetype kMaxArtworkBytes = 2 * 1024 * 1024;

struct ImageKind {
    QByteArray contentType;
    QString extension;
};

std::optional<ImageKind> sniffImage(const QByteArray &data) {
    if (data.startsWith("\x89PNG\r\n\x1a\n"))
        return ImageKind{"image/png", QStringLiteral("png")};
    if (data.startsWith("\xff\xd8\xff"))
        return ImageKind{"image/jpeg", QStringLiteral("jpg")};
    if (data.startsWith("GIF87a") || data.startsWith("GIF89a"))
        return ImageKind{"image/gif", QStringLiteral("gif")};
    if (data.size() >= 12 && data.startsWith("RIFF") && data.mid(8, 4) == "WEBP")
        return ImageKind{"image/webp", QStringLiteral("webp")};
    return std::nullopt;
}

// The artwork a channel has before its owner uploads any: a gradient of its own hue.
QByteArray defaultChannelArt(int channelId) {
    QImage image(256, 256, QImage::Format_RGB32);
    const int hue = (200 + channelId * 67) % 360;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int light = 60 + (x + y) * 100 / (image.width() + image.height());
            image.setPixelColor(x, y, QColor::fromHsl(hue, 150, light));
        }
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

bool isArtworkName(const QString &name) {
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

Answer unauthenticated() {
    return Answer::error(401, QStringLiteral("Unauthenticated."));
}

} // namespace

void DevServer::installChannelRoutes() {
    const auto publicUrl = [this] {
        QString url = m_options.publicUrl.isEmpty() ? baseUrl() : m_options.publicUrl;
        while (url.endsWith(QLatin1Char('/')))
            url.chop(1);
        return url;
    };
    const auto artworkDir = [this] { return dataDir() + QStringLiteral("/artwork"); };
    const auto channelOf = [this](const RecordedRequest &request) {
        return m_state->channelForToken(QString::fromUtf8(request.bearerToken()));
    };

    // Also the saved-token check of the sign-in: any answer but 200 means signed out.
    addRoute(QStringLiteral("GET"), QStringLiteral("api/channel/user-channel"),
             [publicUrl, channelOf](const RecordedRequest &request, const QString &) {
                 const Channel *channel = channelOf(request);
                 if (!channel)
                     return unauthenticated();
                 return Answer::json(QJsonObject{
                     {QStringLiteral("data"), QJsonArray{channel->toJson(publicUrl())}}});
             });

    // {"channel_id", "stream_title"} as JSON, or as multipart form-data with the image in
    // "stream_art".
    addRoute(
        QStringLiteral("POST"), QStringLiteral("api/channel/update/stream-details"),
        [publicUrl, artworkDir, channelOf](const RecordedRequest &request, const QString &) {
            Channel *channel = channelOf(request);
            if (!channel)
                return unauthenticated();
            const QByteArray contentType = request.header("Content-Type");
            QJsonValue channelId;
            QJsonValue title;
            const MultipartPart *art = nullptr;
            MultipartBody multipart;
            if (contentType.startsWith("multipart/form-data")) {
                multipart = MultipartBody::parse(contentType, request.body);
                if (!multipart.isValid())
                    return Answer::error(400, QStringLiteral("Malformed multipart body."));
                if (multipart.hasField("channel_id"))
                    channelId = multipart.field("channel_id").trimmed().toInt();
                if (multipart.hasField("stream_title"))
                    title = QString::fromUtf8(multipart.field("stream_title"));
                art = multipart.part("stream_art");
            } else {
                const QJsonObject body = QJsonDocument::fromJson(request.body).object();
                channelId = body.value(QStringLiteral("channel_id"));
                title = body.value(QStringLiteral("stream_title"));
            }
            if (!channelId.isDouble() || !title.isString())
                return Answer::error(422, QStringLiteral("The channel id and stream title fields "
                                                         "are required."));
            if (channelId.toInt() != channel->id)
                return Answer::error(403, QStringLiteral("This channel is not yours."));

            QString storedArt;
            if (art) {
                const std::optional<ImageKind> kind = sniffImage(art->body);
                if (art->body.size() > kMaxArtworkBytes)
                    return Answer::error(
                        413, QStringLiteral("The stream art may not be greater than 2048 KB."));
                if (!art->hasFileName || !kind)
                    return Answer::error(422, QStringLiteral("The stream art must be an image."));
                // Our own name on disk: the client's file name is only reported.
                storedArt =
                    QStringLiteral("stream-%1-%2.%3")
                        .arg(channel->id)
                        .arg(QUuid::createUuid().toString(QUuid::Id128).left(12), kind->extension);
                QDir().mkpath(artworkDir());
                QFile file(artworkDir() + QLatin1Char('/') + storedArt);
                if (!file.open(QIODevice::WriteOnly) || file.write(art->body) != art->body.size())
                    return Answer::error(500, QStringLiteral("The stream art was not stored."));
                qInfo().noquote() << "stream art of" << channel->slug << "stored from"
                                  << QString::fromUtf8(art->fileName) << art->body.size()
                                  << "bytes";
            }
            channel->streamTitle = title.toString();
            if (!storedArt.isEmpty()) {
                const QString previous = channel->streamArt;
                channel->streamArt = QStringLiteral("artwork/") + storedArt;
                if (previous.startsWith(QStringLiteral("artwork/stream-")))
                    QFile::remove(artworkDir() + previous.mid(7));
            }
            return Answer::json(
                QJsonObject{{QStringLiteral("message"), QStringLiteral("Stream details updated")},
                            {QStringLiteral("data"), channel->toJson(publicUrl())}});
        });

    // The artwork the channel records point at: uploaded images, and each channel's default.
    addRoute(QStringLiteral("GET"), QStringLiteral("artwork/"),
             [this, artworkDir](const RecordedRequest &, const QString &name) {
                 if (!isArtworkName(name))
                     return Answer::error(404, QStringLiteral("Not found"));
                 QFile file(artworkDir() + QLatin1Char('/') + name);
                 QByteArray image;
                 if (file.open(QIODevice::ReadOnly)) {
                     image = file.readAll();
                 } else {
                     bool isId = false;
                     const int id = name.startsWith(QStringLiteral("channel-")) &&
                                            name.endsWith(QStringLiteral(".png"))
                                        ? name.mid(8, name.size() - 12).toInt(&isId)
                                        : 0;
                     if (!isId || !m_state->channelById(id))
                         return Answer::error(404, QStringLiteral("Not found"));
                     image = defaultChannelArt(id);
                 }
                 const std::optional<ImageKind> kind = sniffImage(image);
                 return Answer::text(image, 200,
                                     kind ? kind->contentType : "application/octet-stream");
             });

    addRoute(QStringLiteral("POST"), QStringLiteral("api/channel/start-stream"),
             [channelOf](const RecordedRequest &request, const QString &) {
                 Channel *channel = channelOf(request);
                 if (!channel)
                     return unauthenticated();
                 ++channel->streamStarts;
                 if (!channel->onAir) {
                     channel->onAir = true;
                     channel->onAirSince = QDateTime::currentDateTimeUtc();
                 }
                 qInfo().noquote()
                     << channel->slug << "on air," << channel->credits << "credits left";
                 return Answer::json(
                     QJsonObject{{QStringLiteral("message"), QStringLiteral("Stream started")}});
             });

    addRoute(QStringLiteral("POST"), QStringLiteral("api/channel/stop-stream"),
             [channelOf](const RecordedRequest &request, const QString &) {
                 Channel *channel = channelOf(request);
                 if (!channel)
                     return unauthenticated();
                 ++channel->streamStops;
                 if (channel->onAir) {
                     const QDateTime now = QDateTime::currentDateTimeUtc();
                     channel->charge(now);
                     channel->secondsOnAir += channel->onAirSince.secsTo(now);
                     channel->onAir = false;
                 }
                 qInfo().noquote() << channel->slug << "off air after" << channel->secondsOnAir
                                   << "s on air in all," << channel->credits << "credits left";
                 return Answer::json(
                     QJsonObject{{QStringLiteral("message"), QStringLiteral("Stream stopped")}});
             });

    // Sent every 300 s while on air; the service charges the time since the last charge.
    addRoute(QStringLiteral("POST"), QStringLiteral("api/channel/update-usage-duration"),
             [channelOf](const RecordedRequest &request, const QString &) {
                 Channel *channel = channelOf(request);
                 if (!channel)
                     return unauthenticated();
                 ++channel->usageReports;
                 channel->charge(QDateTime::currentDateTimeUtc());
                 qInfo().noquote()
                     << "usage report of" << channel->slug << "(on air:" << channel->onAir << "),"
                     << channel->credits << "credits left";
                 return Answer::json(QJsonObject{
                     {QStringLiteral("message"), QStringLiteral("Usage duration updated")},
                     {QStringLiteral("credits"), channel->credits}});
             });

    // The listener count of a mount as plain decimal text, read from icecast2's status page
    // at each request: 0 when the mount is not live (or no icecast2 is configured), 502 when
    // icecast2 cannot be asked.
    addRoute(QStringLiteral("GET"), QStringLiteral("api/stats/"),
             [this](const RecordedRequest &, const QString &mount) {
                 if (m_options.icecastStatusUrl.isEmpty())
                     return Answer::text("0");
                 const std::optional<int> count =
                     IcecastStatus::fetchListeners(QUrl(m_options.icecastStatusUrl), mount);
                 if (!count)
                     return Answer::error(502, QStringLiteral("The streaming server's status "
                                                              "cannot be read."));
                 return Answer::text(QByteArray::number(*count));
             });
}

} // namespace castora::dev
