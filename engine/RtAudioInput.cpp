#include "RtAudioInput.h"

#include <RtAudio.h>

#include <QDebug>

namespace castora::engine {

namespace {

RtAudio::Api captureApi() {
#if defined(Q_OS_WIN)
    return RtAudio::WINDOWS_DS;
#elif defined(Q_OS_MACOS)
    return RtAudio::MACOSX_CORE;
#else
    return RtAudio::LINUX_PULSE;
#endif
}

} // namespace

RtAudioInput::RtAudioInput() {
    try {
        m_audio = std::make_unique<RtAudio>(captureApi());
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
        qWarning() << "Audio interface unavailable:" << m_error;
    }
}

RtAudioInput::~RtAudioInput() {
    close();
}

AudioDevice RtAudioInput::describe(unsigned int id) {
    AudioDevice device;
    device.id = id;
    try {
        const RtAudio::DeviceInfo info = m_audio->getDeviceInfo(id);
        if (!info.probed)
            return device;
        device.name = QString::fromUtf8(info.name.c_str());
        device.inputChannels = info.inputChannels;
        device.sampleRates = info.sampleRates;
        device.preferredRate = info.preferredSampleRate;
        device.isDefaultInput = info.isDefaultInput;
    } catch (const RtAudioError &error) {
        // A device that cannot be described counts as one without inputs.
        m_error = QString::fromStdString(error.getMessage());
    }
    return device;
}

std::vector<AudioDevice> RtAudioInput::devices() {
    std::lock_guard lock(m_mutex);
    std::vector<AudioDevice> list;
    if (!m_audio)
        return list;
    try {
        // The device watch asks every 2 s; a missing sound server is not news each time.
        m_audio->showWarnings(false);
        const unsigned int count = m_audio->getDeviceCount();
        for (unsigned int id = 0; id < count; ++id)
            list.push_back(describe(id));
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
    }
    return list;
}

std::optional<AudioDevice> RtAudioInput::defaultInput() {
    std::lock_guard lock(m_mutex);
    if (!m_audio)
        return std::nullopt;
    try {
        m_audio->showWarnings(false);
        if (m_audio->getDeviceCount() == 0)
            return std::nullopt;
        const AudioDevice device = describe(m_audio->getDefaultInputDevice());
        if (device.inputChannels == 0)
            return std::nullopt;
        return device;
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
        return std::nullopt;
    }
}

int RtAudioInput::onAudio(void *, void *input, unsigned int frames, double, unsigned int,
                          void *self) {
    auto *that = static_cast<RtAudioInput *>(self);
    if (input && that->m_callback)
        that->m_callback(static_cast<const qint16 *>(input), frames);
    return 0;
}

bool RtAudioInput::open(unsigned int deviceId, unsigned int sampleRate, unsigned int &frames,
                        Callback callback) {
    std::lock_guard lock(m_mutex);
    if (!m_audio) {
        m_error = QStringLiteral("No audio interface");
        return false;
    }
    try {
        if (m_audio->isStreamOpen())
            m_audio->closeStream();
        m_callback = std::move(callback);
        RtAudio::StreamParameters parameters;
        parameters.deviceId = deviceId;
        parameters.nChannels = 1;
        parameters.firstChannel = 0;
        m_audio->showWarnings(true);
        m_audio->openStream(nullptr, &parameters, RTAUDIO_SINT16, sampleRate, &frames,
                            &RtAudioInput::onAudio, this);
        return true;
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
        m_callback = nullptr;
        return false;
    }
}

bool RtAudioInput::start() {
    std::lock_guard lock(m_mutex);
    if (!m_audio || !m_audio->isStreamOpen()) {
        m_error = QStringLiteral("The capture stream is not open");
        return false;
    }
    try {
        if (!m_audio->isStreamRunning())
            m_audio->startStream();
        return true;
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
        return false;
    }
}

void RtAudioInput::stop() {
    std::lock_guard lock(m_mutex);
    if (!m_audio)
        return;
    try {
        if (m_audio->isStreamRunning())
            m_audio->stopStream();
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
    }
}

void RtAudioInput::close() {
    std::lock_guard lock(m_mutex);
    if (!m_audio)
        return;
    try {
        if (m_audio->isStreamRunning())
            m_audio->stopStream();
        if (m_audio->isStreamOpen())
            m_audio->closeStream();
    } catch (const RtAudioError &error) {
        m_error = QString::fromStdString(error.getMessage());
    }
    m_callback = nullptr;
}

bool RtAudioInput::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_audio && m_audio->isStreamOpen();
}

bool RtAudioInput::isRunning() const {
    std::lock_guard lock(m_mutex);
    return m_audio && m_audio->isStreamRunning();
}

QString RtAudioInput::errorText() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

} // namespace castora::engine
