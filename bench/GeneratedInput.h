#pragma once

// The engine's benchmarks without a sound card: a tone to broadcast, an AudioInput that plays
// it into the engine's capture callback, and the request the program would make at Start.
#include "AudioInput.h"
#include "BroadcastEngine.h"
#include "Mp3Encoder.h"

#include <lame/lame.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace castora::bench {

// What the engine asks of the audio library.
constexpr unsigned int kBufferFrames = 16384;

// A speaking-level tone with some noise, computed before anything is measured.
std::vector<qint16> makeAudio(unsigned int rate, double seconds);

// The request of a Start at `quality` to the icecast2 on `port`, on a mount of its own, with
// the recording in `folder` (none when empty).
engine::BroadcastRequest benchRequest(quint16 port, int quality, const QString &folder);

// The audio library's part, played by a thread that hands prepared buffers (the audio, looped)
// to the engine's callback and counts only the CPU time spent inside the callback.
//
// At real-time pace by default; with a `mayFeed` predicate, as fast as it allows (a buffer each
// time it returns true), for runs that compress hours into minutes.
class GeneratedInput final : public engine::AudioInput {
public:
    // With `baseline` settings, every buffer is also encoded by a bare LAME of those settings
    // on the same thread, alternately before and after the callback, so both see the same
    // caches and the same machine load.
    explicit GeneratedInput(const std::vector<qint16> &audio,
                            std::optional<engine::EncoderSettings> baseline = std::nullopt,
                            std::function<bool()> mayFeed = {});
    ~GeneratedInput() override;

    std::vector<engine::AudioDevice> devices() override { return {device()}; }
    std::optional<engine::AudioDevice> defaultInput() override { return device(); }
    void setDevicesChanged(std::function<void()>) override {}
    bool open(const engine::AudioDevice &device, unsigned int sampleRate, unsigned int &frames,
              Callback callback) override;
    bool start() override;
    void stop() override;
    void close() override;
    bool isOpen() const override { return m_open; }
    bool isRunning() const override { return m_running; }
    bool failed() const override { return false; }
    QString errorText() const override { return QString(); }

    double callbackCpu() const { return m_callbackCpu.load(); }
    double baselineCpu() const { return m_baselineCpu.load(); }
    double deliveredSeconds() const { return double(m_delivered.load()) / m_rate; }

    static engine::AudioDevice device();

private:
    void feed();
    bool waitForTurn(std::chrono::steady_clock::time_point &next,
                     std::chrono::steady_clock::duration period);
    void encodeBaseline(const qint16 *samples);

    const std::vector<qint16> &m_audio;
    std::optional<engine::EncoderSettings> m_baseline;
    std::function<bool()> m_mayFeed;
    lame_t m_lame = nullptr;
    std::vector<unsigned char> m_out;
    std::atomic<double> m_baselineCpu{0.0};
    Callback m_callback;
    unsigned int m_rate = 44100;
    unsigned int m_frames = kBufferFrames;
    std::size_t m_position = 0;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_running{false};
    std::atomic<double> m_callbackCpu{0.0};
    std::atomic<quint64> m_delivered{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

} // namespace castora::bench
