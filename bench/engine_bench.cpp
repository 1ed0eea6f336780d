// The broadcast engine's own cost, as ratios against baselines measured in the same run:
//
//  1. CPU time per second of audio of the engine's path (capture callback with encoding and
//     queueing, send thread to a local icecast2, record thread), each thread counted on its
//     own, against encoding the same samples with bare LAME at the same settings; for the
//     Standard (default) and the Premium quality. Target: at most 1.1x.
//  2. Whole-process CPU of a broadcast against ffmpeg streaming the same audio to the same
//     icecast2 with the same encoder settings, each over a window of the same length once on
//     air (start-up left out of both).
//  3. The press of Start to the first audio byte at the server that carries the microphone's
//     sound (through a relay that timestamps what it forwards; the stream decoded afterwards),
//     capturing the default input of the audio library (the virtual microphone of
//     bench/run-all, playing a tone): (a) with the capture stream opened by the start, against
//     one capture buffer, the least it can take; (b) with the capture already running off air
//     (the engine's input check, InputCheckHook.h), against one capture buffer plus 50 ms, and
//     how much sooner (b) is than (a), against 1 s. A newly opened PulseAudio stream delivers
//     silence first: the first byte of all would hide what the listener waits for.
//
// Usage: castora-bench-engine --icecast-port PORT [--seconds N] [--rows]
//        (bench/engine-bench runs it; --rows adds the result rows that bench/run-all tabulates)
//
//        castora-bench-engine --stream --icecast-port PORT --mount MOUNT [--quality Q] [--voice]
//        broadcasts the default PulseAudio input through the engine as the program does (real
//        capture, encoder, send and record threads; with --voice, voice processing on) until
//        SIGTERM or SIGINT: the engine as one process among the streaming peers of
//        castora-bench-peers, and with and without voice processing for castora-bench-voice.
#include "BenchSupport.h"
#include "GeneratedInput.h"
#include "InputCheckHook.h"
#include "ProcessSignals.h"
#include "RtAudioInput.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace castora::engine;
using castora::bench::benchRequest;
using castora::bench::GeneratedInput;
using castora::bench::kBufferFrames;
using castora::bench::makeAudio;
using Clock = std::chrono::steady_clock;

namespace {

double processCpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &tv) { return double(tv.tv_sec) + tv.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU seconds of this process's thread called `name`.
double namedThreadCpuSeconds(const QByteArray &name) {
    return castora::bench::threadCpuSeconds(getpid(), name);
}

// MP3 decoded to mono samples at `sampleRate` (ffmpeg); what decodes of a cut-off stream.
std::vector<qint16> decodeMp3(const QByteArray &mp3, unsigned int sampleRate) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-v"), QStringLiteral("quiet"), QStringLiteral("-f"),
                  QStringLiteral("mp3"), QStringLiteral("-i"), QStringLiteral("pipe:0"),
                  QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"),
                  QStringLiteral("1"), QStringLiteral("-ar"), QString::number(sampleRate),
                  QStringLiteral("pipe:1")});
    ffmpeg.write(mp3);
    ffmpeg.closeWriteChannel();
    ffmpeg.waitForFinished(30000);
    const QByteArray raw = ffmpeg.readAllStandardOutput();
    std::vector<qint16> samples(std::size_t(raw.size()) / 2);
    std::memcpy(samples.data(), raw.constData(), samples.size() * 2);
    return samples;
}

// Forwards the source connection to icecast2 and keeps the audio (what follows the source
// request's header) with the time each piece went through.
class Relay {
public:
    explicit Relay(quint16 target)
        : m_target(target) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~Relay() {
        m_done = true;
        m_thread.join();
        for (std::thread &t : m_handlers)
            t.join();
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }
    std::optional<Clock::time_point> firstAudioByte() {
        std::lock_guard lock(m_mutex);
        if (m_arrivals.empty())
            return std::nullopt;
        return m_arrivals.front().time;
    }
    std::optional<Clock::time_point> lastAudioByte() {
        std::lock_guard lock(m_mutex);
        if (m_arrivals.empty())
            return std::nullopt;
        return m_arrivals.back().time;
    }
    // When the first audio that carries sound (a decoded sample at -18 dBFS or louder, not the
    // silence a newly opened capture may deliver first) went through: the arrival that
    // completed the MP3 frames holding it.
    std::optional<Clock::time_point> firstSound(unsigned int sampleRate) {
        std::lock_guard lock(m_mutex);
        const auto loud = [&](std::size_t bytes) {
            for (const qint16 sample : decodeMp3(m_body.left(qsizetype(bytes)), sampleRate)) {
                if (std::abs(int(sample)) >= 4096)
                    return true;
            }
            return false;
        };
        // A longer prefix holds what a shorter one does: the first loud prefix by bisection.
        std::size_t low = 0, high = m_arrivals.size();
        while (low < high) {
            const std::size_t middle = (low + high) / 2;
            if (loud(m_arrivals[middle].end))
                high = middle;
            else
                low = middle + 1;
        }
        if (low == m_arrivals.size())
            return std::nullopt;
        return m_arrivals[low].time;
    }

private:
    struct Arrival {
        Clock::time_point time;
        std::size_t end; // the audio's length once this arrived
    };
    void noteAudio(const char *data, std::size_t length) {
        std::lock_guard lock(m_mutex);
        m_body.append(data, qsizetype(length));
        m_arrivals.push_back({Clock::now(), std::size_t(m_body.size())});
    }
    // libshout may probe with one connection and stream on the next: serve every one.
    void run() {
        pollfd accept{m_listener, POLLIN, 0};
        while (!m_done) {
            if (::poll(&accept, 1, 50) <= 0)
                continue;
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client >= 0)
                m_handlers.emplace_back([this, client] { forward(client); });
        }
    }
    void forward(int client) {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_target);
        ::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof address);
        QByteArray header;
        bool inBody = false;
        char buffer[65536];
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        while (!m_done) {
            if (::poll(fds, 2, 50) <= 0)
                continue;
            if (fds[0].revents) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                if (inBody) {
                    noteAudio(buffer, std::size_t(n));
                } else {
                    // The source request's header ends with an empty line; audio follows.
                    header.append(buffer, n);
                    const qsizetype end = header.indexOf("\r\n\r\n");
                    if (end >= 0) {
                        inBody = true;
                        if (header.size() > end + 4)
                            noteAudio(header.constData() + end + 4,
                                      std::size_t(header.size() - end - 4));
                    }
                }
                ::send(server, buffer, size_t(n), MSG_NOSIGNAL);
            }
            if (fds[1].revents) {
                const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                ::send(client, buffer, size_t(n), MSG_NOSIGNAL);
            }
        }
        ::close(client);
        ::close(server);
    }

    quint16 m_target;
    quint16 m_port = 0;
    int m_listener = -1;
    std::atomic<bool> m_done{false};
    std::mutex m_mutex;
    QByteArray m_body;
    std::vector<Arrival> m_arrivals;
    std::thread m_thread;
    std::vector<std::thread> m_handlers;
};

struct PathCost {
    double audioSeconds = 0;
    double callback = 0;
    double send = 0;
    double record = 0;
    double process = 0;
    double lame = 0;
};

PathCost measurePath(quint16 port, int quality, double seconds, const QString &folder) {
    PathCost cost;
    const EncoderSettings settings = settingsForQuality(quality);
    const unsigned int rate = chooseSampleRate({22050, 44100, 48000}, quality);
    const std::vector<qint16> audio = makeAudio(rate, seconds + 1.0);
    GeneratedInput input(audio, settings);
    BroadcastEngine engine(input);
    const StartResult started = engine.start(benchRequest(port, quality, folder));
    if (!started.ok()) {
        std::fprintf(stderr, "start failed: %s\n", qPrintable(started.message));
        std::exit(1);
    }
    const double processBefore = processCpuSeconds(RUSAGE_SELF);
    const double baselineBefore = input.baselineCpu();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    cost.send = namedThreadCpuSeconds("castora-send");
    cost.record = namedThreadCpuSeconds("castora-record");
    cost.callback = input.callbackCpu();
    cost.audioSeconds = input.deliveredSeconds();
    // The whole process, less the bench's own baseline encoding done meanwhile.
    cost.process =
        processCpuSeconds(RUSAGE_SELF) - processBefore - (input.baselineCpu() - baselineBefore);
    cost.lame = input.baselineCpu();
    engine.stop();
    return cost;
}

// ffmpeg's CPU time over `seconds` of steady streaming, read from /proc like the engine's
// window (its start-up, a tenth of a second of CPU or more, is left out as the engine's is).
double ffmpegCpu(quint16 port, double seconds, const QString &folder) {
    constexpr double kWarmUp = 2.0;
    const unsigned int rate = 22050;
    const std::vector<qint16> audio = makeAudio(rate, kWarmUp + seconds + 3.0);
    const QString raw = folder + QStringLiteral("/bench.raw");
    QFile file(raw);
    file.open(QIODevice::WriteOnly);
    file.write(reinterpret_cast<const char *>(audio.data()), qint64(audio.size() * 2));
    file.close();
    castora::bench::Child ffmpeg(QStringLiteral("ffmpeg"));
    if (!ffmpeg.start(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"),
                       QStringLiteral("error"),
                       QStringLiteral("-nostdin"),
                       QStringLiteral("-re"),
                       QStringLiteral("-f"),
                       QStringLiteral("s16le"),
                       QStringLiteral("-ar"),
                       QString::number(rate),
                       QStringLiteral("-ac"),
                       QStringLiteral("1"),
                       QStringLiteral("-i"),
                       raw,
                       QStringLiteral("-c:a"),
                       QStringLiteral("libmp3lame"),
                       QStringLiteral("-b:a"),
                       QStringLiteral("96k"),
                       QStringLiteral("-compression_level"),
                       QStringLiteral("5"),
                       QStringLiteral("-content_type"),
                       QStringLiteral("audio/mpeg"),
                       QStringLiteral("-f"),
                       QStringLiteral("mp3"),
                       QStringLiteral("icecast://%1@127.0.0.1:%2/bench-ffmpeg")
                           .arg(castora::bench::sourceUserInfo())
                           .arg(port)}))
        return -1;
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUp));
    const double before = castora::bench::processCpuSeconds(ffmpeg.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double after = castora::bench::processCpuSeconds(ffmpeg.pid());
    ffmpeg.poll(std::chrono::milliseconds(0));
    if (!ffmpeg.isRunning()) {
        std::fprintf(stderr, "ffmpeg stopped early: %s\n", ffmpeg.output().constData());
        return -1;
    }
    ffmpeg.stop();
    return after - before;
}

// The engine as the program runs it, capturing the default input of the audio library
// (PulseAudio), until SIGTERM or SIGINT; then a regular stop (encoder flushed, file closed).
int streamUntilSignalled(quint16 port, const QString &mount, int quality, bool voice) {
    // Blocked before any thread starts (the audio library's included), so a stop request waits
    // for sigwait below instead of ending the process in the middle of a buffer.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QTemporaryDir folder;
    RtAudioInput input;
    BroadcastEngine engine(input);
    engine.setVoiceProcessing(voice);
    BroadcastRequest request = benchRequest(port, quality, folder.path());
    request.deviceName.clear(); // the default input, as on a first start of the program
    request.icecast.mount = mount;
    const StartResult started = engine.start(request);
    if (!started.ok()) {
        std::fprintf(stderr, "castora-bench-engine: start failed: %s\n",
                     qPrintable(started.message));
        return 1;
    }
    std::printf("on air from \"%s\" at %u Hz, %u-frame buffers\n", qPrintable(started.device.name),
                started.sampleRate, started.bufferFrames);
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    const StopResult stopped = engine.stop();
    std::printf("stopped: %lld bytes recorded\n", static_cast<long long>(stopped.recordedBytes));
    return 0;
}

// The press of Start to the first audio at the server, capturing the default input of the
// audio library (the virtual microphone's tone) at Standard, median of `runs`: with the capture
// opened by the start, or (`running`) already running off air through the input check. The
// first audio is the first that carries the tone, not the silence a newly opened PulseAudio
// stream delivers for its first second or so. Each press in the second case comes a fifth of a
// buffer later after the first level than the one before, spreading the presses over the
// capture's buffer period. Nothing when it could not be measured.
std::optional<double> pressToFirstAudioMs(quint16 port, const QString &folder, bool running,
                                          int runs) {
    std::vector<double> delays;
    const double bufferSeconds = double(kBufferFrames) / 22050;
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    for (int i = 0; i < runs; ++i) {
        RtAudioInput input;
        BroadcastEngine engine(input);
        Relay relay(port);
        BroadcastRequest request = benchRequest(relay.port(), 2, folder);
        request.deviceName.clear(); // the default input
        if (running) {
            if (!castora::bench::startInputCheck(engine, request))
                return std::nullopt;
            const auto deadline = Clock::now() + std::chrono::seconds(5);
            while (engine.levelMeter().take() == 0 && Clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::duration<double>(bufferSeconds * i / runs));
        }
        const auto pressed = Clock::now();
        const StartResult started = engine.start(request);
        if (!started.ok()) {
            std::fprintf(stderr, "start failed: %s\n", qPrintable(started.message));
            return std::nullopt;
        }
        // On air until the audio covers the capture's start-up gap (1.3 to 1.8 s) and more.
        while (relay.lastAudioByte().value_or(pressed) - pressed <
                   std::chrono::milliseconds(3500) &&
               Clock::now() - pressed < std::chrono::seconds(10))
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        engine.stop();
        const std::optional<Clock::time_point> first = relay.firstAudioByte();
        const std::optional<Clock::time_point> sound = relay.firstSound(started.sampleRate);
        if (!sound)
            return std::nullopt;
        std::printf("  %s, run %d: first byte after %.0f ms, first sound after %.0f ms\n",
                    running ? "capture running" : "capture opened at Start", i + 1,
                    first ? ms(*first - pressed) : -1.0, ms(*sound - pressed));
        delays.push_back(ms(*sound - pressed));
    }
    return castora::bench::median(delays);
}

bool measureFirstByte(quint16 port, const QString &folder, bool rows) {
    using castora::bench::printRow;
    constexpr int kRuns = 5;
    const double bufferMs = 1000.0 * kBufferFrames / 22050;
    const std::optional<double> opened = pressToFirstAudioMs(port, folder, false, kRuns);
    if (!opened) {
        std::fprintf(stderr, "castora-bench-engine: no sound at the server with the capture "
                             "opened at Start (is a virtual microphone playing a tone the "
                             "default input?)\n");
        return false;
    }
    std::optional<double> running;
    if (castora::bench::kInputCheckBuilt) {
        running = pressToFirstAudioMs(port, folder, true, kRuns);
        if (!running) {
            std::fprintf(stderr, "castora-bench-engine: no sound at the server with the capture "
                                 "running\n");
            return false;
        }
    }
    std::printf("Press of Start to the first audio at the server (median of %d, Standard, one "
                "capture buffer %.0f ms): capture opened at Start %.0f ms; capture already "
                "running %s\n",
                kRuns, bufferMs, *opened,
                running ? qPrintable(QStringLiteral("%1 ms").arg(*running, 0, 'f', 0))
                        : castora::bench::kNoInputCheck);
    if (!rows)
        return true;
    const auto ms = [](double value) { return QStringLiteral("%1 ms").arg(value, 0, 'f', 0); };
    const QString na = QString::fromLatin1(castora::bench::kNoInputCheck);
    printRow({QStringLiteral("Press of Start to the first audio byte at the server (the first "
                             "carrying the microphone's sound), capture opened at Start (median "
                             "of %1)")
                  .arg(kRuns),
              ms(*opened),
              QStringLiteral("one capture buffer (%1 frames at 22050 Hz)").arg(kBufferFrames),
              ms(bufferMs), *opened / bufferMs, QString()});
    printRow({QStringLiteral("Press of Start to the first audio byte at the server (the first "
                             "carrying the microphone's sound), capture already running (median "
                             "of %1)")
                  .arg(kRuns),
              running ? ms(*running) : na, QStringLiteral("one capture buffer + 50 ms"),
              ms(bufferMs + 50),
              running ? std::optional<double>(*running / (bufferMs + 50)) : std::nullopt,
              QStringLiteral("<= 1.00")});
    printRow({QStringLiteral("First audio byte sooner with the capture already running than with "
                             "it opened at Start"),
              running ? ms(*opened - *running) : na, QStringLiteral("1 s"), ms(1000),
              running ? std::optional<double>((*opened - *running) / 1000) : std::nullopt,
              QStringLiteral(">= 1.00")});
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ignoreBrokenPipe();
    const QStringList args = app.arguments();
    using castora::bench::valueOf;
    const quint16 port = quint16(valueOf(args, QStringLiteral("--icecast-port")).toUInt());
    const double seconds =
        valueOf(args, QStringLiteral("--seconds"), QStringLiteral("20")).toDouble();
    const bool rows = args.contains(QStringLiteral("--rows"));
    if (port == 0) {
        std::fprintf(stderr, "usage: castora-bench-engine --icecast-port PORT [--seconds N] "
                             "[--rows]\n"
                             "       castora-bench-engine --stream --icecast-port PORT "
                             "--mount MOUNT [--quality Q] [--voice]\n");
        return 2;
    }
    if (args.contains(QStringLiteral("--stream"))) {
        const int quality = valueOf(args, QStringLiteral("--quality"), QStringLiteral("1")).toInt();
        const QString mount =
            valueOf(args, QStringLiteral("--mount"), QStringLiteral("bench-castora"));
        return streamUntilSignalled(port, mount, quality, args.contains(QStringLiteral("--voice")));
    }
    QTemporaryDir folder;

    std::printf("Engine path CPU per second of audio (%.0f s each, 16384-frame buffers)\n",
                seconds);
    PathCost standard;
    for (const auto &[quality, label] :
         {std::pair{2, "Standard 96k"}, std::pair{0, "Premium 192k"}}) {
        const PathCost c = measurePath(port, quality, seconds, folder.path());
        if (quality == 2)
            standard = c;
        const double path = c.callback + c.send + c.record;
        std::printf("  %-13s callback %.3f + send %.3f + record %.3f = %.3f ms/s; bare LAME %.3f "
                    "ms/s (same buffers, same thread); ratio %.2fx (target <= 1.10x)\n",
                    label, 1e3 * c.callback / c.audioSeconds, 1e3 * c.send / c.audioSeconds,
                    1e3 * c.record / c.audioSeconds, 1e3 * path / c.audioSeconds,
                    1e3 * c.lame / c.audioSeconds, path / c.lame);
        if (rows)
            castora::bench::printRow(
                {QStringLiteral("Engine path CPU per audio second, %1 (capture callback + send + "
                                "record threads)")
                     .arg(QLatin1String(label)),
                 QStringLiteral("%1 ms/s").arg(1e3 * path / c.audioSeconds, 0, 'f', 2),
                 QStringLiteral("bare LAME, same samples and settings"),
                 QStringLiteral("%1 ms/s").arg(1e3 * c.lame / c.audioSeconds, 0, 'f', 2),
                 path / c.lame, QStringLiteral("<= 1.10")});
    }

    const double ffmpeg = ffmpegCpu(port, seconds, folder.path());
    if (ffmpeg <= 0) {
        std::fprintf(stderr, "castora-bench-engine: ffmpeg could not be measured\n");
        return 1;
    }
    std::printf("Whole-process CPU streaming %.0f s at Standard: engine %.3f s, ffmpeg %.3f s; "
                "ratio %.2fx\n",
                seconds, standard.process, ffmpeg, standard.process / ffmpeg);
    if (rows)
        castora::bench::printRow(
            {QStringLiteral("Whole-process CPU streaming generated audio at Standard 96k"),
             QStringLiteral("%1 ms/s").arg(1e3 * standard.process / seconds, 0, 'f', 2),
             QStringLiteral("ffmpeg streaming the same samples to the same icecast2"),
             QStringLiteral("%1 ms/s").arg(1e3 * ffmpeg / seconds, 0, 'f', 2),
             standard.process / ffmpeg, QString()});

    return measureFirstByte(port, folder.path(), rows) ? 0 : 1;
}
