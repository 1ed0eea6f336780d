// The source connection over TLS (RFC 2818) to a real icecast2 that listens with a certificate
// for "localhost" from a private test authority, trusted only inside this process's own mount
// namespace: on air a listener hears the tone, the silent-path limit is set on the connection's
// socket, and a restart of the server on air is survived. A certificate from an authority
// nobody trusts fails the start with its message, and nothing but a TLS handshake goes out. A
// start whose TLS handshake is never answered gives way to a closing program at once.
#include "DevServer.h"
#include "IcecastSink.h"
#include "LiveBroadcast.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "StreamController.h"
#include "TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace castora;
using castora::test::IcecastServer;
namespace live = castora::test::live;
using castora::test::row;

namespace {

std::unique_ptr<QTemporaryDir> g_pki;
QString g_skipReason;

QString trustAuthority() {
    g_pki = std::make_unique<QTemporaryDir>();
    return test::trustTestAuthority(g_pki->path());
}

// Takes connections on port() of 127.0.0.1 and ::1 (as "localhost" may resolve to either) and
// relays them to `target` on 127.0.0.1, or, without a target, holds them and never answers.
// Keeps every byte the clients sent.
struct Relay : QObject {
    QTcpServer v4, v6;
    quint16 target = 0;
    QByteArray sent;

    bool listen(quint16 to) {
        target = to;
        for (QTcpServer *server : {&v4, &v6})
            connect(server, &QTcpServer::newConnection, this, [this, server] { take(*server); });
        return v4.listen(QHostAddress::LocalHost) &&
               v6.listen(QHostAddress::LocalHostIPv6, v4.serverPort());
    }
    quint16 port() const { return v4.serverPort(); }

    void take(QTcpServer &server) {
        while (QTcpSocket *client = server.nextPendingConnection()) {
            client->setParent(this);
            QTcpSocket *upstream = nullptr;
            if (target != 0) {
                upstream = new QTcpSocket(client);
                upstream->connectToHost(QHostAddress::LocalHost, target);
                connect(upstream, &QTcpSocket::readyRead, client,
                        [client, upstream] { client->write(upstream->readAll()); });
                connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::close);
            }
            connect(client, &QTcpSocket::readyRead, this, [this, client, upstream] {
                const QByteArray data = client->readAll();
                sent += data;
                if (upstream)
                    upstream->write(data); // buffered until connected
            });
        }
    }
};

// The TCP_USER_TIMEOUT of this process's socket connected to `port`, in milliseconds; -1 when
// there is not exactly one.
int userTimeoutTowards(quint16 port) {
    int found = -1, sockets = 0;
    const QStringList fds = QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System);
    for (const QString &name : fds) {
        const int fd = name.toInt();
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0)
            continue;
        const quint16 peerPort =
            ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_port
                                             : reinterpret_cast<sockaddr_in *>(&peer)->sin_port);
        unsigned int ms = 0;
        socklen_t length = sizeof ms;
        if (peerPort == port && ++sockets &&
            getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, &length) == 0)
            found = int(ms);
    }
    return sockets == 1 ? found : -1;
}

} // namespace

class IcecastTlsTest : public QObject {
    Q_OBJECT

    IcecastServer m_trusted, m_stranger;
    std::unique_ptr<dev::DevServer> m_backend;
    QString m_mount;
    std::unique_ptr<test::ScriptedAudioInput> m_input;

    // A controller for the demo channel whose Icecast connection goes over TLS to `host`.
    std::unique_ptr<StreamController>
    controller(quint16 port, const QString &host = QStringLiteral("localhost")) {
        ServiceConfig config = ServiceConfig::local(m_backend->port(), 0, port);
        config.icecastHost = host;
        config.icecastTls = true;
        m_input = std::make_unique<test::ScriptedAudioInput>();
        auto c = std::make_unique<StreamController>(config, *m_input);
        c->setMountPoint(m_mount);
        c->setSubStatus(true);
        engine::SendTiming quick;
        quick.retryDelay = std::chrono::milliseconds(30);
        quick.reconnectDelay = std::chrono::milliseconds(100);
        c->engine().setSendTiming(quick);
        return c;
    }

private slots:
    void initTestCase() {
        if (!g_skipReason.isEmpty())
            QSKIP(qPrintable(g_skipReason));
        engine::ignoreBrokenPipe();
        QVERIFY(m_trusted.start(g_pki->filePath("server-bundle.pem")));
        QVERIFY(m_stranger.start(g_pki->filePath("stranger-bundle.pem")));
        m_backend = std::make_unique<dev::DevServer>();
        QVERIFY(m_backend->listen() != 0);
        m_mount = m_backend->state().demoChannel().mountPoint;
    }

    // A certificate from an authority nobody trusts, through a relay that keeps what the
    // program sent.
    void refusesAnotherAuthority() {
        Relay relay;
        QVERIFY(relay.listen(m_stranger.tlsPort()));
        auto c = controller(relay.port());
        QSignalSpy told(c.get(), &StreamController::requestCompleted);
        c->startStop();
        QVERIFY(told.wait(15000));
        QCOMPARE(told.at(0).at(0).toString(), engine::kUnverifiedConnectionMessage);
        QVERIFY(!c->streaming() && !m_stranger.hasMount(m_mount));
        // A TLS handshake record, and neither the request nor the credential in clear.
        QVERIFY(relay.sent.startsWith("\x16\x03"));
        for (const QString &clear : {m_mount, IcecastServer::sourcePassword(),
                                     QStringLiteral("SOURCE"), QStringLiteral("PUT ")})
            QVERIFY2(!relay.sent.contains(clear.toUtf8()), qPrintable(clear));
    }

    // A certificate the system trusts.
    void streamsOverTls() {
        auto c = controller(m_trusted.tlsPort());
        QVERIFY(live::pressStart(*c));
        QTRY_VERIFY(m_trusted.hasMount(m_mount));
        QVERIFY(live::hearsTone(m_trusted, m_mount, *c));
        // The sink found the connection's socket: a silent path fails it after the stall limit.
        QCOMPARE(userTimeoutTowards(m_trusted.tlsPort()),
                 int(c->engine().sender().timing().stallLimit.count()));

        // The server goes away and comes back: the broadcast reconnects over TLS by itself.
        QVERIFY(m_trusted.kill());
        QTRY_VERIFY_WITH_TIMEOUT(c->engine().sender().failedSends() > 0, 10000);
        QVERIFY(m_trusted.restart());
        QTRY_VERIFY_WITH_TIMEOUT(m_trusted.hasMount(m_mount), 30000);
        QVERIFY(live::hearsTone(m_trusted, m_mount, *c));
        QVERIFY(live::pressStop(*c));
    }

    // Closing the program during a start whose TLS handshake does not end (a server that takes
    // the connection and never says a word): it gives up at once. Over TLS libshout looks the
    // name up within the same connection attempt, so a lookup that hangs holds the same wait;
    // the program's own lookup (plain transport): tst_streamcontroller's shutdown rows.
    void closingWhileConnecting() {
        Relay silent;
        QVERIFY(silent.listen(0));
        auto c = controller(silent.port());
        c->startStop();
        QTRY_VERIFY_WITH_TIMEOUT(silent.sent.startsWith("\x16\x03"), 15000);
        QElapsedTimer closing;
        closing.start();
        QVERIFY(c->shutdown(std::chrono::milliseconds(10000)));
        QVERIFY2(closing.elapsed() < 3000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(!c->streaming() && !c->engine().isOnAir() && !c->isBusy());
    }
};

CASTORA_TEST_MAIN_IMPL(IcecastTlsTest, QCoreApplication, g_skipReason = trustAuthority())

#include "tst_icecasttls.moc"
