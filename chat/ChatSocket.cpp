#include "ChatSocket.h"

#include "LogText.h"

#include <QDebug>
#include <QWebSocket>

using castora::chat::IncomingFrame;
using castora::chat::parseIncomingFrame;

ChatSocket::ChatSocket(QObject *parent)
    : QObject(parent) {
    m_handshakeTimer.setSingleShot(true);
    m_retryTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, [this] {
        qInfo() << "# socket handshake not answered";
        if (m_socket)
            m_socket->abort(); // closed: a reconnection follows
    });
    connect(&m_pingTimer, &QTimer::timeout, this, &ChatSocket::checkLiveness);
    connect(&m_retryTimer, &QTimer::timeout, this, &ChatSocket::connectNow);
}

ChatSocket::~ChatSocket() {
    release();
}

void ChatSocket::setUrl(const QUrl &url) {
    if (url == m_url)
        return;
    m_url = url;
    emit urlChanged();
    // Moving closes the old connection on the spot: not a lost connection, no back-off.
    release();
    m_retryTimer.stop();
    m_backoff.reset();
    emit failuresChanged();
    if (m_url.isEmpty())
        setStatus(Status::Closed);
    else
        connectNow();
}

bool ChatSocket::sendTextMessage(const QString &frame) {
    if (m_status != Status::Open || !m_socket)
        return false;
    return m_socket->sendTextMessage(frame) == frame.toUtf8().size();
}

void ChatSocket::setStatus(Status status) {
    if (status == m_status)
        return;
    m_status = status;
    emit statusChanged();
}

// Lets go of the current socket without hearing of its close.
void ChatSocket::release() {
    m_handshakeTimer.stop();
    m_pingTimer.stop();
    if (!m_socket)
        return;
    QWebSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void ChatSocket::connectNow() {
    release();
    if (m_url.isEmpty())
        return;
    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    socket->setMaxAllowedIncomingFrameSize(quint64(kMaxFrameBytes));
    socket->setMaxAllowedIncomingMessageSize(quint64(kMaxMessageBytes));
    m_socket = socket;
    connect(socket, &QWebSocket::connected, this, &ChatSocket::onOpen);
    connect(socket, &QWebSocket::stateChanged, this, &ChatSocket::onStateChanged);
    connect(socket, &QWebSocket::textMessageReceived, this, &ChatSocket::onText);
    // Anything from the server says the link is alive.
    const auto heard = [this] { m_heard.restart(); };
    connect(socket, &QWebSocket::pong, this, heard);
    connect(socket, &QWebSocket::textFrameReceived, this, heard);
    connect(socket, &QWebSocket::binaryFrameReceived, this, heard);
    connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this, [socket] {
        qInfo() << "# socket error" << castora::logtext::capped(socket->errorString());
    });
    setStatus(Status::Connecting);
    m_handshakeTimer.start(m_timing.handshake);
    socket->open(m_url);
}

void ChatSocket::onOpen() {
    m_handshakeTimer.stop();
    qInfo() << "# socket open";
    m_backoff.reset();
    emit failuresChanged();
    m_heard.start();
    m_pingTimer.start(m_timing.ping);
    setStatus(Status::Open);
}

void ChatSocket::onStateChanged() {
    if (!m_socket || m_socket->state() != QAbstractSocket::UnconnectedState)
        return;
    // Closed by the server, refused, given up for its silence or for a frame over the limit:
    // the socket goes, and a new attempt follows the back-off.
    qInfo() << "# socket closed" << m_socket->closeCode();
    release();
    setStatus(Status::Closed);
    const int delay = m_backoff.nextDelayMs();
    emit failuresChanged();
    emit reconnectScheduled(delay);
    m_retryTimer.start(delay);
}

void ChatSocket::checkLiveness() {
    if (!m_socket)
        return;
    if (m_heard.elapsed() >= m_timing.silence.count()) {
        qInfo() << "# socket silent for" << m_heard.elapsed() << "ms";
        m_socket->abort();
        return;
    }
    m_socket->ping();
}

void ChatSocket::onText(const QString &frame) {
    m_heard.restart();
    const IncomingFrame parsed = parseIncomingFrame(frame.toUtf8());
    switch (parsed.kind) {
    case IncomingFrame::NotJson:
        qWarning() << "Dropped a chat frame that is not JSON:" << parsed.error;
        return;
    case IncomingFrame::NoMessage:
        return;
    case IncomingFrame::Message:
        break;
    }
    qInfo() << "Chat message:" << castora::logtext::capped(parsed.message);
    emit messageReceived(parsed.name, parsed.message);
}
