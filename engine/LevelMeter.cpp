#include "LevelMeter.h"

#include "AudioInput.h"

#include <algorithm>
#include <cstdlib>

namespace castora::engine {

void LevelMeter::setSampleRate(unsigned int sampleRate) {
    m_sliceFrames.store(std::max(1u, sampleRate * kTickMs / 1000));
}

void LevelMeter::publish(const qint16 *samples, unsigned int frames) {
    const unsigned int slice = m_sliceFrames.load(std::memory_order_relaxed);
    std::uint32_t head = m_head.load(std::memory_order_relaxed);
    std::uint32_t batch = 0;
    for (unsigned int done = 0; done < frames || (frames == 0 && batch == 0);) {
        const unsigned int count = std::min(slice, frames - done);
        if (head - m_tail.load(std::memory_order_acquire) >= kCapacity)
            break; // the reader is away: drop rather than wait
        m_slices[head % kCapacity].store(peakThousandths(samples + done, count),
                                         std::memory_order_relaxed);
        ++head;
        ++batch;
        done += count;
        if (count == 0)
            break;
    }
    m_lastBatch.store(std::max<std::uint32_t>(1, batch), std::memory_order_relaxed);
    m_head.store(head, std::memory_order_release);
}

int LevelMeter::take() {
    const std::uint32_t head = m_head.load(std::memory_order_acquire);
    std::uint32_t tail = m_tail.load(std::memory_order_relaxed);
    if (head == tail)
        return 0;
    const std::uint32_t batch = m_lastBatch.load(std::memory_order_relaxed);
    if (head - tail > batch + batch / 2)
        tail = head - batch; // behind by more than a buffer: show the newest one
    const int level = m_slices[tail % kCapacity].load(std::memory_order_relaxed);
    m_tail.store(tail + 1, std::memory_order_release);
    return level;
}

bool DeadAirWatch::feed(const qint16 *samples, unsigned int frames) {
    unsigned int loudEnd = frames; // one past the last loud sample
    while (loudEnd > 0 && std::abs(int(samples[loudEnd - 1])) < kQuietBelow)
        --loudEnd;
    m_quietFrames = loudEnd == 0 ? m_quietFrames + frames : frames - loudEnd;
    return deadAir();
}

} // namespace castora::engine
