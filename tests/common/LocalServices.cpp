#include "LocalServices.h"

#include "ServiceConfig.h"
#include "TestMain.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <ebur128.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#ifndef CASTORA_SOURCE_DIR
#error "CASTORA_SOURCE_DIR must name the project's source folder"
#endif

namespace castora::test {

namespace {

// Runs `program args`, feeding it `input`; its standard output. `ok` tells whether it ended
// by itself with status 0 within `timeoutMs`.
QByteArray runTool(const QString &program, const QStringList &args, int timeoutMs,
                   QByteArray *errors = nullptr, const QByteArray &input = QByteArray(),
                   bool *ok = nullptr) {
    QProcess process;
    if (input.isEmpty())
        process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, args);
    if (!input.isEmpty()) {
        process.write(input);
        process.closeWriteChannel();
    }
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    if (ok)
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (errors)
        *errors = process.readAllStandardError();
    return process.readAllStandardOutput();
}

// Runs `scripts/local-service args...`; `output` receives its output on success, a warning
// tells of a failure.
bool runLocalService(const QStringList &args, QString *output = nullptr) {
    bool ok = false;
    QByteArray errors;
    const QByteArray out = runTool(QStringLiteral(CASTORA_SOURCE_DIR "/scripts/local-service"),
                                   args, 30000, &errors, {}, &ok);
    if (!ok)
        qWarning() << "local-service" << args << "failed:" << errors;
    else if (output)
        *output = QString::fromLocal8Bit(out).trimmed();
    return ok;
}

} // namespace

// ---- icecast2 ----

IcecastServer::IcecastServer()
    : m_dir(QDir::tempPath() + "/castora-icecast-XXXXXX") {
}

IcecastServer::~IcecastServer() {
    if (m_port == 0)
        return;
    resume();
    service("stop");
}

QString IcecastServer::sourcePassword() {
    return ServiceConfig::local(0).icecastPassword;
}

bool IcecastServer::start(const QString &tlsPem) {
    QString out;
    QStringList args{"icecast", "start", m_dir.path(), "0", sourcePassword()};
    if (!tlsPem.isEmpty())
        args << tlsPem;
    if (!runLocalService(args, &out))
        return false;
    m_port = quint16(out.split('\n').last().trimmed().toUInt());
    if (!tlsPem.isEmpty())
        m_tlsPort = quint16(readFile(m_dir.filePath("tls-port")).trimmed().toUInt());
    m_running = m_port != 0 && (tlsPem.isEmpty() || m_tlsPort != 0);
    return m_running;
}

bool IcecastServer::service(const QString &command) {
    return runLocalService({"icecast", command, m_dir.path()});
}

qint64 IcecastServer::pid() const {
    // As root the server lives in a folder of its own.
    const QString dir = QString::fromLocal8Bit(readFile(m_dir.filePath("icecast.dir"))).trimmed();
    return readFile((dir.isEmpty() ? m_dir.path() : dir) + "/icecast.pid").trimmed().toLongLong();
}

bool IcecastServer::pause() {
    const qint64 server = pid();
    return server > 0 && ::kill(pid_t(server), SIGSTOP) == 0;
}

bool IcecastServer::resume() {
    const qint64 server = pid();
    if (server <= 0 || ::kill(pid_t(server), SIGCONT) != 0)
        return false;
    // As root the server runs under runuser, which stops itself along with its child and
    // would stay stopped (and never reap the server) unless continued too.
    const QByteArray fields = readFile(QString("/proc/%1/stat").arg(server));
    const qint64 parent = fields.mid(fields.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
    if (parent > 1)
        ::kill(pid_t(parent), SIGCONT);
    return true;
}

int IcecastServer::sourceConnections() const {
    const QByteArray stats = runTool(
        "curl",
        {"-fsS", "--max-time", "5", "-u", "admin:castora-admin", baseUrl() + "/admin/stats"},
        10000);
    const QRegularExpression total("<source_total_connections>(\\d+)</");
    const QRegularExpressionMatch match = total.match(QString::fromUtf8(stats));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

QJsonArray IcecastServer::sources() const {
    const QByteArray body =
        runTool("curl", {"-fsS", "--max-time", "5", baseUrl() + "/status-json.xsl"}, 10000);
    const QJsonValue source = QJsonDocument::fromJson(body)["icestats"]["source"];
    return source.isObject() ? QJsonArray{source} : source.toArray();
}

QJsonObject IcecastServer::source(const QString &mount) const {
    for (const QJsonValue &value : sources()) {
        if (value["listenurl"].toString().endsWith('/' + mount))
            return value.toObject();
    }
    return QJsonObject();
}

QByteArray IcecastServer::listen(const QString &mount, double seconds) const {
    return runTool("curl", {"-s", "--max-time", QString::number(seconds), baseUrl() + '/' + mount},
                   int(seconds * 1000) + 10000);
}

IcecastServer::Reception IcecastServer::receive(const QString &mount, double seconds,
                                                const QElapsedTimer &clock, qint64 enough) const {
    Reception reception;
    const qint64 until = clock.elapsed() + qint64(seconds * 1000);
    QTcpSocket player;
    player.connectToHost("127.0.0.1", m_port);
    const QByteArray request = "GET /" + mount.toUtf8() + " HTTP/1.0\r\n\r\n";
    if (!player.waitForConnected(2000) || player.write(request) != request.size())
        return reception;
    QByteArray head;
    while (clock.elapsed() < until && (enough < 0 || reception.audio.size() < enough) &&
           (player.bytesAvailable() > 0 || player.waitForReadyRead(100) ||
            player.state() == QAbstractSocket::ConnectedState)) {
        const QByteArray got = player.readAll();
        if (got.isEmpty())
            continue;
        if (reception.joinedAt < 0) {
            head += got;
            const qsizetype end = head.indexOf("\r\n\r\n");
            if (end < 0)
                continue;
            if (!head.startsWith("HTTP/1.0 200") && !head.startsWith("HTTP/1.1 200"))
                return reception;
            reception.joinedAt = clock.elapsed();
            reception.audio = head.mid(end + 4);
        } else {
            reception.audio += got;
        }
        reception.arrivals.append({clock.elapsed(), reception.audio.size()});
    }
    return reception;
}

qint64 IcecastServer::Reception::arrivalOf(qint64 offset) const {
    for (const auto &[at, bytes] : arrivals) {
        if (bytes > offset)
            return at;
    }
    return -1;
}

qint64 IcecastServer::waitForAudio(const QString &mount, int timeoutMs) const {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        // A missing mount is answered at once; the player then tries again.
        const Reception heard = receive(mount, (timeoutMs - clock.elapsed()) / 1000.0, clock, 1);
        if (!heard.audio.isEmpty())
            return heard.arrivalOf(0);
        QThread::msleep(20);
    }
    return -1;
}

// ---- a path that goes silent ----

SilentPath::SilentPath(quint16 serverPort)
    : m_server(serverPort) {
}

SilentPath::~SilentPath() {
    if (m_port != 0)
        nft("delete table ip castora_path\n");
}

bool SilentPath::nft(const QString &script) {
    bool ok = false;
    QByteArray errors;
    runTool("nft", {"-f", "-"}, 10000, &errors, script.toUtf8(), &ok);
    if (!ok)
        qWarning() << "nft failed:" << errors << script;
    return ok;
}

bool SilentPath::start() {
    // A port nothing listens on: the kernel turns connections to it into connections to the
    // server before any socket sees them.
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return false;
    const quint16 port = probe.serverPort();
    probe.close();
    const bool ok =
        nft(QStringLiteral("table ip castora_path {\n"
                           "  chain out { type nat hook output priority -100;\n"
                           "    ip daddr 127.0.0.1 tcp dport %1 dnat to 127.0.0.1:%2; }\n"
                           "  chain in { type filter hook input priority 0; }\n"
                           "}\n")
                .arg(port)
                .arg(m_server));
    if (ok)
        m_port = port;
    return ok;
}

bool SilentPath::freeze() {
    // Matched by the connection's original destination: both directions of every connection
    // made to port(), the first packet of a new one included.
    return nft(QStringLiteral("add rule ip castora_path in meta l4proto tcp "
                              "ct original proto-dst %1 drop\n")
                   .arg(m_port));
}

bool SilentPath::heal() {
    return nft("flush chain ip castora_path in\n");
}

// ---- a private certificate authority ----

QString trustTestAuthority(const QString &dir) {
    if (::geteuid() != 0)
        return "needs root for a private mount namespace";
    if (QStandardPaths::findExecutable("openssl").isEmpty())
        return "openssl is not installed";
    // Two authorities, each certifying "localhost" and 127.0.0.1; only the first is trusted.
    const QByteArray script =
        "set -e\n"
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.cnf\n"
        "for who in server stranger; do\n"
        "  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \\\n"
        "    -keyout $who-ca.key -out $who-ca.pem -subj \"/CN=Castora test $who CA\" 2>/dev/null\n"
        "  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \\\n"
        "    -keyout $who.key -out $who.csr -subj /CN=localhost 2>/dev/null\n"
        "  openssl x509 -req -in $who.csr -CA $who-ca.pem -CAkey $who-ca.key -CAcreateserial \\\n"
        "    -days 2 -extfile san.cnf -out $who.pem 2>/dev/null\n"
        "  cat $who.pem $who.key > $who-bundle.pem\n"
        "done\n"
        "mv server-ca.pem ca.pem\n"
        "cp -a /etc/ssl/certs certs\n"
        "cp ca.pem certs/castora-test-authority.pem\n"
        "openssl rehash certs >/dev/null 2>&1\n"
        "cat ca.pem >> certs/ca-certificates.crt\n";
    // std::system, not QProcess: no thread may be started before the namespace is entered.
    const QString file = dir + "/make-certificates.sh";
    if (!writeFile(file, script) ||
        std::system(QString("cd '%1' && sh '%2'").arg(dir, file).toLocal8Bit().constData()) != 0)
        return "could not make the test certificates";
    const QByteArray certs = QFile::encodeName(dir + "/certs");
    // As unshare --mount does: nothing mounted here propagates back to the system.
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(certs.constData(), "/etc/ssl/certs", nullptr, MS_BIND, nullptr) != 0)
        return QString("unshare or mount: %1").arg(strerror(errno));
    return QString();
}

// ---- private namespaces ----

Rerun rerunInNamespaces(const QStringList &unshareOptions, QString *detail) {
    if (qEnvironmentVariableIsSet("CASTORA_OWN_NAMESPACES"))
        return Rerun::Inside;
    const QString unshare = QStandardPaths::findExecutable("unshare");
    bool possible = false;
    if (::geteuid() == 0 && !unshare.isEmpty())
        runTool(unshare, unshareOptions + QStringList{"true"}, 10000, nullptr, {}, &possible);
    if (!possible) {
        *detail = QString("Needs root and unshare %1; not run").arg(unshareOptions.join(' '));
        return Rerun::Unavailable;
    }
    QString test = QString::fromLatin1(QTest::currentTestFunction());
    if (QTest::currentDataTag())
        test += QLatin1Char(':') + QString::fromLatin1(QTest::currentDataTag());
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CASTORA_OWN_NAMESPACES", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setStandardInputFile(QProcess::nullDevice());
    QStringList command = unshareOptions;
    command << "--";
    // A new network namespace starts with its loopback down.
    if (unshareOptions.contains("--net"))
        command << "sh"
                << "-c"
                << "ip link set lo up && exec \"$@\""
                << "sh";
    command << QCoreApplication::applicationFilePath() << test;
    child.start(unshare, command);
    const bool finished = child.waitForFinished(20 * 60 * 1000);
    if (!finished)
        child.kill();
    child.waitForFinished(5000);
    if (finished && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0)
        return Rerun::Passed;
    *detail = QString("%1 in its own namespaces (unshare %2) failed; its output is above")
                  .arg(test, unshareOptions.join(' '));
    return Rerun::Failed;
}

// ---- PulseAudio ----

VirtualMicrophone::VirtualMicrophone()
    : m_dir(QDir::tempPath() + "/castora-pulse-XXXXXX") {
}

VirtualMicrophone::~VirtualMicrophone() {
    if (!m_running)
        return;
    runLocalService({"pulse", "stop", m_dir.path()});
    if (m_previousServer.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", m_previousServer);
}

bool VirtualMicrophone::start() {
    QString out;
    if (!runLocalService({"pulse", "start", m_dir.path()}, &out))
        return false;
    for (const QString &line : out.split('\n')) {
        if (line.startsWith("PULSE_SERVER="))
            m_server = line.mid(13).trimmed();
    }
    if (m_server.isEmpty())
        return false;
    m_previousServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", m_server.toLocal8Bit());
    m_running = true;
    return true;
}

bool VirtualMicrophone::pulse(QStringList commandAndArguments) {
    const QString command = commandAndArguments.takeFirst();
    return runLocalService(QStringList{"pulse", command, m_dir.path()} + commandAndArguments);
}

// ---- audio checks ----

namespace audio {

namespace {

// ffmpeg reading MP3 from `source` (a file, or "pipe:0" with `input`).
Decoded decode(const QString &source, int sampleRate, const QByteArray &input) {
    Decoded decoded;
    QByteArray errors;
    const QByteArray pcm = runTool("ffmpeg",
                                   {"-v", "error", "-nostdin", "-f", "mp3", "-i", source, "-f",
                                    "s16le", "-ac", "1", "-ar", QString::number(sampleRate), "-"},
                                   120000, &errors, input);
    decoded.errors = QString::fromLocal8Bit(errors).trimmed();
    decoded.ok = !pcm.isEmpty();
    decoded.samples.resize(std::size_t(pcm.size()) / 2);
    std::memcpy(decoded.samples.data(), pcm.constData(), decoded.samples.size() * 2);
    return decoded;
}

} // namespace

Decoded decodeMp3File(const QString &path, int sampleRate) {
    return decode(path, sampleRate, QByteArray());
}

Decoded decodeMp3(const QByteArray &mp3, int sampleRate) {
    return decode("pipe:0", sampleRate, mp3);
}

double dominantFrequency(const std::vector<qint16> &samples, int sampleRate, std::size_t skip) {
    if (samples.size() <= skip + 2 || sampleRate <= 0)
        return 0.0;
    // Crossings with hysteresis, so coding noise around zero and silent stretches count for
    // nothing; the frequency is taken between the first and the last crossing.
    const double threshold = std::max(200.0, 0.2 * rms(samples, skip));
    int state = 0;
    std::size_t crossings = 0, first = 0, last = 0;
    for (std::size_t i = skip; i < samples.size(); ++i) {
        const int now = samples[i] > threshold ? 1 : (samples[i] < -threshold ? -1 : 0);
        if (now == 0 || now == state)
            continue;
        if (state != 0) {
            if (crossings++ == 0)
                first = i;
            last = i;
        }
        state = now;
    }
    if (crossings < 3)
        return 0.0;
    return double(crossings - 1) / 2.0 / (double(last - first) / sampleRate);
}

double rms(const std::vector<qint16> &samples, std::size_t from, std::size_t count) {
    if (from >= samples.size())
        return 0.0;
    const std::size_t end = count == 0 ? samples.size() : std::min(samples.size(), from + count);
    double sum = 0.0;
    for (std::size_t i = from; i < end; ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(end - from));
}

namespace {
constexpr double kMarkLength = 0.15; // s
constexpr int kMarkAmplitude = 16000;
int markPitch(int mark) {
    return 500 + 50 * mark;
}
} // namespace

bool writeMarks(const QString &path, int count, int sampleRate) {
    const std::size_t total = std::size_t((count + 1) * kMarkSeconds * sampleRate);
    std::vector<qint16> samples(total, 0);
    const std::size_t length = std::size_t(kMarkLength * sampleRate);
    const std::size_t fade = std::size_t(0.005 * sampleRate);
    for (int mark = 1; mark <= count; ++mark) {
        const std::size_t from = std::size_t(mark * kMarkSeconds * sampleRate);
        for (std::size_t i = 0; i < length && from + i < total; ++i) {
            const double edge = std::min({1.0, double(i) / fade, double(length - i) / fade});
            samples[from + i] =
                qint16(std::lround(kMarkAmplitude * edge *
                                   std::sin(2 * M_PI * markPitch(mark) * double(i) / sampleRate)));
        }
    }
    return writeWav(path, samples, sampleRate);
}

bool writeWav(const QString &path, const std::vector<qint16> &samples, int sampleRate) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
    const auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
    const quint32 bytes = quint32(samples.size() * 2);
    QByteArray header = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
                        u32(quint32(sampleRate)) + u32(quint32(sampleRate * 2)) + u16(2) + u16(16) +
                        "data" + u32(bytes);
    return file.write(header) == header.size() &&
           file.write(reinterpret_cast<const char *>(samples.data()), bytes) == qint64(bytes);
}

std::vector<qint16> readWav(const QString &path, int *sampleRate) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wav = file.readAll();
    const auto number = [&wav](qsizetype at, int size) {
        quint32 value = 0;
        std::memcpy(&value, wav.constData() + at, std::size_t(size));
        return value;
    };
    std::vector<qint16> samples;
    for (qsizetype at = 12; at + 8 <= wav.size();) {
        const qsizetype size = std::min<qsizetype>(number(at + 4, 4), wav.size() - at - 8);
        if (wav.mid(at, 4) == "fmt " && size >= 16) {
            if (number(at + 8, 2) != 1 || number(at + 10, 2) != 1 || number(at + 22, 2) != 16)
                return {}; // not mono 16-bit PCM
            if (sampleRate)
                *sampleRate = int(number(at + 12, 4));
        } else if (wav.mid(at, 4) == "data") {
            samples.resize(std::size_t(size / 2));
            std::memcpy(samples.data(), wav.constData() + at + 8, samples.size() * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

template <typename Sample>
double integratedLoudness(const std::vector<Sample> &samples, int sampleRate, std::size_t from) {
    ebur128_state *state = ebur128_init(1, unsigned(sampleRate), EBUR128_MODE_I);
    from = std::min(from, samples.size());
    if constexpr (std::is_same_v<Sample, float>)
        ebur128_add_frames_float(state, samples.data() + from, samples.size() - from);
    else
        ebur128_add_frames_short(state, samples.data() + from, samples.size() - from);
    double lufs = -HUGE_VAL;
    ebur128_loudness_global(state, &lufs);
    ebur128_destroy(&state);
    return lufs;
}
template double integratedLoudness(const std::vector<qint16> &, int, std::size_t);
template double integratedLoudness(const std::vector<float> &, int, std::size_t);

QList<std::pair<std::size_t, int>> findMarks(const std::vector<qint16> &samples, int sampleRate) {
    QList<std::pair<std::size_t, int>> marks;
    const std::size_t step = std::size_t(sampleRate) / 200; // 5 ms
    const std::size_t skip = std::size_t(0.02 * sampleRate);
    const std::size_t span = std::size_t(0.1 * sampleRate);
    for (std::size_t at = 0; at + skip + span < samples.size(); at += step) {
        if (rms(samples, at, step) < kMarkAmplitude / 8.0)
            continue;
        const std::vector<qint16> tone(samples.begin() + std::ptrdiff_t(at + skip),
                                       samples.begin() + std::ptrdiff_t(at + skip + span));
        const double pitch = dominantFrequency(tone, sampleRate);
        const int mark = int(std::lround((pitch - 500.0) / 50.0));
        if (mark >= 1 && std::abs(pitch - markPitch(mark)) < 15.0)
            marks.append({at, mark});
        at += std::size_t(kMarkSeconds * sampleRate / 2); // past this one
    }
    return marks;
}

} // namespace audio

} // namespace castora::test
