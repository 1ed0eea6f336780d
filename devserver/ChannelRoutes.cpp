// The broadcast notices: start-stream and stop-stream, recorded per channel.
#include "DevServer.h"

#include <QDateTime>
#include <QJsonObject>

namespace castora::dev {

void DevServer::installChannelRoutes() {
    addRoute(QStringLiteral("POST"), QStringLiteral("api/channel/start-stream"),
             [this](const RecordedRequest &request, const QString &) {
                 Channel *channel =
                     m_state->channelForToken(QString::fromUtf8(request.bearerToken()));
                 if (!channel)
                     return Answer::error(401, QStringLiteral("Unauthenticated."));
                 ++channel->streamStarts;
                 if (!channel->onAir) {
                     channel->onAir = true;
                     channel->onAirSince = QDateTime::currentDateTimeUtc();
                 }
                 return Answer::json(
                     QJsonObject{{QStringLiteral("message"), QStringLiteral("Stream started")}});
             });

    addRoute(QStringLiteral("POST"), QStringLiteral("api/channel/stop-stream"),
             [this](const RecordedRequest &request, const QString &) {
                 Channel *channel =
                     m_state->channelForToken(QString::fromUtf8(request.bearerToken()));
                 if (!channel)
                     return Answer::error(401, QStringLiteral("Unauthenticated."));
                 ++channel->streamStops;
                 if (channel->onAir) {
                     channel->secondsOnAir +=
                         channel->onAirSince.secsTo(QDateTime::currentDateTimeUtc());
                     channel->onAir = false;
                 }
                 return Answer::json(
                     QJsonObject{{QStringLiteral("message"), QStringLiteral("Stream stopped")}});
             });
}

} // namespace castora::dev
