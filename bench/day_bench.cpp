// A day on air, compressed: how much resident memory 24 hours of device watching and
// broadcasting add to the process, extrapolated from
//
//  1. the device watch as the program runs it: the input list that PulseAudio keeps up to date
//     read through the AudioInput interface every 2 s (43200 reads a day), against the
//     PulseAudio server of bench/run-all; then device changes announced by the server (a sink
//     and its monitor source loaded and unloaded with pactl), each waited for and the list
//     read again, as the watch does on the news; VmRSS after a warm-up and after each part;
//  2. an hour of broadcast at Standard as fast as the engine goes: generated audio through
//     the engine's capture callback, encoder, send thread (to icecast2, unpaced) and record
//     thread (to a file), each buffer handed over once the queues are empty; VmRSS after a
//     warm-up and after the hour, both on air with the queues drained.
//
// A day counts 43200 reads and kChangesPerDay device changes. Target: under 2 MB a day.
//
//   castora-bench-day --icecast-port PORT [--probes N] [--changes N] [--broadcast-seconds S]
//                     [--rows]
#include "BenchSupport.h"
#include "GeneratedInput.h"
#include "ProcessSignals.h"
#include "RtAudioInput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace castora::engine;
using namespace castora::bench;

namespace {

constexpr int kProbesPerDay = 24 * 3600 / 2; // the device watch's period is 2 s
// A device plugged in or out every 10 minutes, around the clock: far more than a studio sees.
constexpr int kChangesPerDay = 24 * 6;
constexpr double kWarmUpAudioSeconds = 300;

qint64 rssKb() {
    return statusKb(getpid(), "VmRSS");
}

struct Growth {
    double bytesPerUnit = 0;
    double wallSeconds = 0;
};

// What pactl prints (a loaded module's index), or nothing when it failed.
std::optional<QString> pactl(const QStringList &args) {
    QProcess tool;
    tool.start(QStringLiteral("pactl"), args);
    if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
}

struct WatchGrowth {
    Growth perRead;
    std::optional<Growth> perChange;
};

// The device watch: `reads` reads of the list as the 2 s timer makes them, then `changes`
// device changes, each announced by the server (the monitor told, the list read again).
WatchGrowth watchGrowth(int reads, int changes) {
    RtAudioInput input;
    std::atomic<int> announced{0};
    input.setDevicesChanged([&announced] { ++announced; });
    const auto read = [&input] { return inputDevices(input.devices()).size(); };
    std::size_t inputs = 0;
    for (int i = 0; i < 200; ++i) // the allocator's first needs
        inputs = read();
    QElapsedTimer clock;
    clock.start();
    const qint64 before = rssKb();
    for (int i = 0; i < reads; ++i)
        read();
    const qint64 after = rssKb();
    std::printf("  %d reads of the device list (%zu input device(s) each) in %.1f s: VmRSS %lld "
                "-> %lld kB\n",
                reads, inputs, clock.elapsed() / 1e3, static_cast<long long>(before),
                static_cast<long long>(after));
    WatchGrowth growth{{double(after - before) * 1024.0 / reads, clock.elapsed() / 1e3}, {}};

    // One change: a sink loaded (its monitor is a new source) or unloaded; announced by the
    // server, then the list is read as the watch reads it.
    QString module;
    const auto change = [&]() -> bool {
        const int seen = announced.load();
        const std::optional<QString> done =
            module.isEmpty()
                ? pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                         QStringLiteral("sink_name=castora_day_bench")})
                : pactl({QStringLiteral("unload-module"), module});
        if (!done)
            return false;
        module = module.isEmpty() ? *done : QString();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (announced.load() == seen && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        read();
        return announced.load() != seen;
    };
    for (int i = 0; i < 20; ++i) { // warm-up, ending unloaded
        if (!change()) {
            std::fprintf(stderr, "castora-bench-day: no device change announced (pactl)\n");
            return growth;
        }
    }
    clock.restart();
    const qint64 beforeChanges = rssKb();
    int made = 0;
    while (made < changes && change())
        ++made;
    if (!module.isEmpty())
        pactl({QStringLiteral("unload-module"), module});
    const qint64 afterChanges = rssKb();
    std::printf("  %d device changes announced by PulseAudio in %.1f s: VmRSS %lld -> %lld kB\n",
                made, clock.elapsed() / 1e3, static_cast<long long>(beforeChanges),
                static_cast<long long>(afterChanges));
    if (made == changes)
        growth.perChange =
            Growth{double(afterChanges - beforeChanges) * 1024.0 / made, clock.elapsed() / 1e3};
    return growth;
}

std::optional<Growth> broadcastGrowth(quint16 port, double seconds, const QString &folder) {
    const std::vector<qint16> audio = makeAudio(22050, 60);
    const BroadcastEngine *running = nullptr;
    const auto drained = [&running] {
        return running->sendQueue().size() == 0 && running->recordQueue().size() == 0;
    };
    GeneratedInput input(audio, std::nullopt, drained);
    BroadcastEngine engine(input);
    running = &engine;
    SendTiming timing;
    timing.paceLead = std::chrono::hours(24 * 365); // as fast as icecast2 takes it
    engine.setSendTiming(timing);
    QElapsedTimer clock;
    clock.start();
    const StartResult started = engine.start(benchRequest(port, 2, folder));
    if (!started.ok()) {
        std::fprintf(stderr, "castora-bench-day: start failed: %s\n", qPrintable(started.message));
        return std::nullopt;
    }
    // VmRSS once `audioSeconds` have gone in and the queues are empty.
    const auto rssAfter = [&](double audioSeconds) {
        while (input.deliveredSeconds() < audioSeconds || !drained())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return rssKb();
    };
    const qint64 before = rssAfter(kWarmUpAudioSeconds);
    const qint64 after = rssAfter(kWarmUpAudioSeconds + seconds);
    const double audioSeconds = input.deliveredSeconds() - kWarmUpAudioSeconds;
    const StopResult stopped = engine.stop();
    std::printf("  %.0f s of Standard audio on air in %.1f s (%lld bytes recorded, %lld bytes "
                "sent): VmRSS %lld -> %lld kB\n",
                audioSeconds + kWarmUpAudioSeconds, clock.elapsed() / 1e3,
                static_cast<long long>(stopped.recordedBytes),
                static_cast<long long>(engine.sender().bytesSent()), static_cast<long long>(before),
                static_cast<long long>(after));
    return Growth{double(after - before) * 1024.0 * 3600.0 / audioSeconds, clock.elapsed() / 1e3};
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    ignoreBrokenPipe();
    const QStringList args = app.arguments();
    const quint16 port = quint16(valueOf(args, QStringLiteral("--icecast-port")).toUInt());
    const int probes =
        valueOf(args, QStringLiteral("--probes"), QString::number(kProbesPerDay)).toInt();
    const int changes = valueOf(args, QStringLiteral("--changes"), QStringLiteral("400")).toInt();
    const double seconds =
        valueOf(args, QStringLiteral("--broadcast-seconds"), QStringLiteral("3600")).toDouble();
    const bool rows = args.contains(QStringLiteral("--rows"));
    if (port == 0 || probes <= 0 || changes <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: castora-bench-day --icecast-port PORT [--probes N] "
                             "[--changes N] [--broadcast-seconds S] [--rows]\n");
        return 2;
    }
    QTemporaryDir folder;
    std::printf("A day on air: the device watch, then a broadcast at full speed\n");
    const WatchGrowth watch = watchGrowth(probes, changes);
    if (!watch.perChange)
        return 1;
    const std::optional<Growth> perHour = broadcastGrowth(port, seconds, folder.path());
    if (!perHour)
        return 1;
    const double dayMb =
        (watch.perRead.bytesPerUnit * kProbesPerDay +
         watch.perChange->bytesPerUnit * kChangesPerDay + perHour->bytesPerUnit * 24) /
        (1024.0 * 1024.0);
    std::printf("RSS growth: %.0f bytes per read of the device list, %.0f bytes per device "
                "change, %.0f kB per broadcast hour; a day (%d reads, %d changes, 24 h on air): "
                "%.2f MB (target < 2 MB)\n",
                watch.perRead.bytesPerUnit, watch.perChange->bytesPerUnit,
                perHour->bytesPerUnit / 1024, kProbesPerDay, kChangesPerDay, dayMb);
    if (!rows)
        return 0;
    printRow({QStringLiteral("A day on air: RSS growth over 24 h of device watching (%1 reads of "
                             "the list PulseAudio keeps, at the 2 s period, and %2 device "
                             "changes) and broadcasting, extrapolated")
                  .arg(kProbesPerDay)
                  .arg(kChangesPerDay),
              QStringLiteral("%1 MB").arg(dayMb, 0, 'f', 2), QString(), QString(), std::nullopt,
              QStringLiteral("< 2 MB")});
    printRow({QStringLiteral("RSS growth per read of the device list (%1 reads measured, %2 s)")
                  .arg(probes)
                  .arg(watch.perRead.wallSeconds, 0, 'f', 0),
              QStringLiteral("%1 bytes").arg(watch.perRead.bytesPerUnit, 0, 'f', 0), QString(),
              QString(), std::nullopt, QString()});
    printRow({QStringLiteral("RSS growth per device change announced by PulseAudio (%1 changes "
                             "measured, %2 s)")
                  .arg(changes)
                  .arg(watch.perChange->wallSeconds, 0, 'f', 0),
              QStringLiteral("%1 bytes").arg(watch.perChange->bytesPerUnit, 0, 'f', 0), QString(),
              QString(), std::nullopt, QString()});
    printRow({QStringLiteral("RSS growth per broadcast hour (%1 s of Standard audio at full "
                             "speed, %2 s)")
                  .arg(seconds, 0, 'f', 0)
                  .arg(perHour->wallSeconds, 0, 'f', 0),
              QStringLiteral("%1 kB").arg(perHour->bytesPerUnit / 1024, 0, 'f', 0), QString(),
              QString(), std::nullopt, QString()});
    return 0;
}
