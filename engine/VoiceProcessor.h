#pragma once

#include <QtGlobal>

#include <atomic>
#include <memory>

namespace castora::engine {

// Voice processing for one microphone, between the capture and the encoder: noise suppression
// for steady background noise, a slow loudness leveler aiming at -16 LUFS, and a true-peak
// limiter at -1 dBTP. Mono signed 16-bit samples at 16000, 22050, 32000, 44100 or 48000 Hz, in
// buffers of any size (the output does not depend on how the input is cut into buffers).
//
//   in -> noise suppression -> leveler (gain -12..+24 dB) -> true-peak limiter -> out
//         WebRTC's on the band   K-weighted (BS.1770)          4x oversampled peaks,
//         below 3.7 kHz at 8 kHz before its gain; at most      5 ms look-ahead,
//         (10 ms frames, 80 Hz   3 dB/s, held in pauses        -1.2 dBTP ceiling
//         high-pass), the band
//         above following it
//
// The leveler follows the loudness of speech only: a 100 ms block counts when its momentary
// loudness stands 10 dB above the quietest of the last 8 s (the noise left after suppression)
// and above -70 LUFS. In pauses the gain stays where it is, so neither the breaths nor the
// room are pulled up.
//
// process() runs on the capture thread: it allocates nothing, takes no lock of ours and never
// waits (WebRTC's processing takes a mutex of its own, which nothing else ever holds). One
// thread at a time calls it. While processing is on, the output lags the input by about 22 ms
// (latencyFrames(): the suppressor's frame and window, the resamplers' reach and the limiter's
// look-ahead). Off, the output is the input, bit for bit, at no delay and no cost. Switching on
// or off takes effect at the next buffer with a 20 ms crossfade that bridges the delay
// (switching on repeats about 22 ms, switching off skips them). About 1 ms of CPU per second
// of audio at 22050 Hz on the machines this is developed on, a fifth of what it took with the
// suppressor at 32 kHz over the whole band.
class VoiceProcessor {
public:
    static constexpr double kTargetLufs = -16.0;
    static constexpr double kCeilingDbtp = -1.0;
    static constexpr double kMinGainDb = -12.0;
    static constexpr double kMaxGainDb = 24.0;

    VoiceProcessor();
    ~VoiceProcessor();
    VoiceProcessor(const VoiceProcessor &) = delete;
    VoiceProcessor &operator=(const VoiceProcessor &) = delete;

    // Sets the processor up for a sample rate (22050, 44100 or 48000; false for any other)
    // and starts afresh. Allocates: never while process() may run.
    bool configure(unsigned int sampleRate);
    bool isConfigured() const;
    unsigned int sampleRate() const { return m_sampleRate; }

    // Any thread; the next buffer is processed (or passed through) accordingly.
    void setEnabled(bool enabled) { m_enabled.store(enabled); }
    bool isEnabled() const { return m_enabled.load(); }
    // The capture thread: the next buffer goes through the pipeline (on, or still fading out
    // after being switched off). When false, process() would only copy.
    bool isActive() const { return m_pipeline && (m_running || m_enabled.load()); }
    // Any thread: the leveler starts afresh, for a new microphone or a new broadcast: it forgets
    // the speech heard so far and its gain returns to unity within 0.2 s (a ramp, no step).
    // Noise suppression keeps what it learnt of the room.
    void reset() { m_resetRequested.store(true); }

    // The capture thread: `frames` samples from `in` to `out` (which may be the same buffer).
    // Not configured, or off: `out` is a copy of `in`.
    void process(const qint16 *in, qint16 *out, unsigned int frames);

    // The output's short-term loudness (3 s, LUFS; -inf while silent or off) and the leveler's
    // gain (dB), updated as buffers go through; any thread.
    float shortTermLufs() const { return m_shortTermLufs.load(std::memory_order_relaxed); }
    float gainDb() const { return m_gainDb.load(std::memory_order_relaxed); }
    // The buffering and look-ahead of the processed output against the input, in frames.
    unsigned int latencyFrames() const;

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> m_pipeline;
    unsigned int m_sampleRate = 0;
    std::atomic<bool> m_enabled{false};
    std::atomic<bool> m_resetRequested{false};
    bool m_running = false; // capture thread: the last buffer went through the pipeline
    std::atomic<float> m_shortTermLufs;
    std::atomic<float> m_gainDb{0.0f};
};

} // namespace castora::engine
