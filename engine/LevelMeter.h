#pragma once

#include <QtGlobal>

#include <array>
#include <atomic>
#include <cstdint>

namespace castora::engine {

// The input level for the meter. A capture buffer lasts long (16384 frames are 0.74 s at
// 22050 Hz) while the meter ticks every 33 ms, so the capture callback cuts each buffer into
// slices of about one tick and the meter shows one slice per tick: it moves with the audio
// instead of flashing once per buffer. One writer (the capture thread), one reader (the GUI
// thread), no locks; a full ring drops slices rather than wait.
class LevelMeter {
public:
    static constexpr unsigned int kTickMs = 33;

    // Frames per slice for a sample rate; set before capture starts.
    void setSampleRate(unsigned int sampleRate);

    // Capture thread: the peak of every slice of the buffer, in thousandths of full scale.
    void publish(const qint16 *samples, unsigned int frames);

    // GUI thread: the next slice's peak; 0 when none is waiting (no audio is coming in).
    // When the reader has fallen behind by more than a buffer, it skips to the newest slices.
    int take();
    // GUI thread: forget what is waiting.
    void clear() { m_tail.store(m_head.load()); }

private:
    static constexpr std::uint32_t kCapacity = 256; // a power of two

    std::array<std::atomic<int>, kCapacity> m_slices{};
    std::atomic<std::uint32_t> m_head{0}; // written by the capture thread
    std::atomic<std::uint32_t> m_tail{0}; // written by the GUI thread
    std::atomic<std::uint32_t> m_lastBatch{1};
    std::atomic<unsigned int> m_sliceFrames{727};
};

// Dead air: the input has stayed below about -50 dBFS (every sample under 104 of 32768) for
// 20 s. Counted sample by sample, so the state follows the audio to the sample whatever the
// buffer size: the quiet began at the first quiet sample after the last loud one, and ends
// with the first loud sample. One buffer costs a scan back to its last loud sample (a short
// one while there is sound).
class DeadAirWatch {
public:
    static constexpr int kQuietBelow = 104; // 32768 x 10^(-50/20) = 103.6
    static constexpr unsigned int kSeconds = 20;

    void setSampleRate(unsigned int sampleRate) { m_limit = quint64(sampleRate) * kSeconds; }
    void reset() { m_quietFrames = 0; }
    // Takes the next buffer; true when the input is dead air after it.
    bool feed(const qint16 *samples, unsigned int frames);
    bool deadAir() const { return m_limit > 0 && m_quietFrames >= m_limit; }
    quint64 quietFrames() const { return m_quietFrames; }

private:
    quint64 m_quietFrames = 0;
    quint64 m_limit = 0;
};

} // namespace castora::engine
