#pragma once

#include "AudioInput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace castora::test {

// An audio input driven by the test: its device list can change (hot-plug, announced as the
// real device watch does), opening and starting can be made to fail, a running stream can break
// as when its device is pulled, and once started a feeder thread plays a sine (or silence) at
// real-time pace, or faster, through the callback, as the audio library's capture thread would.
class ScriptedAudioInput final : public castora::engine::AudioInput {
public:
    using AudioDevice = castora::engine::AudioDevice;

    ~ScriptedAudioInput() override { close(); }

    static AudioDevice device(unsigned int id, const QString &name, std::vector<unsigned int> rates,
                              unsigned int inputs = 1, bool isDefault = false,
                              const QString &key = {}) {
        const unsigned int preferred = rates.empty() ? 0 : rates.front();
        return {id, name, key, inputs, std::move(rates), preferred, isDefault};
    }
    // A list of one "Scripted Microphone" (44100/48000/22050 Hz) unless set otherwise.
    void setDevices(std::vector<AudioDevice> devices) {
        {
            std::lock_guard lock(m_mutex);
            m_devices = std::move(devices);
        }
        std::lock_guard lock(m_changedMutex);
        if (m_changed)
            m_changed();
    }
    // Opening and starting fail with these texts from now on (empty: they succeed).
    void setFailures(const QString &openError, const QString &startError) {
        std::lock_guard lock(m_mutex);
        m_openError = openError;
        m_startError = startError;
    }
    // The buffer size the "hardware" settles on (0: as asked).
    void setGrantedFrames(unsigned int frames) { m_grantedFrames = frames; }
    // `amplitude` of full scale: 0 is silence, 1 reaches full scale.
    void setTone(double frequency, double amplitude = 0.5) {
        std::lock_guard lock(m_mutex);
        m_frequency = frequency;
        m_amplitude = amplitude;
    }
    // Buffers come `speed` times faster than real time (the engine measures dead air in audio).
    void setSpeed(double speed) { m_speed = speed; }
    // The open stream breaks as when its device is pulled: it delivers nothing more and says
    // failed() until it is opened again.
    void breakStream() { m_failed = true; }
    // The stream stops delivering without a word (a suspended source, a stalled device) and,
    // with `false`, goes on where the clock is.
    void stall(bool stalled) { m_stalled = stalled; }
    // Opening takes this long from now on (a sound server that is slow to answer), unless
    // released earlier.
    void setOpenDelay(std::chrono::milliseconds delay) { m_openDelay = delay; }
    void releaseOpens() {
        std::lock_guard lock(m_delayMutex);
        m_openDelay = std::chrono::milliseconds(0);
        m_released.notify_all();
    }

    int opens() const { return m_opens.load(); }
    int openAttempts() const { return m_openAttempts.load(); }
    quint64 framesDelivered() const { return m_delivered.load(); }
    // Frames delivered before the first buffer of the tone as last set.
    quint64 toneFrom() const { return m_toneFrom.load(); }
    unsigned int openDeviceId() const { return m_openDevice.load(); }
    unsigned int openRate() const { return m_openRate.load(); }

    std::vector<AudioDevice> devices() override {
        std::lock_guard lock(m_mutex);
        return m_devices;
    }
    std::optional<AudioDevice> defaultInput() override {
        const std::vector<AudioDevice> inputs = engine::inputDevices(devices());
        const auto chosen = std::find_if(inputs.begin(), inputs.end(),
                                         [](const AudioDevice &d) { return d.isDefaultInput; });
        if (chosen != inputs.end())
            return *chosen;
        return inputs.empty() ? std::nullopt : std::optional(inputs.front());
    }
    void setDevicesChanged(std::function<void()> changed) override {
        std::lock_guard lock(m_changedMutex);
        m_changed = std::move(changed);
    }
    bool open(const AudioDevice &device, unsigned int sampleRate, unsigned int &frames,
              Callback callback) override {
        close();
        ++m_openAttempts;
        {
            std::unique_lock delay(m_delayMutex);
            m_released.wait_for(delay, m_openDelay.load(),
                                [this] { return m_openDelay.load().count() == 0; });
        }
        std::lock_guard lock(m_mutex);
        const bool known = std::any_of(m_devices.begin(), m_devices.end(), [&](const auto &d) {
            return d.name == device.name && d.inputChannels > 0;
        });
        if (!known || !m_openError.isEmpty()) {
            m_error = known ? m_openError : QStringLiteral("No such device");
            return false;
        }
        frames = m_grantedFrames > 0 ? m_grantedFrames.load() : frames;
        m_frames = frames;
        m_callback = std::move(callback);
        m_openDevice = device.id;
        m_openRate = sampleRate;
        m_failed = false;
        m_isOpen = true;
        ++m_opens;
        return true;
    }
    bool start() override {
        std::lock_guard lock(m_mutex);
        if (!m_isOpen || !m_startError.isEmpty()) {
            m_error = m_isOpen ? m_startError : QStringLiteral("Not open");
            return false;
        }
        if (!m_running.exchange(true))
            m_feeder = std::thread([this] { feed(); });
        return true;
    }
    void stop() override {
        m_running = false;
        if (m_feeder.joinable())
            m_feeder.join();
    }
    void close() override {
        stop();
        std::lock_guard lock(m_mutex);
        m_isOpen = false;
        m_callback = nullptr;
    }
    bool isOpen() const override { return m_isOpen.load(); }
    bool isRunning() const override { return m_running.load(); }
    bool failed() const override { return m_failed.load(); }
    QString errorText() const override {
        std::lock_guard lock(m_mutex);
        return m_error;
    }

private:
    // Delivers a buffer of the tone (its phase running on) every buffer period until stopped.
    void feed() {
        using Clock = std::chrono::steady_clock;
        const auto period = [this] {
            return std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(double(m_frames) / m_openRate / m_speed));
        };
        std::vector<qint16> samples(m_frames);
        double phase = 0.0;
        double playing = -1.0; // the amplitude of the last buffer
        for (auto next = Clock::now() + period(); m_running && !m_failed; next += period()) {
            std::this_thread::sleep_until(next);
            std::unique_lock lock(m_mutex);
            const double step = 2.0 * M_PI * m_frequency / double(m_openRate.load());
            const double amplitude = m_amplitude * 32767.0;
            const Callback callback = m_callback;
            lock.unlock();
            for (qint16 &sample : samples) {
                sample = qint16(std::lround(std::sin(phase) * amplitude));
                phase = std::fmod(phase + step, 2.0 * M_PI);
            }
            if (m_running && !m_failed && !m_stalled && callback) {
                if (amplitude != playing)
                    m_toneFrom = m_delivered.load();
                playing = amplitude;
                callback(samples.data(), unsigned(samples.size()));
                m_delivered += samples.size();
            }
        }
    }

    mutable std::mutex m_mutex;
    std::vector<AudioDevice> m_devices{
        device(0, QStringLiteral("Scripted Microphone"), {44100, 48000, 22050}, 1, true)};
    QString m_openError, m_startError, m_error; // empty open or start error: it succeeds
    std::atomic<unsigned int> m_grantedFrames{0};
    unsigned int m_frames = 0;
    double m_frequency = 440.0;
    double m_amplitude = 0.5;
    std::atomic<double> m_speed{1.0};
    Callback m_callback;
    std::atomic<bool> m_isOpen{false}, m_running{false}, m_failed{false}, m_stalled{false};
    std::atomic<std::chrono::milliseconds> m_openDelay{std::chrono::milliseconds(0)};
    std::mutex m_delayMutex;
    std::condition_variable m_released;
    std::atomic<quint64> m_delivered{0}, m_toneFrom{0};
    std::atomic<int> m_opens{0}, m_openAttempts{0};
    std::atomic<unsigned int> m_openDevice{0}, m_openRate{0};
    std::thread m_feeder;
    std::mutex m_changedMutex;
    std::function<void()> m_changed;
};

} // namespace castora::test
