#include "ScriptedAudioInput.h"

#include <cmath>

using castora::engine::AudioDevice;

namespace castora::test {

ScriptedAudioInput::ScriptedAudioInput() {
    m_devices = {device(0, QStringLiteral("Scripted Microphone"), {44100, 48000, 22050}, 1, true)};
}

ScriptedAudioInput::~ScriptedAudioInput() {
    close();
}

AudioDevice ScriptedAudioInput::device(unsigned int id, const QString &name,
                                       std::vector<unsigned int> rates, unsigned int inputs,
                                       bool isDefault) {
    AudioDevice d;
    d.id = id;
    d.name = name;
    d.inputChannels = inputs;
    d.sampleRates = std::move(rates);
    d.preferredRate = d.sampleRates.empty() ? 0 : d.sampleRates.front();
    d.isDefaultInput = isDefault;
    return d;
}

void ScriptedAudioInput::setDevices(std::vector<AudioDevice> devices) {
    std::lock_guard lock(m_mutex);
    m_devices = std::move(devices);
}

void ScriptedAudioInput::failOpen(bool fail, const QString &error) {
    std::lock_guard lock(m_mutex);
    m_failOpen = fail;
    m_openError = error;
}

void ScriptedAudioInput::failStart(bool fail, const QString &error) {
    std::lock_guard lock(m_mutex);
    m_failStart = fail;
    m_startError = error;
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
    std::lock_guard lock(m_mutex);
    for (const AudioDevice &d : m_devices) {
        if (d.isDefaultInput && d.inputChannels > 0)
            return d;
    }
    for (const AudioDevice &d : m_devices) {
        if (d.inputChannels > 0)
            return d;
    }
    return std::nullopt;
}

bool ScriptedAudioInput::open(unsigned int deviceId, unsigned int sampleRate, unsigned int &frames,
                              Callback callback) {
    close();
    std::lock_guard lock(m_mutex);
    bool known = false;
    for (const AudioDevice &d : m_devices)
        known = known || (d.id == deviceId && d.inputChannels > 0);
    if (m_failOpen || !known) {
        m_error = known ? m_openError : QStringLiteral("No such device");
        return false;
    }
    if (m_grantedFrames > 0)
        frames = m_grantedFrames;
    m_callback = std::move(callback);
    m_openDevice = deviceId;
    m_openRate = sampleRate;
    m_openFrames = frames;
    m_isOpen = true;
    ++m_opens;
    return true;
}

bool ScriptedAudioInput::start() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_isOpen || m_failStart) {
            m_error = m_isOpen ? m_startError : QStringLiteral("Not open");
            return false;
        }
        if (m_running)
            return true;
        m_running = true;
        if (m_frequency <= 0.0)
            return true;
    }
    m_feeding = true;
    m_feeder = std::thread([this] { feed(); });
    return true;
}

void ScriptedAudioInput::stopFeeder() {
    m_feeding = false;
    if (m_feeder.joinable())
        m_feeder.join();
}

void ScriptedAudioInput::stop() {
    stopFeeder();
    m_running = false;
}

void ScriptedAudioInput::close() {
    stop();
    std::lock_guard lock(m_mutex);
    if (m_isOpen) {
        m_isOpen = false;
        ++m_closes;
    }
    m_callback = nullptr;
}

QString ScriptedAudioInput::errorText() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

std::vector<qint16> ScriptedAudioInput::toneBuffer(unsigned int frames) {
    std::lock_guard lock(m_mutex);
    std::vector<qint16> samples(frames);
    const double rate = m_openRate > 0 ? double(m_openRate.load()) : 44100.0;
    const double step = 2.0 * M_PI * m_frequency / rate;
    for (unsigned int i = 0; i < frames; ++i) {
        samples[i] = qint16(std::lround(std::sin(m_phase) * m_amplitude * 32767.0));
        m_phase = std::fmod(m_phase + step, 2.0 * M_PI);
    }
    return samples;
}

bool ScriptedAudioInput::deliver(const std::vector<qint16> &samples) {
    if (!m_running)
        return false;
    Callback callback;
    {
        std::lock_guard lock(m_mutex);
        callback = m_callback;
    }
    if (!callback)
        return false;
    callback(samples.data(), static_cast<unsigned int>(samples.size()));
    m_delivered += samples.size();
    return true;
}

void ScriptedAudioInput::feed() {
    using Clock = std::chrono::steady_clock;
    const unsigned int frames = m_openFrames;
    const unsigned int rate = m_openRate;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(frames) / rate));
    auto next = Clock::now() + period;
    while (m_feeding) {
        std::this_thread::sleep_until(next);
        if (!m_feeding)
            break;
        deliver(toneBuffer(frames));
        next += period;
    }
}

} // namespace castora::test
