// A day on air, compressed: how much resident memory 24 hours of device watching and
// broadcasting add to the process, extrapolated from
//
//  1. device probes as the program's device watch makes them (the input list through the
//     AudioInput interface, every 2 s: 43200 a day), against the PulseAudio server of
//     bench/run-all; VmRSS after a warm-up and after the probes;
//  2. an hour of broadcast at Standard as fast as the engine goes: generated audio through
//     the engine's capture callback, encoder, send thread (to icecast2, unpaced) and record
//     thread (to a file), each buffer handed over once the queues are empty; VmRSS after a
//     warm-up and after the hour, both on air with the queues drained.
//
// Target: under 2 MB a day.
//
//   castora-bench-day --icecast-port PORT [--probes N] [--broadcast-seconds S] [--rows]
#include "BenchSupport.h"
#include "GeneratedInput.h"
#include "ProcessSignals.h"
#include "RtAudioInput.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace castora::engine;
using namespace castora::bench;

namespace {

constexpr int kProbesPerDay = 24 * 3600 / 2; // the device watch's period is 2 s
constexpr double kWarmUpAudioSeconds = 300;

qint64 rssKb() {
    return statusKb(getpid(), "VmRSS");
}

struct Growth {
    double bytesPerUnit = 0;
    double wallSeconds = 0;
};

Growth probeGrowth(int probes) {
    RtAudioInput input;
    const auto probe = [&input] { return inputDevices(input.devices()).size(); };
    std::size_t inputs = 0;
    for (int i = 0; i < 200; ++i) // the audio library's and the allocator's first needs
        inputs = probe();
    QElapsedTimer clock;
    clock.start();
    const qint64 before = rssKb();
    for (int i = 0; i < probes; ++i)
        probe();
    const qint64 after = rssKb();
    std::printf("  %d probes (%zu input device(s) each) in %.1f s: VmRSS %lld -> %lld kB\n", probes,
                inputs, clock.elapsed() / 1e3, static_cast<long long>(before),
                static_cast<long long>(after));
    return {double(after - before) * 1024.0 / probes, clock.elapsed() / 1e3};
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
    const double seconds =
        valueOf(args, QStringLiteral("--broadcast-seconds"), QStringLiteral("3600")).toDouble();
    const bool rows = args.contains(QStringLiteral("--rows"));
    if (port == 0 || probes <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: castora-bench-day --icecast-port PORT [--probes N] "
                             "[--broadcast-seconds S] [--rows]\n");
        return 2;
    }
    QTemporaryDir folder;
    std::printf("A day on air: device probes, then a broadcast at full speed\n");
    const Growth perProbe = probeGrowth(probes);
    const std::optional<Growth> perHour = broadcastGrowth(port, seconds, folder.path());
    if (!perHour)
        return 1;
    const double dayMb =
        (perProbe.bytesPerUnit * kProbesPerDay + perHour->bytesPerUnit * 24) / (1024.0 * 1024.0);
    std::printf("RSS growth: %.0f bytes per probe, %.0f kB per broadcast hour; a day (%d probes, "
                "24 h on air): %.2f MB (target < 2 MB)\n",
                perProbe.bytesPerUnit, perHour->bytesPerUnit / 1024, kProbesPerDay, dayMb);
    if (!rows)
        return 0;
    printRow({QStringLiteral("A day on air: RSS growth over 24 h of device watching (%1 probes at "
                             "the 2 s period) and broadcasting, extrapolated")
                  .arg(kProbesPerDay),
              QStringLiteral("%1 MB").arg(dayMb, 0, 'f', 2), QString(), QString(), std::nullopt,
              QStringLiteral("< 2 MB")});
    printRow({QStringLiteral("RSS growth per device probe (%1 probes measured, %2 s)")
                  .arg(probes)
                  .arg(perProbe.wallSeconds, 0, 'f', 0),
              QStringLiteral("%1 bytes").arg(perProbe.bytesPerUnit, 0, 'f', 0), QString(),
              QString(), std::nullopt, QString()});
    printRow({QStringLiteral("RSS growth per broadcast hour (%1 s of Standard audio at full "
                             "speed, %2 s)")
                  .arg(seconds, 0, 'f', 0)
                  .arg(perHour->wallSeconds, 0, 'f', 0),
              QStringLiteral("%1 kB").arg(perHour->bytesPerUnit / 1024, 0, 'f', 0), QString(),
              QString(), std::nullopt, QString()});
    return 0;
}
