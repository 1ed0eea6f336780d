#include "IcecastStatus.h"

#include "IcecastStatusPage.h"

#include <QDeadlineTimer>
#include <QTcpSocket>

namespace castora::dev {

std::optional<int> IcecastStatus::fetchListeners(const QUrl &statusUrl, const QString &mount,
                                                 int timeoutMs) {
    if (!statusUrl.isValid() || statusUrl.scheme() != QLatin1String("http"))
        return std::nullopt;
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket socket;
    socket.connectToHost(statusUrl.host(), quint16(statusUrl.port(80)));
    if (!socket.waitForConnected(int(deadline.remainingTime())))
        return std::nullopt;
    // HTTP/1.0: icecast2 answers with the whole page and closes the connection.
    const QByteArray target = statusUrl.path(QUrl::FullyEncoded).toUtf8() +
                              (statusUrl.hasQuery() ? '?' + statusUrl.query().toUtf8() : "");
    socket.write("GET " + target + " HTTP/1.0\r\nHost: " + statusUrl.host().toUtf8() +
                 "\r\nAccept: application/json\r\n\r\n");
    QByteArray response;
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        if (socket.waitForReadyRead(int(deadline.remainingTime())))
            response += socket.readAll();
        else if (socket.error() != QAbstractSocket::RemoteHostClosedError)
            break;
    }
    response += socket.readAll();
    if (socket.state() == QAbstractSocket::ConnectedState)
        return std::nullopt; // still sending when the time was up
    const qsizetype headerEnd = response.indexOf("\r\n\r\n");
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    if (headerEnd < 0 || statusLine.size() < 2 || statusLine.at(1) != "200")
        return std::nullopt;
    // A mount that is not live has no listeners.
    const auto status = icecast::mountStatus(response.mid(headerEnd + 4), mount);
    if (!status)
        return std::nullopt;
    return status->listeners;
}

} // namespace castora::dev
