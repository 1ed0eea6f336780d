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

} // namespace castora::engine
