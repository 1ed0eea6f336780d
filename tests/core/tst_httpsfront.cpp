// The production transport: the saved-session check, a chunked upload and the chat token go to
// the stand-in through nginx speaking HTTPS and HTTP/2, with a certificate of a private test
// authority. That authority is trusted only inside this process's own mount namespace (Qt
// reads the system's /etc/ssl/certs, which a bind mount replaces here alone). Each also runs
// with the stand-in redirecting the request to another HTTPS origin, which must never see it.
#include "AuthController.h"
#include "ChatServer.h"
#include "DevServer.h"
#include "LocalServices.h"
#include "NetworkClient.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "ScriptedAudioInput.h"
#include "SettingsStore.h"
#include "StreamController.h"
#include "TestMain.h"
#include "UploadRoutes.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

using namespace castora;
using castora::test::columns;
using castora::test::row;

namespace {

// The test authority, the server certificate and the copy of the system's trusted certificates
// with the authority added; filled in before the mount namespace is entered.
std::unique_ptr<QTemporaryDir> g_pki;
QString g_skipReason;

// Runs first in main(), while the process has a single thread: a mount namespace entered then
// holds for every thread started later (Qt's network thread reads the certificates).
QString trustTestAuthority() {
    if (QStandardPaths::findExecutable("nginx").isEmpty() &&
        QStandardPaths::findExecutable("nginx", {"/usr/sbin"}).isEmpty())
        return "nginx is not installed";
    g_pki = std::make_unique<QTemporaryDir>();
    return test::trustTestAuthority(g_pki->path());
}

quint16 freePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

} // namespace

class TestHttpsFront : public QObject {
    Q_OBJECT

    std::unique_ptr<dev::DevServer> m_server;    // the service, behind the front
    std::unique_ptr<dev::DevServer> m_elsewhere; // another origin, behind its own front
    QProcess m_nginx;
    quint16 m_port = 0, m_elsewherePort = 0;
    ServiceConfig m_config;
    QTemporaryDir m_files;

    QString log() const { return g_pki->filePath("access.log"); }

    bool startFront() {
        m_port = freePort();
        m_elsewherePort = freePort();
        const QString dir = g_pki->path();
        const auto server = [&dir](quint16 port, quint16 upstream) {
            return QString("server { listen 127.0.0.1:%1 ssl http2; "
                           "ssl_certificate %3/server.pem; ssl_certificate_key %3/server.key; "
                           "location / { proxy_pass http://127.0.0.1:%2; proxy_http_version 1.1; "
                           "proxy_request_buffering off; proxy_set_header Host $http_host; } }\n")
                .arg(port)
                .arg(upstream)
                .arg(dir);
        };
        const QString conf = g_pki->filePath("nginx.conf");
        if (!test::writeFile(conf,
                             QString("daemon off; master_process off; pid %1/nginx.pid;\n"
                                     "error_log %1/error.log warn;\n"
                                     "events { worker_connections 64; }\n"
                                     "http {\n"
                                     "log_format proto '$server_port $server_protocol $uri';\n"
                                     "access_log %1/access.log proto;\n"
                                     "client_max_body_size 0;\n"
                                     "client_body_temp_path %1/body; proxy_temp_path %1/proxy;\n"
                                     "fastcgi_temp_path %1/fcgi; uwsgi_temp_path %1/uwsgi;\n"
                                     "scgi_temp_path %1/scgi;\n")
                                     .arg(dir)
                                     .toUtf8() +
                                 server(m_port, m_server->port()).toUtf8() +
                                 server(m_elsewherePort, m_elsewhere->port()).toUtf8() + "}\n"))
            return false;
        m_nginx.setProcessChannelMode(QProcess::ForwardedChannels);
        m_nginx.start(QStandardPaths::findExecutable("nginx", {"/usr/sbin"}),
                      {"-c", conf, "-p", dir, "-e", dir + "/error.log"});
        return m_nginx.waitForStarted() &&
               QTest::qWaitFor(
                   [this] {
                       QTcpSocket a, b;
                       a.connectToHost(QHostAddress::LocalHost, m_port);
                       b.connectToHost(QHostAddress::LocalHost, m_elsewherePort);
                       return a.waitForConnected(200) && b.waitForConnected(200);
                   },
                   10000);
    }

private slots:
    void initTestCase() {
        if (!g_skipReason.isEmpty())
            QSKIP(qPrintable(g_skipReason));
        QVERIFY(castora::initDatabase());
        m_server = std::make_unique<dev::DevServer>();
        m_elsewhere = std::make_unique<dev::DevServer>();
        QVERIFY(m_server->listen() != 0 && m_elsewhere->listen() != 0);
        QVERIFY(startFront());
        m_config = ServiceConfig::local(m_server->port());
        m_config.backendUrl = QString("https://127.0.0.1:%1").arg(m_port);
        settings::setToken(m_server->state().issueToken(dev::DevState::kDemoEmail));
    }

    void cleanupTestCase() {
        if (m_nginx.state() != QProcess::NotRunning) {
            m_nginx.terminate();
            m_nginx.waitForFinished(5000);
        }
    }

    void init() { QFile(log()).resize(0); }

    void throughTheFront_data() {
        // path: the request the stand-in redirects
        // redirected: to the other origin
        columns<QString, QString, bool>("call", "path", "redirected");
        const QString check = "api/channel/user-channel", chunk = "api/upload-file",
                      chat = "api/comment/fetch-chat-token";
        row("saved session", "session", check, false);
        row("saved session, redirected elsewhere", "session", check, true);
        row("chunked upload", "upload", chunk, false);
        row("chunked upload, chunk redirected elsewhere", "upload", chunk, true);
        row("chat token", "chat", chat, false);
        row("chat token, redirected elsewhere", "chat", chat, true);
    }

    void throughTheFront() {
        QFETCH(QString, call);
        QFETCH(QString, path);
        QFETCH(bool, redirected);
        if (redirected) {
            m_server->answerNext(
                1,
                dev::Answer::redirect(
                    QString("https://127.0.0.1:%1/%2").arg(m_elsewherePort).arg(path)),
                path);
        }
        if (call == "session") {
            NetworkClient client(m_config);
            AuthController auth(client);
            QTRY_VERIFY_WITH_TIMEOUT(!auth.startUp(), 15000);
            QCOMPARE(auth.loggedIn(), !redirected);
        } else if (call == "upload") {
            const QByteArray content(6'000'000, 'c'); // two chunks
            QVERIFY(test::writeFile(m_files.filePath("show.mp3"), content));
            RecordingController recordings(m_config);
            recordings.addRecording("Show", m_files.filePath("show.mp3"));
            QSignalSpy completed(&recordings, &RecordingController::uploadCompleted);
            recordings.uploadRecording(recordings.recordings().at(0)->id());
            QTRY_COMPARE_WITH_TIMEOUT(completed.size(), 1, 30000);
            QCOMPARE(completed.at(0).at(1).toBool(), !redirected);
            if (redirected) {
                QVERIFY2(completed.at(0).at(2).toString().startsWith("Chunk upload failed: "),
                         qPrintable(completed.at(0).at(2).toString()));
            } else {
                QVERIFY(test::readFile(m_server->uploads().find("show.mp3")->path) == content);
            }
        } else {
            test::ScriptedAudioInput input;
            StreamController stream(m_config, input);
            stream.fetchChatToken();
            QTRY_COMPARE_WITH_TIMEOUT(stream.pendingRequests(), 0, 15000);
            QCOMPARE(m_server->chat().isValidToken(stream.chatToken()), !redirected);
        }
        // The other origin never saw the request, let alone the bearer token.
        QCOMPARE(m_elsewhere->requests().size(), 0);
        // Everything went through the front, over HTTP/2.
        const QList<QByteArray> lines = test::readFile(log()).trimmed().split('\n');
        for (const QByteArray &line : lines)
            QVERIFY2(line.startsWith(QByteArray::number(m_port) + " HTTP/2.0 "), line.constData());
        QVERIFY(lines.contains(QByteArray::number(m_port) + " HTTP/2.0 /" + path.toUtf8()));
    }
};

CASTORA_TEST_MAIN_IMPL(TestHttpsFront, QCoreApplication, g_skipReason = trustTestAuthority())

#include "tst_httpsfront.moc"
