// What voice processing costs, as ratios against baselines measured in the same run:
//
//  1. The stage alone: CPU time per second of audio of VoiceProcessor::process (noise
//     suppression, leveler, true-peak limiter) on a minute of speech (espeak-ng) with steady
//     pink noise 20 dB under it, against LAME encoding the same samples with the quality's
//     settings; both on this thread, 16384-frame buffers, at Standard (22050 Hz) and Premium
//     (44100 Hz). Rounds of the two alternate; their medians are compared. The ratio says what
//     switching the stage on adds to the capture callback's encoding work.
//  2. With --engine: the whole engine process on air at Standard (castora-bench-engine
//     --stream: PulseAudio capture, encoder, send and record threads, the local recording),
//     the virtual microphone playing the same speech looped, with voice processing on against
//     off: the process's CPU per second over a window once on air, on and off runs taking
//     turns, medians compared. Target: at most 1.25x.
//
// Usage: castora-bench-voice [--rounds N] [--rows]
//            [--engine PATH --icecast-port PORT [--on-air-seconds S] [--on-air-rounds N]
//             [--sink vsink]]
// The environment carries the sound server (PULSE_SERVER) whose sink SINK the virtual
// microphone hears; bench/run-all prepares it.
#include "BenchSupport.h"
#include "Mp3Encoder.h"
#include "VoiceProcessor.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <random>
#include <vector>

using namespace castora::engine;

namespace {

constexpr unsigned int kBufferFrames = 16384;

const char *const kText =
    "Good evening, and welcome back to the late show on the community station. Tonight we talk "
    "about the old harbour, the boats, and the people who built them. My first guest has spent "
    "forty years repairing wooden hulls by hand. She learned the trade from her father, who "
    "learned it from his. We will also hear from the choir that sings every Sunday by the water. "
    "If you want to send a question, the chat is open for the whole hour. The weather stays mild, "
    "with a light breeze coming in from the west. Before we begin, a short word about next "
    "week's programme. We are planning a special on the railway that once ran along the coast. "
    "Stories, photographs and memories are all welcome, so please get in touch. Now, let us start "
    "with a little music and then our first conversation. Thank you for listening, and stay with "
    "us for the rest of the evening.";

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// espeak-ng's 22050 Hz speech as floats; empty when it cannot speak.
std::vector<float> speak(const QString &folder) {
    const QString path = folder + QStringLiteral("/speech.wav");
    if (QProcess::execute(QStringLiteral("espeak-ng"),
                          {QStringLiteral("-w"), path, QString::fromLatin1(kText)}) != 0)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wav = file.readAll();
    const int data = int(wav.indexOf("data"));
    std::vector<float> speech;
    for (int at = data + 8; data > 0 && at + 1 < wav.size(); at += 2) {
        qint16 sample = 0;
        std::memcpy(&sample, wav.constData() + at, 2);
        speech.push_back(sample / 32768.0f);
    }
    return speech;
}

// The speech at `rate`, its RMS at -26 dBFS, with pink noise 20 dB under it.
std::vector<qint16> noisySpeech(const std::vector<float> &speech, unsigned int rate) {
    std::vector<float> x(std::size_t(double(speech.size()) * rate / 22050));
    int error = 0;
    SpeexResamplerState *resampler = speex_resampler_init(1, 22050, rate, 5, &error);
    spx_uint32_t in = spx_uint32_t(speech.size()), out = spx_uint32_t(x.size());
    speex_resampler_process_float(resampler, 0, speech.data(), &in, x.data(), &out);
    speex_resampler_destroy(resampler);
    x.resize(out);
    std::mt19937 generator(7);
    std::normal_distribution<float> white(0.0f, 1.0f);
    std::vector<float> noise(x.size());
    double b[7] = {};
    for (float &sample : noise) { // Paul Kellet's pink filter
        const double w = white(generator);
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        sample = float(b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362);
        b[6] = w * 0.115926;
    }
    const auto rms = [](const std::vector<float> &v) {
        double sum = 0.0;
        for (float s : v)
            sum += double(s) * s;
        return std::sqrt(sum / double(v.size()));
    };
    const double speechGain = std::pow(10.0, -26.0 / 20) / rms(x);
    const double noiseGain = std::pow(10.0, -46.0 / 20) / rms(noise);
    std::vector<qint16> mixed(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        mixed[i] = qint16(std::clamp(std::lrint((x[i] * speechGain + noise[i] * noiseGain) * 32768),
                                     -32768L, 32767L));
    return mixed;
}

double voiceRound(const std::vector<qint16> &audio, unsigned int rate) {
    VoiceProcessor processor;
    processor.configure(rate);
    processor.setEnabled(true);
    std::vector<qint16> out(kBufferFrames);
    const double start = threadCpuSeconds();
    for (std::size_t done = 0; done < audio.size(); done += kBufferFrames) {
        const auto frames = unsigned(std::min<std::size_t>(kBufferFrames, audio.size() - done));
        processor.process(audio.data() + done, out.data(), frames);
    }
    return threadCpuSeconds() - start;
}

double lameRound(const std::vector<qint16> &audio, unsigned int rate, int quality) {
    Mp3Encoder encoder;
    encoder.configure(rate, settingsForQuality(quality), kBufferFrames);
    QByteArray chunk;
    const double start = threadCpuSeconds();
    for (std::size_t done = 0; done < audio.size(); done += kBufferFrames) {
        const auto frames = unsigned(std::min<std::size_t>(kBufferFrames, audio.size() - done));
        encoder.encode(audio.data() + done, frames, chunk);
    }
    encoder.flush();
    return threadCpuSeconds() - start;
}

bool writeWav(const QString &path, const std::vector<qint16> &samples, unsigned int rate) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const auto u32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char *>(&v), 4); };
    const auto u16 = [](quint16 v) { return QByteArray(reinterpret_cast<const char *>(&v), 2); };
    const quint32 bytes = quint32(samples.size() * 2);
    const QByteArray header = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) + u16(1) +
                              u32(rate) + u32(rate * 2) + u16(2) + u16(16) + "data" + u32(bytes);
    return file.write(header) == header.size() &&
           file.write(reinterpret_cast<const char *>(samples.data()), bytes) == qint64(bytes);
}

// The engine as a process of its own on air at Standard, capturing the virtual microphone;
// its CPU per second over `window` once the capture has settled. Nothing when it could not
// be measured.
std::optional<double> onAirCpu(const QString &engine, quint16 port, bool voice,
                               std::chrono::milliseconds window, int round) {
    using namespace castora::bench;
    const QString mount =
        QStringLiteral("bench-voice-%1-%2").arg(voice ? "on" : "off").arg(round + 1);
    Child child(QStringLiteral("castora-bench-engine"));
    QStringList arguments{QStringLiteral("--stream"),
                          QStringLiteral("--icecast-port"),
                          QString::number(port),
                          QStringLiteral("--mount"),
                          mount,
                          QStringLiteral("--quality"),
                          QStringLiteral("2")};
    if (voice)
        arguments << QStringLiteral("--voice");
    if (!child.start(engine, arguments) ||
        !child.waitForLine(QRegularExpression(QStringLiteral("^on air")),
                           std::chrono::seconds(20))) {
        std::fprintf(stderr, "castora-bench-voice: the engine did not go on air: %s\n",
                     qPrintable(child.endReport()));
        return std::nullopt;
    }
    runEventsFor(std::chrono::seconds(4)); // past PulseAudio's first-data delay
    if (!mountListed(port, mount)) {
        std::fprintf(stderr, "castora-bench-voice: %s is not listed\n", qPrintable(mount));
        return std::nullopt;
    }
    const double before = processCpuSeconds(child.pid());
    const qint64 startNs = monotonicNs();
    runEventsFor(window);
    const double cpu =
        (processCpuSeconds(child.pid()) - before) / (double(monotonicNs() - startNs) / 1e9);
    if (!child.isRunning()) {
        std::fprintf(stderr, "castora-bench-voice: the engine ended while measured: %s\n",
                     qPrintable(child.endReport()));
        return std::nullopt;
    }
    child.stop();
    return cpu;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rounds =
        castora::bench::valueOf(args, QStringLiteral("--rounds"), QStringLiteral("5")).toInt();
    const bool rows = args.contains(QStringLiteral("--rows"));
    QTemporaryDir folder;
    const std::vector<float> speech = speak(folder.path());
    if (speech.empty()) {
        std::fprintf(stderr, "castora-bench-voice: espeak-ng could not speak\n");
        return 1;
    }
    for (const auto &[quality, rate, label] :
         {std::tuple{2, 22050u, "Standard (96 kbit/s, 22050 Hz, LAME quality 5)"},
          std::tuple{0, 44100u, "Premium (192 kbit/s, 44100 Hz, LAME quality 2)"}}) {
        const std::vector<qint16> audio = noisySpeech(speech, rate);
        const double seconds = double(audio.size()) / rate;
        std::vector<double> voice, lame;
        for (int round = 0; round < rounds; ++round) {
            voice.push_back(voiceRound(audio, rate) / seconds);
            lame.push_back(lameRound(audio, rate, quality) / seconds);
        }
        const double v = castora::bench::median(voice), l = castora::bench::median(lame);
        std::printf("%s, %.0f s of speech with pink noise, median of %d: voice processing "
                    "%.2f ms/s, LAME %.2f ms/s; ratio %.2fx (encoding with the stage on costs "
                    "%.2fx encoding alone)\n",
                    label, seconds, rounds, 1e3 * v, 1e3 * l, v / l, (v + l) / l);
        if (rows)
            castora::bench::printRow(
                {QStringLiteral("Voice processing CPU per audio second (noise suppression, "
                                "leveler, true-peak limiter), %1, speech with pink noise")
                     .arg(QLatin1String(label)),
                 QStringLiteral("%1 ms/s").arg(1e3 * v, 0, 'f', 2),
                 QStringLiteral("LAME encoding the same samples"),
                 QStringLiteral("%1 ms/s").arg(1e3 * l, 0, 'f', 2), v / l, QString()});
    }

    const QString engine = castora::bench::valueOf(args, QStringLiteral("--engine"));
    if (engine.isEmpty())
        return 0;
    using castora::bench::valueOf;
    const quint16 port = quint16(valueOf(args, QStringLiteral("--icecast-port")).toUInt());
    const std::chrono::seconds window(
        valueOf(args, QStringLiteral("--on-air-seconds"), QStringLiteral("10")).toInt());
    const int onAirRounds =
        std::max(1, valueOf(args, QStringLiteral("--on-air-rounds"), QStringLiteral("3")).toInt());
    const QString sink = valueOf(args, QStringLiteral("--sink"), QStringLiteral("vsink"));
    const QString wav = folder.filePath(QStringLiteral("speech.wav"));
    castora::bench::Child player(QStringLiteral("sox"));
    if (port == 0 || !writeWav(wav, noisySpeech(speech, 22050), 22050) ||
        !player.start(QStringLiteral("sox"), {QStringLiteral("-q"), wav, QStringLiteral("-t"),
                                              QStringLiteral("pulseaudio"), sink,
                                              QStringLiteral("repeat"), QStringLiteral("9999")})) {
        std::fprintf(stderr, "castora-bench-voice: cannot play the speech into %s\n",
                     qPrintable(sink));
        return 1;
    }
    std::printf("The engine on air at Standard, the virtual microphone playing the speech looped "
                "(%lld s measured each)\n",
                static_cast<long long>(window.count()));
    std::vector<double> on, off;
    for (int round = 0; round < onAirRounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool voice = (turn == 0) == (round % 2 == 0);
            const std::optional<double> cpu = onAirCpu(engine, port, voice, window, round);
            if (!cpu)
                return 1;
            (voice ? on : off).push_back(*cpu);
            std::printf("  round %d, voice processing %-3s %.2f ms CPU per second\n", round + 1,
                        voice ? "on" : "off", 1e3 * *cpu);
            std::fflush(stdout);
        }
    }
    const double withVoice = castora::bench::median(on), without = castora::bench::median(off);
    std::printf("Medians: on %.2f ms/s, off %.2f ms/s; ratio %.2fx (target <= 1.25x)\n",
                1e3 * withVoice, 1e3 * without, withVoice / without);
    if (rows)
        castora::bench::printRow(
            {QStringLiteral("Whole process on air with voice processing on, CPU per second, "
                            "Standard (96 kbit/s, 22050 Hz), speech with pink noise from the "
                            "virtual microphone (median of %1 x %2 s, on and off taking turns)")
                 .arg(onAirRounds)
                 .arg(window.count()),
             QStringLiteral("%1 ms/s").arg(1e3 * withVoice, 0, 'f', 2),
             QStringLiteral("the same with voice processing off"),
             QStringLiteral("%1 ms/s").arg(1e3 * without, 0, 'f', 2), withVoice / without,
             QStringLiteral("<= 1.25")});
    return 0;
}
