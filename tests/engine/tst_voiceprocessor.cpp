// Voice processing on a minute of real speech (espeak-ng), quiet and hot, with steady pink noise
// 20 dB under it: the last 50 s come out at -16 LUFS, nothing passes -1 dBTP, and the noise in
// the pauses between sentences drops at least 10 dB more than the speech. Off, the samples pass
// bit for bit, also once the processing has been switched off again.
#include "LocalServices.h"
#include "TestMain.h"
#include "VoiceProcessor.h"

#include <QProcess>
#include <QTemporaryDir>

#include <ebur128.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using namespace castora::engine;
using castora::test::columns;
using castora::test::row;
using castora::test::audio::integratedLoudness;

namespace {

using Span = std::pair<std::size_t, std::size_t>; // [first, last) frame

constexpr int kSpeechRate = 22050; // espeak-ng's
constexpr double kPauseSeconds = 1.2;
constexpr double kPauseEdgeSeconds = 0.25; // the noise is read inside the pauses only
constexpr double kSnrDb = 20.0;

const char *const kSentences[] = {
    "Good evening, and welcome back to the late show on the community station.",
    "Tonight we talk about the old harbour, the boats, and the people who built them.",
    "My first guest has spent forty years repairing wooden hulls by hand.",
    "She learned the trade from her father, who learned it from his.",
    "We will also hear from the choir that sings every Sunday by the water.",
    "If you want to send a question, the chat is open for the whole hour.",
    "The weather stays mild, with a light breeze coming in from the west.",
    "Before we begin, a short word about next week's programme.",
    "We are planning a special on the railway that once ran along the coast.",
    "Stories, photographs and memories are all welcome, so please get in touch.",
    "Now, let us start with a little music and then our first conversation.",
    "Thank you for listening, and stay with us for the rest of the evening.",
};

// About 60 s: each sentence after a pause, and a pause at the end.
struct Speech {
    std::vector<float> samples;
    std::vector<Span> sentences;
    std::vector<Span> pauses;
};

Speech speak(const QString &folder) {
    Speech speech;
    const auto pause = [&] {
        const std::size_t start = speech.samples.size();
        speech.samples.resize(start + std::size_t(kPauseSeconds * kSpeechRate), 0.0f);
        speech.pauses.push_back({start, speech.samples.size()});
    };
    for (const char *sentence : kSentences) {
        pause();
        const QString path = folder + QStringLiteral("/sentence.wav");
        if (QProcess::execute(QStringLiteral("espeak-ng"),
                              {QStringLiteral("-w"), path, QString::fromUtf8(sentence)}) != 0)
            return {};
        std::vector<float> spoken;
        for (const qint16 sample : castora::test::audio::readWav(path))
            spoken.push_back(sample / 32768.0f);
        speech.sentences.push_back({speech.samples.size(), speech.samples.size() + spoken.size()});
        speech.samples.insert(speech.samples.end(), spoken.begin(), spoken.end());
    }
    pause();
    return speech;
}

std::vector<float> resampled(const std::vector<float> &in, int rate) {
    if (rate == kSpeechRate)
        return in;
    int error = 0;
    SpeexResamplerState *resampler = speex_resampler_init(1, kSpeechRate, rate, 8, &error);
    speex_resampler_skip_zeros(resampler);
    std::vector<float> out(in.size() * std::size_t(rate) / kSpeechRate);
    spx_uint32_t inCount = spx_uint32_t(in.size()), outCount = spx_uint32_t(out.size());
    speex_resampler_process_float(resampler, 0, in.data(), &inCount, out.data(), &outCount);
    speex_resampler_destroy(resampler);
    return out;
}

// Pink noise (Paul Kellet's filter on seeded white noise).
std::vector<float> pinkNoise(std::size_t count) {
    std::mt19937 generator(7);
    std::normal_distribution<float> white(0.0f, 1.0f);
    std::vector<float> noise(count);
    double b[7] = {};
    for (float &sample : noise) {
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
    return noise;
}

// The true peak (dBTP) of the whole.
double truePeakDb(const std::vector<qint16> &x, int rate) {
    ebur128_state *state = ebur128_init(1, unsigned(rate), EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(state, x.data(), x.size());
    double peak = 0.0;
    ebur128_true_peak(state, 0, &peak);
    ebur128_destroy(&state);
    return 20.0 * std::log10(peak);
}

double meanSquareDb(const std::vector<qint16> &x, const std::vector<Span> &spans, std::size_t from,
                    std::size_t edge) {
    double sum = 0.0;
    std::size_t count = 0;
    for (const auto &[first, last] : spans) {
        if (first < from)
            continue;
        for (std::size_t i = first + edge; i + edge < last; ++i, ++count)
            sum += double(x[i]) * x[i];
    }
    return 10.0 * std::log10(sum / std::max<std::size_t>(count, 1) + 1e-9);
}

void processAll(VoiceProcessor &processor, const qint16 *in, qint16 *out, std::size_t total,
                int bufferFrames) {
    for (std::size_t done = 0; done < total; done += std::size_t(bufferFrames)) {
        const auto frames =
            unsigned(std::min<std::size_t>(std::size_t(bufferFrames), total - done));
        processor.process(in + done, out + done, frames);
    }
}

} // namespace

class VoiceProcessorTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        m_speech = speak(m_folder.path());
        QVERIFY2(m_speech.samples.size() > std::size_t(55 * kSpeechRate),
                 "espeak-ng (Debian package espeak-ng) must speak the test's sentences");
    }

    void speech_data() {
        columns<int, double, int>("rate", "speechLufs", "bufferFrames");
        row("22050 Hz, quiet", 22050, -36.0, 16384);
        row("22050 Hz, hot", 22050, -12.0, 16384);
        row("44100 Hz, quiet, small buffers", 44100, -36.0, 1000);
        row("48000 Hz, hot", 48000, -12.0, 16384);
        row("16000 Hz, quiet", 16000, -36.0, 4096);
    }

    void speech() {
        QFETCH(int, rate);
        QFETCH(double, speechLufs);
        QFETCH(int, bufferFrames);
        // The speech at `speechLufs`, the noise 20 dB under it; a hot microphone clips.
        std::vector<float> speech = resampled(m_speech.samples, rate);
        const float speechGain =
            float(std::pow(10.0, (speechLufs - integratedLoudness(speech, rate)) / 20));
        std::vector<float> noise = pinkNoise(speech.size());
        const float noiseGain =
            float(std::pow(10.0, (speechLufs - kSnrDb - integratedLoudness(noise, rate)) / 20));
        std::vector<qint16> input(speech.size());
        for (std::size_t i = 0; i < input.size(); ++i)
            input[i] = qint16(
                std::clamp(std::lrint((speech[i] * speechGain + noise[i] * noiseGain) * 32768.0),
                           -32768L, 32767L));
        const auto at = [rate](const std::vector<Span> &spans) {
            std::vector<Span> scaled;
            for (const auto &[first, last] : spans)
                scaled.push_back({first * rate / kSpeechRate, last * rate / kSpeechRate});
            return scaled;
        };
        const std::vector<Span> sentences = at(m_speech.sentences), pauses = at(m_speech.pauses);

        // Off: the input as it is.
        VoiceProcessor processor;
        QVERIFY(processor.configure(unsigned(rate)));
        std::vector<qint16> output(input.size());
        processAll(processor, input.data(), output.data(), input.size(), bufferFrames);
        QVERIFY(output == input);

        // On (in place).
        processor.setEnabled(true);
        output = input;
        processAll(processor, output.data(), output.data(), output.size(), bufferFrames);
        const std::size_t from = output.size() - std::size_t(50 * rate);
        const std::size_t edge = std::size_t(kPauseEdgeSeconds * rate);
        const double lufs = integratedLoudness(output, rate, from);
        const double peak = truePeakDb(output, rate);
        const double snrIn =
            meanSquareDb(input, sentences, from, 0) - meanSquareDb(input, pauses, from, edge);
        const double snrOut =
            meanSquareDb(output, sentences, from, 0) - meanSquareDb(output, pauses, from, edge);
        qInfo("in %.1f LUFS -> last 50 s %.2f LUFS, true peak %.2f dBTP, SNR %.1f -> %.1f dB, "
              "short-term %.1f LUFS, gain %.1f dB",
              integratedLoudness(input, rate), lufs, peak, snrIn, snrOut, processor.shortTermLufs(),
              processor.gainDb());
        QVERIFY(std::abs(lufs - VoiceProcessor::kTargetLufs) <= 2.0);
        QVERIFY(peak <= VoiceProcessor::kCeilingDbtp);
        QVERIFY(snrOut - snrIn >= 10.0);
        QVERIFY(std::abs(processor.shortTermLufs() - VoiceProcessor::kTargetLufs) <= 5.0);

        // Switched off: after the crossfade of the next buffer, the input again.
        processor.setEnabled(false);
        const std::size_t total = std::size_t(4 * bufferFrames);
        processAll(processor, input.data(), output.data(), total, bufferFrames);
        QVERIFY(std::equal(input.begin() + bufferFrames, input.begin() + total,
                           output.begin() + bufferFrames));
        QVERIFY(std::isinf(processor.shortTermLufs()));
    }

private:
    QTemporaryDir m_folder;
    Speech m_speech;
};

CASTORA_TEST_MAIN(VoiceProcessorTest)
#include "tst_voiceprocessor.moc"
