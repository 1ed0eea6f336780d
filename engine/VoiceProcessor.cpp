#include "VoiceProcessor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CASTORA_X86_AVX_STATE
#endif

namespace castora::engine {
namespace {

// WebRTC's SSE code (and ours) runs about 2.5x slower while the upper halves of the AVX
// registers are marked in use: code that ran before on the same thread left them so (here
// Qt's start-up leaves the main thread that way), and every SSE instruction then waits on them.
// Clearing them at the start of each buffer costs next to nothing.
#ifdef CASTORA_X86_AVX_STATE
bool canClearUpperVectors() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}
__attribute__((target("avx"))) void clearUpperVectors() {
    _mm256_zeroupper();
}
#else
bool canClearUpperVectors() {
    return false;
}
void clearUpperVectors() {
}
#endif

// Buffers are worked through in slices of at most this many frames, so that nothing inside
// grows with the capture's buffer size.
constexpr unsigned int kSliceFrames = 2048;
// Switching on or off crossfades over this long.
constexpr double kFadeSeconds = 0.02;

constexpr double kPi = 3.14159265358979323846;

double dbToGain(double db) {
    return std::pow(10.0, db / 20.0);
}

// A sample in -1..1 to 16 bits, rounded to the nearest (adding and taking away 1.5 * 2^23
// leaves no fraction): plain arithmetic, no call into the maths library per sample.
qint16 toSample(float value) {
    const float v = std::clamp(value * 32768.0f, -32768.0f, 32767.0f);
    return qint16(int((v + 12582912.0f) - 12582912.0f));
}

// A first-in first-out run of samples in one allocation, compacted when its end is reached.
class SampleFifo {
public:
    void allocate(std::size_t capacity) {
        m_data.assign(capacity, 0.0f);
        m_read = m_write = 0;
    }
    std::size_t size() const { return m_write - m_read; }
    float *front() { return m_data.data() + m_read; }
    void consume(std::size_t count) {
        m_read += std::min(count, size());
        if (m_read == m_write)
            m_read = m_write = 0;
    }
    // Room for `count` more samples at the end (at most the capacity less what is held).
    float *reserve(std::size_t count) {
        if (m_write + count > m_data.size() && m_read > 0) {
            std::memmove(m_data.data(), m_data.data() + m_read, size() * sizeof(float));
            m_write -= m_read;
            m_read = 0;
        }
        return m_data.data() + m_write;
    }
    std::size_t room() const { return m_data.size() - size(); }
    void commit(std::size_t count) { m_write = std::min(m_write + count, m_data.size()); }
    void clear() { m_read = m_write = 0; }

private:
    std::vector<float> m_data;
    std::size_t m_read = 0;
    std::size_t m_write = 0;
};

// The zeroth-order modified Bessel function of the first kind, for the Kaiser window.
double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40 && term > 1e-12 * sum; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// A row of `count` taps (a multiple of 4) against as many samples, summed in four running sums
// (the additions of one alone would wait on each other).
float dot(const float *taps, const float *samples, int count) {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    for (int i = 0; i < count; i += 4) {
        s0 += taps[i] * samples[i];
        s1 += taps[i + 1] * samples[i + 1];
        s2 += taps[i + 2] * samples[i + 2];
        s3 += taps[i + 3] * samples[i + 3];
    }
    return (s0 + s1) + (s2 + s3);
}

// A second-order section (transposed direct form II).
struct Biquad {
    float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a1 = 0.0f, a2 = 0.0f;
    float z1 = 0.0f, z2 = 0.0f;

    // Butterworth high-pass at `cutoff` Hz.
    static Biquad highPass(double cutoff, double rate) {
        const double w = 2.0 * kPi * cutoff / rate;
        const double alpha = std::sin(w) / std::sqrt(2.0);
        const double a0 = 1.0 + alpha;
        Biquad f;
        f.b0 = float((1.0 + std::cos(w)) / 2.0 / a0);
        f.b1 = float(-(1.0 + std::cos(w)) / a0);
        f.b2 = f.b0;
        f.a1 = float(-2.0 * std::cos(w) / a0);
        f.a2 = float((1.0 - alpha) / a0);
        return f;
    }
    // `count` samples from `in` to `out` (which may be the same). The state stays in registers
    // meanwhile: written back on every sample it would wait on the stores.
    void run(const float *in, float *out, std::size_t count) {
        float s1 = z1, s2 = z2;
        for (std::size_t i = 0; i < count; ++i) {
            const float x = in[i];
            const float y = b0 * x + s1;
            s1 = b1 * x - a1 * y + s2;
            s2 = b2 * x - a2 * y;
            out[i] = y;
        }
        z1 = s1;
        z2 = s2;
    }
    void clear() { z1 = z2 = 0.0f; }
};

// A windowed-sinc low-pass that changes the sample rate by a rational factor: a polyphase FIR
// with one row of taps for each place an output can fall between two inputs, so that each
// output costs one row. Output n stands for the input at position (step * n + offset) / phases
// (in input samples, counting the zeros it starts with); its row reaches taps / 2 samples
// either side. Optionally a side signal goes along, taken at the sample at or before each
// output's position.
class PolyphaseResampler {
public:
    // `taps` is a multiple of 4; `offset` at least (taps / 2 - 1) * phases.
    void configure(unsigned int inRate, unsigned int outRate, int taps, double cutoffHz,
                   quint64 offset, std::size_t zeros, std::size_t mostIn, bool withSide) {
        const unsigned int common = std::gcd(inRate, outRate);
        m_step = inRate / common;
        m_phases = outRate / common;
        m_taps = taps;
        m_offset = offset;
        m_zeros = zeros;
        m_withSide = withSide;
        m_table.assign(std::size_t(m_phases) * std::size_t(taps), 0.0f);
        const double fc = cutoffHz / inRate; // cycles per input sample
        const double half = taps / 2.0;
        for (unsigned int p = 0; p < m_phases; ++p) {
            float *row = m_table.data() + std::size_t(p) * std::size_t(taps);
            double sum = 0.0;
            for (int t = 0; t < taps; ++t) {
                const double x = (t - taps / 2 + 1) - double(p) / m_phases;
                const double u = std::min(1.0, std::abs(x) / half);
                const double window =
                    besselI0(kKaiserBeta * std::sqrt(1.0 - u * u)) / besselI0(kKaiserBeta);
                const double arg = 2.0 * fc * x;
                const double sinc = arg == 0.0 ? 1.0 : std::sin(kPi * arg) / (kPi * arg);
                row[t] = float(2.0 * fc * sinc * window);
                sum += row[t];
            }
            for (int t = 0; t < taps; ++t)
                row[t] = float(row[t] / sum); // unity gain at DC for every phase
        }
        const std::size_t capacity = zeros + std::size_t(taps) + m_step / m_phases + 2 + mostIn;
        m_input.assign(capacity, 0.0f);
        m_side.assign(withSide ? capacity : 0, 1.0f);
        clear();
    }

    void clear() {
        std::fill(m_input.begin(), m_input.end(), 0.0f);
        std::fill(m_side.begin(), m_side.end(), 1.0f);
        m_size = m_zeros;
        m_base = m_offset / m_phases;
        m_phase = unsigned(m_offset % m_phases);
    }

    // Outputs for `count` inputs, at most.
    std::size_t mostOut(std::size_t count) const { return count * m_phases / m_step + 2; }

    // Appends `count` samples (and their side values, when it carries a side signal) and writes
    // every output they complete to `out` (and `sideOut`); returns how many.
    std::size_t process(const float *in, const float *side, std::size_t count, float *out,
                        float *sideOut) {
        // Let go of what no output needs any more.
        const std::size_t first = m_base + 1 - std::size_t(m_taps / 2);
        if (first > 0 && first <= m_size) {
            std::memmove(m_input.data(), m_input.data() + first, (m_size - first) * sizeof(float));
            if (m_withSide)
                std::memmove(m_side.data(), m_side.data() + first,
                             (m_size - first) * sizeof(float));
            m_size -= first;
            m_base -= first;
        }
        count = std::min(count, m_input.size() - m_size);
        std::copy_n(in, count, m_input.data() + m_size);
        if (m_withSide)
            std::copy_n(side, count, m_side.data() + m_size);
        m_size += count;
        const std::size_t whole = m_step / m_phases;
        const unsigned int rest = m_step % m_phases;
        const std::size_t reach = std::size_t(m_taps / 2);
        std::size_t made = 0;
        while (m_base + reach < m_size) {
            const float *row = m_table.data() + std::size_t(m_phase) * std::size_t(m_taps);
            out[made] = dot(row, m_input.data() + m_base + 1 - reach, m_taps);
            if (m_withSide)
                sideOut[made] = m_side[m_base];
            ++made;
            m_base += whole;
            m_phase += rest;
            if (m_phase >= m_phases) {
                m_phase -= m_phases;
                ++m_base;
            }
        }
        return made;
    }

    unsigned int step() const { return m_step; }
    unsigned int phases() const { return m_phases; }

private:
    static constexpr double kKaiserBeta = 5.0; // about 54 dB of stop-band attenuation

    std::vector<float> m_table;
    std::vector<float> m_input;
    std::vector<float> m_side;
    std::size_t m_size = 0;
    std::size_t m_zeros = 0;
    std::size_t m_base = 0; // the next output's position: m_base + m_phase / m_phases
    unsigned int m_phase = 0;
    unsigned int m_step = 1;
    unsigned int m_phases = 1;
    int m_taps = 4;
    quint64 m_offset = 0;
    bool m_withSide = false;
};

// Noise suppression. WebRTC's suppressor works on 10 ms frames at 8 kHz: the band below about
// 3.7 kHz is taken down to 8 kHz (a polyphase decimator), rid of rumble (an 80 Hz high-pass),
// suppressed, and its change brought back up (a polyphase interpolator) onto the input, delayed
// to match; the band above, which the suppressor does not see, follows the suppressor's gain of
// the top of its own band (2-4 kHz), frame by frame:
//
//   out = g * x[n - L] + up(suppressed - g * low[n - 48])
//
// Where the suppressor leaves the low band alone and g is 1, that is the input, delayed, bit
// for bit but for rounding; the split between the bands needs no care (the suppressor's change
// comes through whole up to 2.5 kHz and at 87% at 3 kHz). Measured on speech with pink or white
// noise 20 dB under it, this takes the noise in pauses down as far as running the suppressor at
// 16 kHz on the band below 7 kHz (about 16 dB) and changes speech about as little (0.5 dB less
// signal-to-distortion), at 60% of its cost. Samples come out as many as went in, a fixed
// number of frames later: the output side starts with enough silence that a buffer never waits
// for the frame that completes it.
class Denoiser {
public:
    bool configure(unsigned int rate) {
        m_apm.reset(webrtc::AudioProcessing::Create());
        const webrtc::StreamConfig stream(int(kNsRate), 1);
        m_stream = stream;
        webrtc::ProcessingConfig config{{stream, stream, stream, stream}};
        if (!m_apm || m_apm->Initialize(config) != webrtc::AudioProcessing::kNoError ||
            m_apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kHigh) != 0 ||
            m_apm->noise_suppression()->Enable(true) != 0)
            return false;
        m_rumble = Biquad::highPass(80.0, kNsRate);

        // The decimator's outputs stand for the input at n * rate / 16000 (the zeros it
        // starts with make up for its reach back); the interpolator's for the suppressor's
        // output delayed so that the whole comes out exactly kAlign input samples late.
        const int downTaps = std::max(8, int(std::lround(32.0 * rate / 22050.0 / 4.0)) * 4);
        const unsigned int common = std::gcd(rate, kNsRate);
        const quint64 downPhases = kNsRate / common, upPhases = rate / common;
        const quint64 upStep = kNsRate / common;
        m_down.configure(rate, kNsRate, downTaps, kCrossoverHz,
                         quint64(downTaps / 2 - 1) * downPhases, std::size_t(downTaps / 2 - 1),
                         kSliceFrames, false);
        m_align = std::size_t(kNsDelay * upPhases / upStep);
        const quint64 upOffset =
            quint64(kUpTaps / 2 - 1) * upPhases + kNsDelay * upPhases - upStep * m_align;
        m_up.configure(kNsRate, rate, kUpTaps, kCrossoverHz, upOffset, std::size_t(kUpTaps / 2 - 1),
                       kFrame, true);
        m_prefill = prefillFor(rate);

        m_low.allocate(m_down.mostOut(kSliceFrames) + kFrame);
        m_delayed.allocate(m_align + m_prefill + kSliceFrames + 8);
        m_ready.allocate(m_prefill + kSliceFrames + 2 * m_up.mostOut(kFrame) + 8);
        m_lowScratch.assign(m_down.mostOut(kSliceFrames), 0.0f);
        m_upScratch.assign(m_up.mostOut(kFrame), 0.0f);
        m_upGain.assign(m_up.mostOut(kFrame), 1.0f);
        clear();
        return true;
    }

    // Empties the pipeline; the delay stays the same. The suppressor keeps what it learnt of
    // the noise.
    void clear() {
        m_rumble.clear();
        m_edgeIn.fill(0.0f);
        m_edgeOut.fill(0.0f);
        m_down.clear();
        m_up.clear();
        m_low.clear();
        m_lowHistory.fill(0.0f);
        m_gain = 1.0f;
        m_delayed.clear();
        std::fill_n(m_delayed.reserve(m_align), m_align, 0.0f);
        m_delayed.commit(m_align);
        m_ready.clear();
        std::fill_n(m_ready.reserve(m_prefill), m_prefill, 0.0f);
        m_ready.commit(m_prefill);
    }

    unsigned int delayFrames() const { return unsigned(m_prefill + m_align); }

    // `count` (at most kSliceFrames) samples in, as many out, in place.
    void process(float *samples, std::size_t count) {
        std::copy_n(samples, count, m_delayed.reserve(count));
        m_delayed.commit(count);
        const std::size_t lows =
            m_down.process(samples, nullptr, count, m_lowScratch.data(), nullptr);
        std::copy_n(m_lowScratch.data(), lows, m_low.reserve(lows));
        m_low.commit(lows);
        while (m_low.size() >= kFrame) {
            suppressFrame(m_low.front());
            m_low.consume(kFrame);
        }
        const std::size_t have = std::min(count, m_ready.size());
        std::copy_n(m_ready.front(), have, samples);
        std::fill(samples + have, samples + count, 0.0f);
        m_ready.consume(have);
    }

private:
    static constexpr unsigned int kNsRate = 8000;
    static constexpr std::size_t kFrame = kNsRate / 100;
    // The suppressor's output lags its input by this many samples (its analysis window less
    // its frame).
    static constexpr quint64 kNsDelay = 48;
    static constexpr double kCrossoverHz = 3700.0;
    static constexpr int kUpTaps = 12;
    static constexpr float kQuietEnergy = float(kFrame) * 1e-10f; // -100 dBFS

    void suppressFrame(const float *low) {
        // The frame as the suppressor's output lines up with it: kNsDelay samples earlier.
        std::array<float, kNsDelay + kFrame> line;
        std::copy(m_lowHistory.begin(), m_lowHistory.end(), line.begin());
        std::copy_n(low, kFrame, line.begin() + kNsDelay);
        std::copy_n(line.begin() + kFrame, kNsDelay, m_lowHistory.begin());
        const float *lowDelayed = line.data();

        std::array<float, kFrame> out;
        m_rumble.run(low, out.data(), kFrame);
        float *frame = out.data();
        m_apm->ProcessStream(&frame, m_stream, m_stream, &frame);

        const float energyIn = upperEnergy(lowDelayed, m_edgeIn);
        const float energyOut = upperEnergy(out.data(), m_edgeOut);
        const float gain = std::min(1.0f, std::sqrt(energyOut / energyIn));
        std::array<float, kFrame> change, gains;
        const float step = (gain - m_gain) / float(kFrame);
        for (std::size_t i = 0; i < kFrame; ++i) {
            gains[i] = m_gain + step * float(i + 1);
            change[i] = out[i] - gains[i] * lowDelayed[i];
        }
        m_gain = gain;

        const std::size_t made =
            m_up.process(change.data(), gains.data(), kFrame, m_upScratch.data(), m_upGain.data());
        float *ready = m_ready.reserve(made);
        const float *delayed = m_delayed.front();
        const std::size_t available = std::min(made, m_delayed.size());
        for (std::size_t i = 0; i < available; ++i)
            ready[i] = m_upGain[i] * delayed[i] + m_upScratch[i];
        m_delayed.consume(available);
        m_ready.commit(available);
    }

    // The energy of a frame's upper band, as second differences weigh it (x[n] - 2x[n-1] +
    // x[n-2]: 4 sin^2(w/2), so 2 kHz counts 13 times as much as 500 Hz and 4 kHz twice as much
    // again); `edge` keeps the frame's last two samples for the next.
    static float upperEnergy(const float *frame, std::array<float, 2> &edge) {
        float before = edge[0], last = edge[1], energy = kQuietEnergy;
        for (std::size_t i = 0; i < kFrame; ++i) {
            const float d = frame[i] - 2.0f * last + before;
            energy += d * d;
            before = last;
            last = frame[i];
        }
        edge = {before, last};
        return energy;
    }

    // The silence the output side starts with: the most by which the output can trail the
    // input at any sample, found by running the two resamplers' bookkeeping over more than a
    // whole cycle of the two rates.
    std::size_t prefillFor(unsigned int rate) const {
        PolyphaseResampler down = m_down, up = m_up;
        std::vector<float> lows(down.mostOut(1)), ups(up.mostOut(kFrame)),
            upGains(up.mostOut(kFrame));
        const std::array<float, kFrame> frame{};
        const float zero = 0.0f;
        std::size_t pending = 0, made = 0, most = 0;
        for (std::size_t n = 1; n <= rate / 2; ++n) {
            pending += down.process(&zero, nullptr, 1, lows.data(), nullptr);
            for (; pending >= kFrame; pending -= kFrame)
                made += up.process(frame.data(), frame.data(), kFrame, ups.data(), upGains.data());
            most = std::max(most, n - std::min(n, made));
        }
        return most;
    }

    std::unique_ptr<webrtc::AudioProcessing> m_apm;
    webrtc::StreamConfig m_stream;
    Biquad m_rumble;
    std::array<float, 2> m_edgeIn{};
    std::array<float, 2> m_edgeOut{};
    PolyphaseResampler m_down;
    PolyphaseResampler m_up;
    SampleFifo m_low;     // at 16 kHz, towards the next frame
    SampleFifo m_delayed; // the input, kAlign late
    SampleFifo m_ready;   // the output
    std::array<float, kNsDelay> m_lowHistory{};
    std::vector<float> m_lowScratch;
    std::vector<float> m_upScratch;
    std::vector<float> m_upGain;
    float m_gain = 1.0f;
    std::size_t m_align = 0;
    std::size_t m_prefill = 0;
};

// BS.1770's K-weighting: a high shelf of about +4 dB above 1.7 kHz, then a 38 Hz high-pass (a
// third of what libebur128 takes for the same, which also keeps a history the leveler does not
// need).
class KWeighting {
public:
    void configure(double rate) {
        double k = std::tan(kPi * 1681.974450955533 / rate);
        const double q = 0.7071752369554196;
        const double vh = std::pow(10.0, 3.999843853973347 / 20.0);
        const double vb = std::pow(vh, 0.4996667741545416);
        double a0 = 1.0 + k / q + k * k;
        m_b0 = (vh + vb * k / q + k * k) / a0;
        m_b1 = 2.0 * (k * k - vh) / a0;
        m_b2 = (vh - vb * k / q + k * k) / a0;
        m_a1 = 2.0 * (k * k - 1.0) / a0;
        m_a2 = (1.0 - k / q + k * k) / a0;
        k = std::tan(kPi * 38.13547087602444 / rate);
        const double hq = 0.5003270373238773;
        a0 = 1.0 + k / hq + k * k;
        m_h1 = 2.0 * (k * k - 1.0) / a0;
        m_h2 = (1.0 - k / hq + k * k) / a0;
        clear();
    }
    void clear() { m_state.fill(0.0); }
    // The sum of the weighted squares of `count` samples.
    double energy(const float *samples, std::size_t count) {
        double sum = 0.0;
        std::array<double, 4> s = m_state;
        for (std::size_t i = 0; i < count; ++i)
            sum += step(samples[i], s);
        m_state = s;
        return sum;
    }

private:
    // One sample through both sections (transposed direct form II); its weighted square.
    double step(double x, std::array<double, 4> &s) const {
        const double y = m_b0 * x + s[0];
        s[0] = m_b1 * x - m_a1 * y + s[1];
        s[1] = m_b2 * x - m_a2 * y;
        const double z = y + s[2];
        s[2] = -2.0 * y - m_h1 * z + s[3];
        s[3] = y - m_h2 * z;
        return z * z;
    }

    double m_b0 = 1.0, m_b1 = 0.0, m_b2 = 0.0, m_a1 = 0.0, m_a2 = 0.0;
    double m_h1 = 0.0, m_h2 = 0.0;
    std::array<double, 4> m_state{};
};

// The sum of squares of `count` samples (four running sums, so that they overlap).
double squares(const float *samples, std::size_t count) {
    float s0 = 0.0f, s1 = 0.0f, s2 = 0.0f, s3 = 0.0f;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        s0 += samples[i] * samples[i];
        s1 += samples[i + 1] * samples[i + 1];
        s2 += samples[i + 2] * samples[i + 2];
        s3 += samples[i + 3] * samples[i + 3];
    }
    for (; i < count; ++i)
        s0 += samples[i] * samples[i];
    return double(s0) + double(s1) + double(s2) + double(s3);
}

// BS.1770 loudness (LUFS) of a mean-square energy.
double lufsOf(double energy) {
    return energy > 0.0 ? -0.691 + 10.0 * std::log10(energy) : -HUGE_VAL;
}

// The slow leveler. It K-weights what goes out (after the limiter) in 100 ms blocks, as BS.1770
// measures loudness, and takes what came in (after noise suppression, before the gain) as that
// less the gain and what the limiter took off (its energy before and after); four blocks make
// the momentary loudness (400 ms), thirty of the output's the short-term loudness (3 s).
//
// At the end of a block that counts as speech (see VoiceProcessor) the momentary loudness
// updates a running average of the speech's energy (4 s), and so does the limiter's share. The gain
// wanted brings the speech to the target with the limiter's share made up; the gain moves
// there at most 3 dB/s (6 dB/s while more than 6 dB away, so that a start far off target is
// caught within seconds), as a linear ramp over the next block. Blocks that do not count leave
// it still.
class Leveler {
public:
    bool configure(unsigned int rate) {
        m_weighting.configure(rate);
        m_blockFrames = rate / 10;
        clear();
        return true;
    }

    void clear() {
        m_weighting.clear();
        m_outEnergy = m_limiterIn = m_limiterOut = 0.0;
        m_inBlock = 0;
        m_gainDb = m_nextGainDb = 0.0;
        m_gain = 1.0;
        m_step = 0.0;
        m_speechEnergy = 0.0;
        m_limiterDb = 0.0;
        m_inputBlocks.fill(0.0);
        m_outputBlocks.fill(0.0);
        m_blockCount = 0;
        m_historyCount = 0;
        m_shortTerm = -HUGE_VAL;
        m_restart = false;
    }

    // Forgets the speech heard so far; the gain goes back to unity over the next block.
    void restart() { m_restart = true; }

    double gainDb() const { return m_gainDb; }
    double shortTermLufs() const { return m_shortTerm; }
    std::size_t framesToBlockEnd() const { return m_blockFrames - m_inBlock; }

    // At most framesToBlockEnd() samples from `in` to `out`, the gain applied.
    void apply(const float *in, float *out, std::size_t count) {
        const float from = float(m_gain), step = float(m_step);
        for (std::size_t i = 0; i < count; ++i)
            out[i] = in[i] * (from + step * float(i));
        m_gain += m_step * double(count);
    }

    // The same samples as they go out, past the limiter, with the energy they had before it
    // and after; at the block's end the next gain is set.
    void measure(const float *out, std::size_t count, double beforeLimiter, double afterLimiter) {
        m_outEnergy += m_weighting.energy(out, count);
        m_limiterIn += beforeLimiter;
        m_limiterOut += afterLimiter;
        m_inBlock += unsigned(count);
        if (m_inBlock == m_blockFrames)
            endBlock();
    }

private:
    static constexpr std::size_t kMomentaryBlocks = 4;
    static constexpr std::size_t kShortTermBlocks = 30;
    static constexpr std::size_t kHistoryBlocks = 80; // 8 s
    static constexpr double kSpeechAboveFloorDb = 10.0;
    static constexpr double kAbsoluteGateLufs = -70.0;
    static constexpr double kAverageSeconds = 4.0;
    static constexpr double kSlewDbPerSecond = 3.0;
    static constexpr double kCatchUpDbPerSecond = 6.0;
    static constexpr double kCatchUpBeyondDb = 6.0;
    static constexpr double kMostMadeUpDb = 3.0;     // of the limiter's share
    static constexpr double kMostAboveAverage = 4.0; // 6 dB, in energy
    static constexpr double kBlockSeconds = 0.1;

    void endBlock() {
        // What came in is what went out less the gain (its mean square over the ramp) and what
        // the limiter took off, which scale the loudness alike at every frequency.
        const double output = m_outEnergy / m_blockFrames;
        const double limiterDb = m_limiterIn > 0.0 && m_limiterOut > 0.0
                                     ? 10.0 * std::log10(m_limiterOut / m_limiterIn)
                                     : 0.0;
        const double from = dbToGain(m_gainDb), to = dbToGain(m_nextGainDb);
        const double gainSquared = (from * from + from * to + to * to) / 3.0;
        const double input = output / (gainSquared * std::pow(10.0, limiterDb / 10.0));
        m_outEnergy = m_limiterIn = m_limiterOut = 0.0;
        m_inBlock = 0;
        const std::size_t slot = m_blockCount % kShortTermBlocks;
        m_inputBlocks[m_blockCount % kMomentaryBlocks] = input;
        m_outputBlocks[slot] = output;
        ++m_blockCount;
        const std::size_t filled = std::min<std::size_t>(m_blockCount, kShortTermBlocks);
        double sum = 0.0;
        for (std::size_t i = 0; i < filled; ++i)
            sum += m_outputBlocks[i];
        m_shortTerm = lufsOf(sum / filled);

        m_gainDb = m_nextGainDb;
        if (m_restart) {
            m_restart = false;
            m_speechEnergy = 0.0;
            m_limiterDb = 0.0;
            m_historyCount = 0;
            m_nextGainDb = 0.0;
        } else if (m_blockCount >= kMomentaryBlocks) {
            double momentaryEnergy = 0.0;
            for (double e : m_inputBlocks)
                momentaryEnergy += e;
            const double momentary = lufsOf(momentaryEnergy / kMomentaryBlocks);
            m_history[m_historyCount % kHistoryBlocks] = momentary;
            ++m_historyCount;
            const double floor = *std::min_element(
                m_history.begin(),
                m_history.begin() + std::min<std::size_t>(m_historyCount, kHistoryBlocks));
            if (momentary > kAbsoluteGateLufs && momentary > floor + kSpeechAboveFloorDb)
                follow(momentaryEnergy / kMomentaryBlocks, limiterDb);
        }
        // Ramp from where the gain is now to the block's new value.
        m_gain = dbToGain(m_gainDb);
        m_step = (dbToGain(m_nextGainDb) - m_gain) / m_blockFrames;
    }

    void follow(double momentaryEnergy, double limiterDb) {
        constexpr double weight = kBlockSeconds / kAverageSeconds;
        // A cough or a knock counts no more than speech 6 dB over the average would.
        if (m_speechEnergy <= 0.0)
            m_speechEnergy = momentaryEnergy;
        else
            m_speechEnergy +=
                (std::min(momentaryEnergy, m_speechEnergy * kMostAboveAverage) - m_speechEnergy) *
                weight;
        m_limiterDb += (std::clamp(limiterDb, -2 * kMostMadeUpDb, 0.0) - m_limiterDb) * weight;
        const double madeUp = std::min(kMostMadeUpDb, -m_limiterDb);
        const double wanted =
            std::clamp(VoiceProcessor::kTargetLufs - lufsOf(m_speechEnergy) + madeUp,
                       VoiceProcessor::kMinGainDb, VoiceProcessor::kMaxGainDb);
        const double off = wanted - m_gainDb;
        const double rate =
            std::abs(off) > kCatchUpBeyondDb ? kCatchUpDbPerSecond : kSlewDbPerSecond;
        const double most = rate * kBlockSeconds;
        m_nextGainDb = m_gainDb + std::clamp(off, -most, most);
    }

    KWeighting m_weighting;
    double m_outEnergy = 0.0; // of the block so far, weighted
    double m_limiterIn = 0.0; // of the block so far, before and after the limiter
    double m_limiterOut = 0.0;
    unsigned int m_blockFrames = 4410;
    unsigned int m_inBlock = 0;
    double m_gainDb = 0.0;     // at the start of the current block
    double m_nextGainDb = 0.0; // at its end
    double m_gain = 1.0;       // linear, sample by sample
    double m_step = 0.0;
    double m_speechEnergy = 0.0; // 0 while no speech has been heard
    double m_limiterDb = 0.0;    // what the limiter takes off speech (<= 0)
    std::array<double, kMomentaryBlocks> m_inputBlocks{};
    std::array<double, kShortTermBlocks> m_outputBlocks{};
    std::size_t m_blockCount = 0;
    std::array<double, kHistoryBlocks> m_history{};
    std::size_t m_historyCount = 0;
    double m_shortTerm = -HUGE_VAL;
    bool m_restart = false;
};

// The true-peak limiter. The peak of every sample and of the three points between it and the
// next (a 4x oversampling interpolator, 12 taps a phase) sets the gain that sample may have at
// most; the gain applied is the smallest of those over the 5 ms look-ahead, released over
// 60 ms, then averaged over the look-ahead, so it is down before a peak arrives and never
// steps. Where no sample of a stretch comes near the ceiling, no point between them can pass
// it (the interpolator's gain is bounded) and the interpolation is skipped. The ceiling sits
// 0.2 dB under -1 dBTP for what the interpolator misses.
class TruePeakLimiter {
public:
    void configure(unsigned int rate) {
        m_lookahead = std::max(1u, unsigned(std::lround(rate * 0.005)));
        m_release = 1.0 - std::exp(-1.0 / (0.06 * rate));
        m_ceiling = dbToGain(VoiceProcessor::kCeilingDbtp - 0.2);
        // Windowed sinc for the points at 1/4, 2/4 and 3/4 between x[n] and x[n+1], from
        // x[n-5] .. x[n+6]; each phase scaled to unity gain at DC.
        m_reach = 1.0f;
        for (int p = 0; p < kPhases; ++p) {
            const double frac = (p + 1) / 4.0;
            double taps[kTaps];
            double sum = 0.0;
            for (int j = 0; j < kTaps; ++j) {
                const double t = frac - (j - (kTaps / 2 - 1));
                const double sinc = std::sin(kPi * t) / (kPi * t);
                const double window = 0.5 + 0.5 * std::cos(kPi * t / (kTaps / 2 + 0.5));
                taps[j] = sinc * window;
                sum += taps[j];
            }
            float reach = 0.0f;
            for (int j = 0; j < kTaps; ++j) {
                m_taps[p][j] = float(taps[j] / sum);
                reach += std::abs(m_taps[p][j]);
            }
            m_reach = std::max(m_reach, reach);
        }
        m_window.assign(kTaps - 1 + kSliceFrames, 0.0f);
        m_delay.assign(m_lookahead + 1, 0.0f);
        std::size_t capacity = 1; // a power of two: positions wrap with a mask
        while (capacity < m_lookahead + 2)
            capacity *= 2;
        m_mask = capacity - 1;
        m_required.assign(capacity, 1.0f);
        m_requiredAt.assign(capacity, 0);
        m_inverseLookahead = 1.0 / m_lookahead;
        m_smoothed.assign(m_lookahead, 1.0f);
        clear();
    }

    void clear() {
        std::fill(m_window.begin(), m_window.end(), 0.0f);
        std::fill(m_delay.begin(), m_delay.end(), 0.0f);
        std::fill(m_smoothed.begin(), m_smoothed.end(), 1.0f);
        m_delayPos = 0;
        m_smoothedPos = 0;
        m_smoothedSum = double(m_lookahead);
        m_released = 1.0;
        m_dequeHead = m_dequeSize = 0;
        m_index = 0;
        m_lastPeak = 0.0f;
        m_restRun = 0;
    }

    // The interpolator's reach ahead plus the look-ahead.
    unsigned int delayFrames() const { return unsigned(kTaps / 2) + m_lookahead; }

    // At most kSliceFrames samples, in place.
    void process(float *samples, std::size_t count) {
        // m_window holds the last kTaps - 1 samples of the previous call, then these: the
        // interpolator's window for output i is m_window[i .. i + kTaps).
        float *window = m_window.data();
        std::copy_n(samples, count, window + kTaps - 1);
        for (std::size_t i = 0; i < count; i += kGroup) {
            const std::size_t group = std::min(kGroup, count - i);
            const float most = peakOf(window + i, group + kTaps - 1);
            if (most * m_reach < m_ceiling && m_restRun >= m_lookahead) {
                passQuiet(window + i + kTaps / 2 - 1, samples + i, group);
                continue;
            }
            std::array<float, kGroup> required;
            if (most * m_reach < m_ceiling) {
                std::fill_n(required.begin(), group, 1.0f);
                m_lastPeak = 0.0f;
            } else {
                for (std::size_t j = 0; j < group; ++j) {
                    const float *w = window + i + j;
                    float peak = std::abs(w[kTaps / 2 - 1]);
                    for (int p = 0; p < kPhases; ++p)
                        peak = std::max(peak, std::abs(dot(m_taps[p].data(), w, kTaps)));
                    // A peak between two samples bounds the gain of both.
                    const float around = std::max(peak, m_lastPeak);
                    m_lastPeak = peak;
                    required[j] = around > m_ceiling ? m_ceiling / around : 1.0f;
                }
            }
            limit(window + i + kTaps / 2 - 1, required.data(), samples + i, group);
        }
        std::copy_n(window + count, kTaps - 1, window);
    }

private:
    static constexpr int kPhases = 3;
    static constexpr int kTaps = 12;
    static constexpr std::size_t kGroup = 32;

    // `count` samples from `in` to `out`, each with the gain that every sample of the
    // look-ahead after it allows (`required`, per sample). The state stays in locals meanwhile.
    void limit(const float *in, const float *required, float *out, std::size_t count) {
        float *queue = m_required.data();
        quint64 *queuedAt = m_requiredAt.data();
        float *smoothed = m_smoothed.data();
        float *delay = m_delay.data();
        std::size_t head = m_dequeHead, size = m_dequeSize, smoothedPos = m_smoothedPos;
        std::size_t delayPos = m_delayPos, restRun = m_restRun;
        quint64 index = m_index;
        double released = m_released, smoothedSum = m_smoothedSum;
        const std::size_t mask = m_mask, lookahead = m_lookahead;
        for (std::size_t k = 0; k < count; ++k) {
            // A monotonic queue: the smallest required gain of the last look-ahead + 1 samples.
            while (size > 0 && queue[(head + size - 1) & mask] >= required[k])
                --size;
            queue[(head + size) & mask] = required[k];
            queuedAt[(head + size) & mask] = index;
            ++size;
            while (queuedAt[head] + lookahead < index) {
                head = (head + 1) & mask;
                --size;
            }
            // Taken at once, released slowly.
            const double least = queue[head];
            released = least < released ? least : released + (least - released) * m_release;
            // Back at unity to within -120 dB: at rest once the look-ahead holds nothing else.
            if (least >= 1.0 && released > 1.0 - 1e-6) {
                released = 1.0;
                ++restRun;
            } else {
                restRun = 0;
            }
            // Averaged over the look-ahead: reaches each sample's bound by the time it is out.
            smoothedSum += released - smoothed[smoothedPos];
            smoothed[smoothedPos] = float(released);
            smoothedPos = smoothedPos + 1 == lookahead ? 0 : smoothedPos + 1;
            const double gain = std::min(1.0, smoothedSum * m_inverseLookahead);
            // The sample whose peak was judged look-ahead samples ago leaves now.
            const float leaving = delay[delayPos];
            delay[delayPos] = in[k];
            delayPos = delayPos == lookahead ? 0 : delayPos + 1;
            ++index;
            out[k] = float(leaving * gain);
        }
        m_dequeHead = head;
        m_dequeSize = size;
        m_smoothedPos = smoothedPos;
        m_delayPos = delayPos;
        m_restRun = restRun;
        m_index = index;
        m_released = released;
        m_smoothedSum = smoothedSum;
    }

    // The largest magnitude among `count` samples (four running maxima: one alone waits on
    // itself at every sample).
    static float peakOf(const float *samples, std::size_t count) {
        float m0 = 0.0f, m1 = 0.0f, m2 = 0.0f, m3 = 0.0f;
        std::size_t k = 0;
        for (; k + 4 <= count; k += 4) {
            m0 = std::max(m0, std::abs(samples[k]));
            m1 = std::max(m1, std::abs(samples[k + 1]));
            m2 = std::max(m2, std::abs(samples[k + 2]));
            m3 = std::max(m3, std::abs(samples[k + 3]));
        }
        for (; k < count; ++k)
            m0 = std::max(m0, std::abs(samples[k]));
        return std::max(std::max(m0, m1), std::max(m2, m3));
    }

    // At rest (every gain in the look-ahead at unity) and far from the ceiling: the samples
    // only go through the look-ahead's delay.
    void passQuiet(const float *in, float *out, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
            out[k] = m_delay[m_delayPos];
            m_delay[m_delayPos] = in[k];
            m_delayPos = m_delayPos == m_lookahead ? 0 : m_delayPos + 1;
        }
        m_index += count;
        m_dequeHead = 0;
        m_dequeSize = 1;
        m_required[0] = 1.0f;
        m_requiredAt[0] = m_index - 1;
        m_smoothedPos = (m_smoothedPos + count) % m_lookahead;
        m_smoothedSum = double(m_lookahead);
        m_restRun += count;
        m_lastPeak = 0.0f;
    }

    std::array<std::array<float, kTaps>, kPhases> m_taps{};
    float m_reach = 1.0f; // the most any interpolated point can exceed its neighbours by
    std::vector<float> m_window;
    std::vector<float> m_delay;
    std::size_t m_delayPos = 0;
    std::vector<float> m_required;
    std::vector<quint64> m_requiredAt;
    std::size_t m_dequeHead = 0;
    std::size_t m_dequeSize = 0;
    std::vector<float> m_smoothed;
    std::size_t m_smoothedPos = 0;
    double m_smoothedSum = 0.0;
    double m_released = 1.0;
    double m_release = 0.0;
    float m_ceiling = 1.0f;
    float m_lastPeak = 0.0f;
    unsigned int m_lookahead = 1;
    quint64 m_index = 0;
    std::size_t m_restRun = 0; // steps in a row with every gain at unity
    std::size_t m_mask = 0;    // of the queue's positions
    double m_inverseLookahead = 1.0;
};

} // namespace

struct VoiceProcessor::Pipeline {
    Denoiser denoiser;
    Leveler leveler;
    TruePeakLimiter limiter;
    std::vector<float> denoised;
    std::vector<float> wet;
    std::vector<qint16> dry;
    bool clearUpperVectors = false;
    unsigned int fadeFrames = 1;
    unsigned int holdFrames = 0; // switched on: frames before the crossfade begins
    double mix = 0.0;            // the processed share of the output, 0..1

    // Empties the pipeline; its delay stays as it is.
    void clear() {
        denoiser.clear();
        limiter.clear();
    }

    // `count` samples through the stages into `wet` (as floats).
    void run(const qint16 *in, std::size_t count) {
        float *clean = denoised.data();
        for (std::size_t i = 0; i < count; ++i)
            clean[i] = in[i] / 32768.0f;
        denoiser.process(clean, count);
        for (std::size_t done = 0; done < count;) {
            const std::size_t piece = std::min(count - done, leveler.framesToBlockEnd());
            float *out = wet.data() + done;
            leveler.apply(clean + done, out, piece);
            const double beforeLimiter = squares(out, piece);
            limiter.process(out, piece);
            leveler.measure(out, piece, beforeLimiter, squares(out, piece));
            done += piece;
        }
    }
};

VoiceProcessor::VoiceProcessor()
    : m_shortTermLufs(-std::numeric_limits<float>::infinity()) {
}

VoiceProcessor::~VoiceProcessor() = default;

bool VoiceProcessor::configure(unsigned int sampleRate) {
    m_pipeline.reset();
    m_sampleRate = 0;
    m_running = false;
    m_resetRequested = false;
    m_shortTermLufs = -std::numeric_limits<float>::infinity();
    m_gainDb = 0.0f;
    if (sampleRate != 16000 && sampleRate != 22050 && sampleRate != 32000 && sampleRate != 44100 &&
        sampleRate != 48000)
        return false;
    auto pipeline = std::make_unique<Pipeline>();
    if (!pipeline->denoiser.configure(sampleRate) || !pipeline->leveler.configure(sampleRate))
        return false;
    pipeline->limiter.configure(sampleRate);
    pipeline->denoised.assign(kSliceFrames, 0.0f);
    pipeline->wet.assign(kSliceFrames, 0.0f);
    pipeline->dry.assign(kSliceFrames, 0);
    pipeline->clearUpperVectors = canClearUpperVectors();
    pipeline->fadeFrames = unsigned(std::lround(sampleRate * kFadeSeconds));
    m_pipeline = std::move(pipeline);
    m_sampleRate = sampleRate;
    return true;
}

bool VoiceProcessor::isConfigured() const {
    return m_pipeline != nullptr;
}

unsigned int VoiceProcessor::latencyFrames() const {
    return m_pipeline ? m_pipeline->denoiser.delayFrames() + m_pipeline->limiter.delayFrames() : 0;
}

void VoiceProcessor::process(const qint16 *in, qint16 *out, unsigned int frames) {
    Pipeline *p = m_pipeline.get();
    const bool enabled = m_enabled.load();
    if (p && p->clearUpperVectors && (m_running || enabled))
        clearUpperVectors();
    if (p && m_resetRequested.exchange(false))
        p->leveler.restart();
    if (!p || (!enabled && !m_running)) {
        if (in != out)
            std::memmove(out, in, frames * sizeof(qint16));
        return;
    }
    if (!m_running) {
        // Switched on: what the pipeline held from an earlier run is let go. The processed
        // output takes over from the input once it comes through the pipeline (its delay and
        // the filters' few milliseconds), crossfaded.
        p->clear();
        p->mix = 0.0;
        p->holdFrames = latencyFrames() + m_sampleRate / 100;
        m_running = true;
    }
    const double target = enabled ? 1.0 : 0.0;
    const double fadeStep = 1.0 / p->fadeFrames;
    unsigned int done = 0;
    while (done < frames && m_running) {
        const unsigned int count = std::min(frames - done, kSliceFrames);
        const qint16 *source = in + done;
        qint16 *sink = out + done;
        std::copy_n(source, count, p->dry.data()); // `in` may be `out`
        p->run(p->dry.data(), count);
        // While the crossfade waits or runs, sample by sample; then a plain conversion.
        unsigned int i = 0;
        for (; i < count && (p->holdFrames > 0 || p->mix != target); ++i) {
            if (p->holdFrames > 0)
                --p->holdFrames;
            else
                p->mix = target > p->mix ? std::min(1.0, p->mix + fadeStep)
                                         : std::max(0.0, p->mix - fadeStep);
            sink[i] = toSample(float(p->dry[i] / 32768.0 * (1.0 - p->mix) + p->wet[i] * p->mix));
        }
        if (p->mix >= 1.0) {
            for (; i < count; ++i)
                sink[i] = toSample(p->wet[i]);
        } else {
            std::copy(p->dry.data() + i, p->dry.data() + count, sink + i);
        }
        m_shortTermLufs.store(float(p->leveler.shortTermLufs()), std::memory_order_relaxed);
        m_gainDb.store(float(p->leveler.gainDb()), std::memory_order_relaxed);
        done += count;
        if (p->mix <= 0.0 && target <= 0.0)
            m_running = false; // faded out: the rest passes untouched
    }
    if (done < frames && in != out)
        std::memmove(out + done, in + done, (frames - done) * sizeof(qint16));
    if (!m_running)
        m_shortTermLufs.store(-std::numeric_limits<float>::infinity());
}

} // namespace castora::engine
