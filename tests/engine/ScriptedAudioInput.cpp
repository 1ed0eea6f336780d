#include "ScriptedAudioInput.h"

#include <algorithm>
#include <chrono>
#include <cmath>

using castora::engine::AudioDevice;

namespace castora::test {

ScriptedAudioInput::ScriptedAudioInput()
    : m_devices{device(0, QStringLiteral("Scripted Microphone"), {44100, 48000, 22050}, 1, true)} {
}

ScriptedAudioInput::~ScriptedAudioInput() {
    close();
}

AudioDevice ScriptedAudioInput::device(unsigned int id, const QString &name,
                                       std::vector<unsigned int> rates, unsigned int inputs,
                                       bool isDefault) {
    const unsigned int preferred = rates.empty() ? 0 : rates.front();
    return AudioDevice{id, name, inputs, std::move(rates), preferred, isDefault};
}

void ScriptedAudioInput::setDevices(std::vector<AudioDevice> devices) {
    std::lock_guard lock(m_mutex);
    m_devices = std::move(devices);
}

void ScriptedAudioInput::failOpen(bool fail, const QString &error) {
    std::lock_guard lock(m_mutex);
    m_openError = fail ? error : QString();
}

void ScriptedAudioInput::failStart(bool fail, const QString &error) {
    std::lock_guard lock(m_mutex);
    m_startError = fail ? error : QString();
}

void ScriptedAudioInput::setTone(double frequency, double amplitude) {
    std::lock_guard lock(m_mutex);
    m_frequency = frequency;
    m_amplitude = amplitude;
}

std::vector<AudioDevice> ScriptedAudioInput::devices() {
    std::lock_guard lock(m_mutex);
    return m_devices;
}

std::optional<AudioDevice> ScriptedAudioInput::defaultInput() {
    const std::vector<AudioDevice> inputs = engine::inputDevices(devices());
    const auto chosen = std::find_if(inputs.begin(), inputs.end(),
                                     [](const AudioDevice &d) { return d.isDefaultInput; });
    if (chosen != inputs.end())
        return *chosen;
    return inputs.empty() ? std::nullopt : std::optional(inputs.front());
}

bool ScriptedAudioInput::open(unsigned int deviceId, unsigned int sampleRate, unsigned int &frames,
                              Callback callback) {
    close();
    std::lock_guard lock(m_mutex);
    const bool known = std::any_of(m_devices.begin(), m_devices.end(), [&](const AudioDevice &d) {
        return d.id == deviceId && d.inputChannels > 0;
    });
    if (!known || !m_openError.isEmpty()) {
        m_error = known ? m_openError : QStringLiteral("No such device");
        return false;
    }
    if (m_grantedFrames > 0)
        frames = m_grantedFrames;
    m_frames = frames;
    m_callback = std::move(callback);
    m_openDevice = deviceId;
    m_openRate = sampleRate;
    m_isOpen = true;
    ++m_opens;
    return true;
}

bool ScriptedAudioInput::start() {
    std::lock_guard lock(m_mutex);
    if (!m_isOpen || !m_startError.isEmpty()) {
        m_error = m_isOpen ? m_startError : QStringLiteral("Not open");
        return false;
    }
    if (!m_running.exchange(true) && m_frequency > 0.0)
        m_feeder = std::thread([this] { feed(); });
    return true;
}

void ScriptedAudioInput::stop() {
    m_running = false;
    if (m_feeder.joinable())
        m_feeder.join();
}

void ScriptedAudioInput::close() {
    stop();
    std::lock_guard lock(m_mutex);
    m_isOpen = false;
    m_callback = nullptr;
}

QString ScriptedAudioInput::errorText() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::vector<qint16> ScriptedAudioInput::toneBuffer(unsigned int frames) {
    std::lock_guard lock(m_mutex);
    std::vector<qint16> samples(frames);
    const double step = 2.0 * M_PI * m_frequency / double(m_openRate.load());
    for (qint16 &sample : samples) {
        sample = qint16(std::lround(std::sin(m_phase) * m_amplitude * 32767.0));
        m_phase = std::fmod(m_phase + step, 2.0 * M_PI);
    }
    return samples;
}

bool ScriptedAudioInput::deliver(const std::vector<qint16> &samples) {
    Callback callback;
    {
        std::lock_guard lock(m_mutex);
        callback = m_callback;
    }
    if (!m_running || !callback)
        return false;
    callback(samples.data(), static_cast<unsigned int>(samples.size()));
    m_delivered += samples.size();
    return true;
}

// Delivers a buffer of the tone every buffer period until stopped, as a capture thread would.
void ScriptedAudioInput::feed() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(m_frames) / m_openRate));
    for (auto next = Clock::now() + period; m_running; next += period) {
        std::this_thread::sleep_until(next);
        if (m_running)
            deliver(toneBuffer(m_frames));
    }
}

} // namespace castora::test
