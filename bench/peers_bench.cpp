// CPU time per second of audio of going on air, Castora's broadcast engine against DarkIce
// (and ffmpeg at High), at every quality of the program. Each streamer is a process of its own
// that captures the same PulseAudio source (the virtual microphone of scripts/local-service,
// playing a tone), encodes MP3 mono with the quality's settings (Premium 192 kbit/s and High
// 128 kbit/s at 44100 Hz with LAME quality 2, Standard 96 kbit/s at 22050 Hz with quality 5,
// Low 64 kbit/s at 22050 Hz with quality 7) and sends it to the same local icecast2:
//
//   Castora  castora-bench-engine --stream --quality Q: the program's engine (RtAudio capture,
//            encoder, send and record threads; it also writes the local recording, as the
//            program does)
//   DarkIce  device = pulseaudio, [icecast2-0] mp3 cbr, the same rate, bitrate and LAME quality
//   ffmpeg   -f pulse ... -c:a libmp3lame -b:a 128k -compression_level 2 icecast://... (High)
//
// Once the mount is live and a listener receives it, the process's CPU time (all its threads,
// /proc/PID/task/*/schedstat) is read at the start and the end of the same wall-clock window;
// the listener's byte rate shows that the stream kept up with real time meanwhile. Rounds
// alternate the order of the streamers; the median of the rounds is reported.
//
//   castora-bench-peers --icecast-port PORT --engine PATH [--seconds S] [--rounds N] [--rows]
//   (bench/run-all starts icecast2 and the virtual microphone and runs it)
#include "AudioInput.h"
#include "BenchSupport.h"
#include "Mp3Encoder.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

using namespace castora::bench;
using namespace std::chrono_literals;

namespace {

struct Quality {
    int index; // the program's streamQuality
    QString name;
    castora::engine::EncoderSettings encoding;
    unsigned int sampleRate;
};

// The program's qualities, with the settings and capture rate its engine uses for each.
std::vector<Quality> qualities() {
    std::vector<Quality> list;
    const char *names[] = {"Premium", "High", "Standard", "Low"};
    for (int index = 0; index < 4; ++index)
        list.push_back({index, QString::fromLatin1(names[index]),
                        castora::engine::settingsForQuality(index),
                        castora::engine::chooseSampleRate({22050, 44100, 48000}, index)});
    return list;
}

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

Result measure(const Streamer &streamer, quint16 port, const QString &mount, int bitrate,
               std::chrono::milliseconds window, QNetworkAccessManager &network) {
    Result result;
    Child child(streamer.name);
    if (!child.start(streamer.program, streamer.arguments(mount))) {
        result.problem = QStringLiteral("did not start");
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!mountListed(port, mount)) {
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
    if (result.listenerKbps < 0.9 * bitrate) {
        result.problem =
            QStringLiteral("the listener got only %1 kbit/s").arg(result.listenerKbps, 0, 'f', 1);
        return result;
    }
    result.ok = true;
    return result;
}

// The streamers of one quality: the engine first (the rows' subject), then its baselines.
std::vector<Streamer> streamersFor(const Quality &q, quint16 port, const QString &engine,
                                   const QString &folder) {
    std::vector<Streamer> list;
    list.push_back({QStringLiteral("Castora engine"), engine, [port, q](const QString &mount) {
                        return QStringList{QStringLiteral("--stream"),
                                           QStringLiteral("--icecast-port"),
                                           QString::number(port),
                                           QStringLiteral("--mount"),
                                           mount,
                                           QStringLiteral("--quality"),
                                           QString::number(q.index)};
                    }});
    const QString darkice = QStandardPaths::findExecutable(QStringLiteral("darkice"));
    if (!darkice.isEmpty())
        list.push_back(
            {QStringLiteral("DarkIce"), darkice, [port, q, folder](const QString &mount) {
                 return darkiceArguments(folder, port, mount, q.encoding.bitrate,
                                         q.encoding.quality, q.sampleRate);
             }});
    // ffmpeg at one quality only: a second opinion, not a target.
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (!ffmpeg.isEmpty() && q.name == QLatin1String("High"))
        list.push_back({QStringLiteral("ffmpeg"), ffmpeg, [port, q](const QString &mount) {
                            return QStringList{QStringLiteral("-nostdin"),
                                               QStringLiteral("-v"),
                                               QStringLiteral("error"),
                                               QStringLiteral("-f"),
                                               QStringLiteral("pulse"),
                                               QStringLiteral("-sample_rate"),
                                               QString::number(q.sampleRate),
                                               QStringLiteral("-channels"),
                                               QStringLiteral("1"),
                                               QStringLiteral("-i"),
                                               QStringLiteral("default"),
                                               QStringLiteral("-c:a"),
                                               QStringLiteral("libmp3lame"),
                                               QStringLiteral("-b:a"),
                                               QStringLiteral("%1k").arg(q.encoding.bitrate),
                                               QStringLiteral("-compression_level"),
                                               QString::number(q.encoding.quality),
                                               QStringLiteral("-content_type"),
                                               QStringLiteral("audio/mpeg"),
                                               QStringLiteral("-f"),
                                               QStringLiteral("mp3"),
                                               QStringLiteral("icecast://%1@127.0.0.1:%2/%3")
                                                   .arg(sourceUserInfo())
                                                   .arg(port)
                                                   .arg(mount)};
                        }});
    return list;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const quint16 port = quint16(valueOf(args, QStringLiteral("--icecast-port")).toUInt());
    const QString engine = valueOf(args, QStringLiteral("--engine"));
    const double seconds =
        valueOf(args, QStringLiteral("--seconds"), QStringLiteral("10")).toDouble();
    const int rounds =
        std::max(1, valueOf(args, QStringLiteral("--rounds"), QStringLiteral("2")).toInt());
    const bool rows = args.contains(QStringLiteral("--rows"));
    if (port == 0 || engine.isEmpty()) {
        std::fprintf(stderr, "usage: castora-bench-peers --icecast-port PORT --engine "
                             "PATH/castora-bench-engine [--seconds S] [--rounds N] [--rows]\n");
        return 2;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("darkice")).isEmpty())
        std::fprintf(stderr, "castora-bench-peers: darkice is not installed (Debian package "
                             "darkice); left out\n");
    QTemporaryDir folder;
    QNetworkAccessManager network;
    const auto window = std::chrono::milliseconds(qint64(seconds * 1000));
    std::printf("Streaming the virtual microphone to icecast2 at every quality, %.0f s measured "
                "per run, %d round(s)\n",
                seconds, rounds);
    for (const Quality &q : qualities()) {
        const std::vector<Streamer> streamers = streamersFor(q, port, engine, folder.path());
        std::map<QString, std::vector<double>> cpu;
        for (int round = 0; round < rounds; ++round) {
            std::vector<Streamer> order = streamers;
            if (round % 2)
                std::reverse(order.begin(), order.end());
            for (const Streamer &streamer : order) {
                const QString mount =
                    QStringLiteral("bench-%1-%2-%3")
                        .arg(streamer.name.section(QLatin1Char(' '), 0, 0).toLower(),
                             q.name.toLower())
                        .arg(round + 1);
                const Result r =
                    measure(streamer, port, mount, q.encoding.bitrate, window, network);
                if (!r.ok) {
                    std::fprintf(stderr, "castora-bench-peers: %s at %s: %s\n",
                                 qPrintable(streamer.name), qPrintable(q.name),
                                 qPrintable(r.problem));
                    return 1;
                }
                std::printf("  %-8s round %d  %-15s %7.2f ms CPU per audio second   listener "
                            "%.1f kbit/s\n",
                            qPrintable(q.name), round + 1, qPrintable(streamer.name),
                            1e3 * r.cpuPerSecond, r.listenerKbps);
                std::fflush(stdout);
                cpu[streamer.name].push_back(r.cpuPerSecond);
            }
        }
        const double own = median(cpu[streamers.front().name]);
        for (std::size_t i = 1; i < streamers.size(); ++i) {
            const QString &name = streamers[i].name;
            const double peer = median(cpu[name]);
            std::printf("  %s: Castora %.2f ms/s, %s %.2f ms/s (median of %d, ratio %.2fx)\n",
                        qPrintable(q.name), 1e3 * own, qPrintable(name), 1e3 * peer, rounds,
                        own / peer);
            if (rows)
                printRow(
                    {QStringLiteral("Whole process on air, CPU per audio second, %1 (%2 "
                                    "kbit/s, %3 Hz, LAME quality %4), PulseAudio mic to "
                                    "icecast2")
                         .arg(q.name)
                         .arg(q.encoding.bitrate)
                         .arg(q.sampleRate)
                         .arg(q.encoding.quality),
                     QStringLiteral("%1 ms/s").arg(1e3 * own, 0, 'f', 2), name,
                     QStringLiteral("%1 ms/s").arg(1e3 * peer, 0, 'f', 2), own / peer,
                     name == QLatin1String("DarkIce") ? QStringLiteral("<= 0.90") : QString()});
        }
    }
    return 0;
}
