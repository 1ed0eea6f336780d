#pragma once

#include "AudioInput.h"

#include <chrono>
#include <vector>

namespace castora::engine {

// The capture stream's life as a broadcast sees it, in one place: which stream may deliver
// (its generation), from which device, when its last buffer came, and whether the broadcast has
// lost its input. Plain data with named transitions; the engine owns one and guards it with its
// encoder lock (the capture callback, the input watch and the input switch all go through it).
//
//   Closed ──opened──► Waiting ──buffer──► Delivering ◄──buffer── Stalled
//                         │                    │                    ▲
//                         └───── late ─────────┴──── late ──────────┘
//   Waiting, Delivering, Stalled ── broke / device gone ──► Gone ──reopened──► Reopened
//   Reopened ──buffer──► Delivering;  Reopened ── late ──► Stalled;  any ──closed──► Closed
//
// "Late": a stream that delivered once and then has no buffer for a buffer period plus
// kStallGrace, or a new stream without its first buffer after a buffer period plus
// kFirstBufferGrace (PulseAudio takes up to about 2 s for a new stream's first buffer). A
// stalled stream is kept: its buffers may come again (a suspended source, a USB device that
// recovers). A stream that broke, or whose device left the list, is given up for good (PulseAudio
// may move it to another source, which is not what the user chose).
class CaptureState {
public:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Closed, Waiting, Delivering, Stalled, Gone, Reopened };

    static constexpr std::chrono::milliseconds kStallGrace{1000};
    static constexpr std::chrono::milliseconds kFirstBufferGrace{2250};

    Phase phase() const { return m_phase; }
    // The broadcast has no input: Stalled, Gone, or a stream opened again that has not
    // delivered yet. Silence stands in for it meanwhile.
    bool lost() const {
        return m_phase == Phase::Stalled || m_phase == Phase::Gone || m_phase == Phase::Reopened;
    }
    const AudioDevice &device() const { return m_device; }
    unsigned int rate() const { return m_rate; }
    unsigned int frames() const { return m_frames; }
    // When the last buffer came (or the clock was started): silence for a lost input runs from
    // here.
    Clock::time_point lastAudio() const { return m_lastAudio; }

    // A new stream on `device` was opened and started: its first buffer is awaited. While the
    // input is lost, the new stream ends the loss only with its first buffer.
    void opened(const AudioDevice &device, unsigned int rate, unsigned int frames,
                Clock::time_point now) {
        m_phase = lost() ? Phase::Reopened : Phase::Waiting;
        m_device = device;
        m_rate = rate;
        m_frames = frames;
        m_openedAt = now;
    }
    // A broadcast starts on the stream as it runs (delivering for the meter, paused, or
    // opened a moment ago): its next buffer is awaited from `now`, the silence of a loss would
    // be counted from `now` too.
    void restartClock(Clock::time_point now) {
        if (m_phase != Phase::Closed && m_phase != Phase::Gone)
            m_phase = Phase::Waiting;
        m_openedAt = now;
        m_lastAudio = now;
    }
    // A buffer of the current stream came at `at`. True when it ends a loss.
    bool delivered(Clock::time_point at) {
        const bool wasLost = lost();
        m_phase = Phase::Delivering;
        m_lastAudio = at;
        return wasLost;
    }
    // The watch's look at the stream: whether it broke, whether its device is still listed
    // (`devices`: null when the list did not change), and whether it is late. Returns the phase
    // after the look.
    Phase look(Clock::time_point now, bool streamFailed, const std::vector<AudioDevice> *devices) {
        switch (m_phase) {
        case Phase::Closed:
        case Phase::Gone:
            return m_phase;
        case Phase::Waiting:
        case Phase::Delivering:
        case Phase::Stalled:
        case Phase::Reopened:
            break;
        }
        if (streamFailed || (devices && !stillListed(*devices, m_device))) {
            m_phase = Phase::Gone;
            return m_phase;
        }
        const bool first = m_phase == Phase::Waiting || m_phase == Phase::Reopened;
        const Clock::time_point since = first ? m_openedAt : m_lastAudio;
        const auto grace = first ? kFirstBufferGrace : kStallGrace;
        if (m_phase != Phase::Stalled && now > since + period() + grace)
            m_phase = Phase::Stalled;
        return m_phase;
    }
    // The stream was given up (it broke, its device went away, or another was chosen).
    void gone() {
        if (m_phase != Phase::Closed)
            m_phase = Phase::Gone;
    }
    void closed() { m_phase = Phase::Closed; }

    Clock::duration period() const {
        if (m_rate == 0)
            return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(double(m_frames) / m_rate));
    }

private:
    Phase m_phase = Phase::Closed;
    AudioDevice m_device;
    unsigned int m_rate = 0;
    unsigned int m_frames = 0;
    Clock::time_point m_openedAt;
    Clock::time_point m_lastAudio;
};

} // namespace castora::engine
