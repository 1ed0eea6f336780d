// CPU time per second of audio of going on air, Castora's broadcast engine against two other
// live streamers. Each streamer is a process of its own that captures the same PulseAudio
// source (the virtual microphone of scripts/local-service, playing a tone), encodes MP3 mono at
// 44100 Hz and 128 kbit/s with LAME quality 2 (the program's "High" quality) and sends it to the
// same local icecast2:
//
//   Castora  castora-bench-engine --stream: the program's engine (RtAudio capture, encoder,
//            send and record threads; it also writes the local recording, as the program does)
//   ffmpeg   -f pulse ... -c:a libmp3lame -b:a 128k -compression_level 2 icecast://...
//   DarkIce  device = pulseaudio, [icecast2-0] mp3 cbr 128, quality 0.75 (LAME quality 2)
//
// Once the mount is live and a listener receives it, the process's CPU time (all its threads,
// /proc/PID/task/*/schedstat) is read at the start and the end of the same wall-clock window;
// the listener's byte rate shows that the stream kept up with real time meanwhile. Rounds
// alternate the order of the streamers; the median of the rounds is reported.
//
//   castora-bench-peers --icecast-port PORT --engine PATH [--seconds S] [--rounds N] [--rows]
//   (bench/run-all starts icecast2 and the virtual microphone and runs it)
#include "BenchSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

using namespace castora::bench;
using namespace std::chrono_literals;

namespace {

constexpr int kBitrate = 128;
const QString kPassword = QStringLiteral("rubel@ki"); // the program's source password

struct Streamer {
    QString name;
    QString program;
    // The arguments for a run that sends to `mount`.
    std::function<QStringList(const QString &mount)> arguments;
};

struct Result {
    bool ok = false;
    double cpuPerSecond = 0; // CPU seconds per second of audio
    double listenerKbps = 0; // what a listener received meanwhile
    QString problem;
};

void runEventsFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray httpGet(QNetworkAccessManager &network, const QUrl &url) {
    QNetworkReply *reply = network.get(QNetworkRequest(url));
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(2000, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body =
        reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->abort();
    reply->deleteLater();
    return body;
}

// Whether icecast2's status page lists a source on `mount` (the "source" member is an object
// for one source and a list for several).
bool mountIsLive(QNetworkAccessManager &network, quint16 port, const QString &mount) {
    const QJsonObject stats =
        QJsonDocument::fromJson(
            httpGet(network, QUrl(QStringLiteral("http://127.0.0.1:%1/status-json.xsl").arg(port))))
            .object()
            .value(QStringLiteral("icestats"))
            .toObject();
    const QJsonValue sources = stats.value(QStringLiteral("source"));
    const QJsonArray list = sources.isArray() ? sources.toArray() : QJsonArray{sources};
    for (const QJsonValue &source : list) {
        if (source.toObject()
                .value(QStringLiteral("listenurl"))
                .toString()
                .endsWith(QLatin1Char('/') + mount))
            return true;
    }
    return false;
}

Result measure(const Streamer &streamer, quint16 port, const QString &mount,
               std::chrono::milliseconds window, QNetworkAccessManager &network) {
    Result result;
    Child child(streamer.name);
    if (!child.start(streamer.program, streamer.arguments(mount))) {
        result.problem = QStringLiteral("did not start");
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!mountIsLive(network, port, mount)) {
        if (!child.isRunning() || std::chrono::steady_clock::now() > deadline) {
            child.stop();
            result.problem = QStringLiteral("never went on air: ") +
                             QString::fromUtf8(child.output().right(400)).trimmed();
            return result;
        }
        runEventsFor(200ms);
    }

    // A listener, so that the stream is seen to flow at its bitrate.
    qint64 received = 0;
    QNetworkReply *listener = network.get(
        QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/%2").arg(port).arg(mount))));
    QObject::connect(listener, &QNetworkReply::readyRead, listener,
                     [&received, listener] { received += listener->readAll().size(); });
    // Past the capture's start-up and the server's burst to a new listener.
    runEventsFor(3s);

    const pid_t pid = child.pid();
    const qint64 receivedBefore = received;
    const double cpuBefore = processCpuSeconds(pid);
    const qint64 startNs = monotonicNs();
    runEventsFor(window);
    const double cpuAfter = processCpuSeconds(pid);
    const double seconds = double(monotonicNs() - startNs) / 1e9;
    const qint64 receivedAfter = received;
    const bool stillRunning = child.isRunning();

    listener->abort();
    listener->deleteLater();
    child.stop();
    if (!stillRunning) {
        result.problem = QStringLiteral("ended while measured: ") + child.endReport();
        return result;
    }
    result.cpuPerSecond = (cpuAfter - cpuBefore) / seconds;
    result.listenerKbps = double(receivedAfter - receivedBefore) * 8.0 / seconds / 1000.0;
    // A streamer that falls behind real time does less work per second: not comparable.
    if (result.listenerKbps < 0.9 * kBitrate) {
        result.problem =
            QStringLiteral("the listener got only %1 kbit/s").arg(result.listenerKbps, 0, 'f', 1);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const quint16 port = quint16(valueOf(args, QStringLiteral("--icecast-port")).toUInt());
    const QString engine = valueOf(args, QStringLiteral("--engine"));
    const double seconds =
        valueOf(args, QStringLiteral("--seconds"), QStringLiteral("15")).toDouble();
    const int rounds =
        std::max(1, valueOf(args, QStringLiteral("--rounds"), QStringLiteral("2")).toInt());
    const bool rows = args.contains(QStringLiteral("--rows"));
    if (port == 0 || engine.isEmpty()) {
        std::fprintf(stderr, "usage: castora-bench-peers --icecast-port PORT --engine "
                             "PATH/castora-bench-engine [--seconds S] [--rounds N] [--rows]\n");
        return 2;
    }
    QTemporaryDir folder;
    const QString source = QStringLiteral("rubel%40ki");

    std::vector<Streamer> streamers;
    streamers.push_back({QStringLiteral("Castora engine"), engine, [port](const QString &mount) {
                             return QStringList{QStringLiteral("--stream"),
                                                QStringLiteral("--icecast-port"),
                                                QString::number(port),
                                                QStringLiteral("--mount"),
                                                mount,
                                                QStringLiteral("--quality"),
                                                QStringLiteral("1")};
                         }});
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (!ffmpeg.isEmpty()) {
        streamers.push_back(
            {QStringLiteral("ffmpeg"), ffmpeg, [port, source](const QString &mount) {
                 // Mono 44100 Hz asked of PulseAudio, as the engine asks it.
                 return QStringList{QStringLiteral("-nostdin"),
                                    QStringLiteral("-v"),
                                    QStringLiteral("error"),
                                    QStringLiteral("-f"),
                                    QStringLiteral("pulse"),
                                    QStringLiteral("-sample_rate"),
                                    QStringLiteral("44100"),
                                    QStringLiteral("-channels"),
                                    QStringLiteral("1"),
                                    QStringLiteral("-i"),
                                    QStringLiteral("default"),
                                    QStringLiteral("-c:a"),
                                    QStringLiteral("libmp3lame"),
                                    QStringLiteral("-b:a"),
                                    QStringLiteral("%1k").arg(kBitrate),
                                    QStringLiteral("-compression_level"),
                                    QStringLiteral("2"),
                                    QStringLiteral("-content_type"),
                                    QStringLiteral("audio/mpeg"),
                                    QStringLiteral("-f"),
                                    QStringLiteral("mp3"),
                                    QStringLiteral("icecast://source:%1@127.0.0.1:%2/%3")
                                        .arg(source)
                                        .arg(port)
                                        .arg(mount)};
             }});
    } else {
        std::fprintf(stderr, "castora-bench-peers: ffmpeg is not installed; left out\n");
    }
    const QString darkice = QStandardPaths::findExecutable(QStringLiteral("darkice"));
    if (!darkice.isEmpty()) {
        const QString dir = folder.path();
        streamers.push_back({QStringLiteral("DarkIce"), darkice, [port, dir](const QString &mount) {
                                 // DarkIce sets LAME's quality to int((1 - quality) * 10): 0.75
                                 // gives 2 (0.8 would give 1 through rounding). No real-time
                                 // scheduling: the others run without it too.
                                 const QString config = dir + QStringLiteral("/%1.cfg").arg(mount);
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
                                                               "sampleRate = 44100\n"
                                                               "bitsPerSample = 16\n"
                                                               "channel = 1\n"
                                                               "[icecast2-0]\n"
                                                               "format = mp3\n"
                                                               "bitrateMode = cbr\n"
                                                               "bitrate = %1\n"
                                                               "quality = 0.75\n"
                                                               "server = 127.0.0.1\n"
                                                               "port = %2\n"
                                                               "password = %3\n"
                                                               "mountPoint = %4\n")
                                                    .arg(kBitrate)
                                                    .arg(port)
                                                    .arg(kPassword, mount)
                                                    .toUtf8());
                                 return QStringList{QStringLiteral("-c"), config};
                             }});
    } else {
        std::fprintf(stderr, "castora-bench-peers: darkice is not installed (Debian package "
                             "darkice); left out\n");
    }

    QNetworkAccessManager network;
    const auto window = std::chrono::milliseconds(qint64(seconds * 1000));
    std::map<QString, std::vector<double>> cpu;
    std::map<QString, std::vector<double>> kbps;
    std::printf("Streaming the virtual microphone at %d kbit/s mono 44100 Hz to icecast2, "
                "%.0f s measured per run, %d round(s)\n",
                kBitrate, seconds, rounds);
    for (int round = 0; round < rounds; ++round) {
        std::vector<Streamer> order = streamers;
        if (round % 2)
            std::reverse(order.begin(), order.end());
        for (const Streamer &streamer : order) {
            const QString mount = QStringLiteral("bench-%1-%2")
                                      .arg(streamer.name.section(QLatin1Char(' '), 0, 0).toLower())
                                      .arg(round + 1);
            const Result r = measure(streamer, port, mount, window, network);
            if (!r.ok) {
                std::fprintf(stderr, "castora-bench-peers: %s: %s\n", qPrintable(streamer.name),
                             qPrintable(r.problem));
                return 1;
            }
            std::printf("  round %d  %-15s %7.2f ms CPU per audio second   listener %.1f kbit/s\n",
                        round + 1, qPrintable(streamer.name), 1e3 * r.cpuPerSecond, r.listenerKbps);
            std::fflush(stdout);
            cpu[streamer.name].push_back(r.cpuPerSecond);
            kbps[streamer.name].push_back(r.listenerKbps);
        }
    }

    const Streamer &castora = streamers.front();
    const double own = median(cpu[castora.name]);
    std::printf("Median of %d round(s): %s %.2f ms/s", rounds, qPrintable(castora.name), 1e3 * own);
    for (std::size_t i = 1; i < streamers.size(); ++i) {
        const double peer = median(cpu[streamers[i].name]);
        std::printf("; %s %.2f ms/s (ratio %.2fx)", qPrintable(streamers[i].name), 1e3 * peer,
                    own / peer);
    }
    std::printf("\n");
    if (rows) {
        for (std::size_t i = 1; i < streamers.size(); ++i) {
            const QString &name = streamers[i].name;
            const double peer = median(cpu[name]);
            printRow(
                {QStringLiteral("Streaming CPU per audio second, PulseAudio mic to icecast2 at "
                                "128 kbit/s (whole process)"),
                 QStringLiteral("%1 ms/s").arg(1e3 * own, 0, 'f', 2), name,
                 QStringLiteral("%1 ms/s").arg(1e3 * peer, 0, 'f', 2), own / peer, QString()});
        }
    }
    return 0;
}
