#include "BenchSupport.h"

#include "IcecastStatusPage.h"
#include "ServiceConfig.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace castora::bench {

namespace {

QByteArray readProc(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString procPath(pid_t pid) {
    return QStringLiteral("/proc/%1").arg(pid);
}

// The first field of a schedstat file: time spent on a CPU, in nanoseconds.
double schedstatSeconds(const QString &path) {
    return readProc(path).split(' ').value(0).toDouble() / 1e9;
}

} // namespace

double processCpuSeconds(pid_t pid) {
    const QDir tasks(procPath(pid) + QStringLiteral("/task"));
    double total = 0;
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        total += schedstatSeconds(tasks.filePath(tid + QStringLiteral("/schedstat")));
    return total;
}

double threadCpuSeconds(pid_t pid, const QByteArray &name) {
    const QDir tasks(procPath(pid) + QStringLiteral("/task"));
    double total = 0;
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (readProc(tasks.filePath(tid + QStringLiteral("/comm"))).trimmed() == name)
            total += schedstatSeconds(tasks.filePath(tid + QStringLiteral("/schedstat")));
    }
    return total;
}

qint64 statusKb(pid_t pid, const QByteArray &field) {
    const QList<QByteArray> lines = readProc(procPath(pid) + QStringLiteral("/status")).split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool resetPeak(pid_t pid) {
    QFile clear(procPath(pid) + QStringLiteral("/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

qint64 monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Child::Child(QString name)
    : m_name(std::move(name)) {
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

Child::~Child() {
    stop();
}

bool Child::start(const QString &program, const QStringList &arguments,
                  const QProcessEnvironment &environment) {
    m_output.clear();
    m_process.setProcessEnvironment(environment);
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(10000)) {
        std::fprintf(stderr, "%s: cannot start %s: %s\n", qPrintable(m_name), qPrintable(program),
                     qPrintable(m_process.errorString()));
        return false;
    }
    return true;
}

pid_t Child::pid() const {
    return pid_t(m_process.processId());
}

bool Child::isRunning() const {
    return m_process.state() == QProcess::Running;
}

void Child::poll(std::chrono::milliseconds timeout) {
    if (isRunning())
        m_process.waitForReadyRead(int(timeout.count()));
    m_output += m_process.readAll();
}

std::optional<QRegularExpressionMatch> Child::waitForLine(const QRegularExpression &pattern,
                                                          std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Complete lines only; all of them each time (the outputs are short), so that waiting
        // for one line does not hide another that came earlier.
        const QList<QByteArray> lines = m_output.left(m_output.lastIndexOf('\n') + 1).split('\n');
        for (const QByteArray &line : lines) {
            const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
            if (match.hasMatch())
                return match;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !isRunning())
            return std::nullopt;
        poll(std::min(left, std::chrono::milliseconds(100)));
    }
}

QString Child::endReport() const {
    const QString how = m_process.exitStatus() == QProcess::CrashExit
                            ? QStringLiteral("crashed")
                            : QStringLiteral("exited with status %1").arg(m_process.exitCode());
    return how + QStringLiteral("; its last output:\n") +
           QString::fromUtf8(m_output.right(1500)).trimmed();
}

int Child::stop(std::chrono::milliseconds grace) {
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(int(grace.count()))) {
        std::fprintf(stderr, "%s: did not stop within %lld ms, killing it\n", qPrintable(m_name),
                     static_cast<long long>(grace.count()));
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_output += m_process.readAll();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void runEventsFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

bool mountListed(quint16 port, const QString &mount) {
    static QNetworkAccessManager network;
    QNetworkReply *reply = network.get(
        QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/status-json.xsl").arg(port))));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body =
        reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->abort();
    reply->deleteLater();
    const auto status = castora::icecast::mountStatus(body, mount);
    return status && status->listed;
}

QStringList darkiceArguments(const QString &folder, quint16 port, const QString &mount, int bitrate,
                             int lameQuality, unsigned int sampleRate) {
    // DarkIce sets LAME's quality to int((1 - quality) * 10): half a step below the value
    // that gives `lameQuality` exactly keeps rounding out of it (0.75 gives 2). No real-time
    // scheduling: the others run without it too.
    const QString config = folder + QStringLiteral("/darkice-%1.cfg").arg(mount);
    QFile file(config);
    if (file.open(QIODevice::WriteOnly))
        file.write(QStringLiteral("[general]\n"
                                  "duration = 0\n"
                                  "bufferSecs = 1\n"
                                  "reconnect = no\n"
                                  "realtime = no\n"
                                  "[input]\n"
                                  "device = pulseaudio\n"
                                  "paSourceName = default\n"
                                  "sampleRate = %1\n"
                                  "bitsPerSample = 16\n"
                                  "channel = 1\n"
                                  "[icecast2-0]\n"
                                  "format = mp3\n"
                                  "bitrateMode = cbr\n"
                                  "bitrate = %2\n"
                                  "quality = %3\n"
                                  "server = 127.0.0.1\n"
                                  "port = %4\n"
                                  "password = %5\n"
                                  "mountPoint = %6\n")
                       .arg(sampleRate)
                       .arg(bitrate)
                       .arg(0.95 - lameQuality / 10.0, 0, 'f', 2)
                       .arg(port)
                       .arg(sourcePassword(), mount)
                       .toUtf8());
    return {QStringLiteral("-c"), config};
}

QString sourcePassword() {
    return ServiceConfig::local(0).icecastPassword;
}

// The credential in the user part of an icecast:// address (ffmpeg's form).
QString sourceUserInfo() {
    const ServiceConfig local = ServiceConfig::local(0);
    return QString::fromLatin1(QUrl::toPercentEncoding(local.icecastUser) + ':' +
                               QUrl::toPercentEncoding(local.icecastPassword));
}

void printRow(const Row &row) {
    const QString ratio = row.ratio ? QString::number(*row.ratio, 'f', 2) : QString();
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", qPrintable(row.measure), qPrintable(row.value),
                qPrintable(row.baseline), qPrintable(row.baselineValue), qPrintable(ratio),
                qPrintable(row.target));
    std::fflush(stdout);
}

QString valueOf(const QStringList &args, const QString &option, const QString &fallback) {
    const int index = int(args.indexOf(option));
    return index > 0 ? args.value(index + 1, fallback) : fallback;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

} // namespace castora::bench
