#include "RtAudioInput.h"

#if defined(CASTORA_PULSE_DEVICES)
#include "PulseDevices.h"
#endif

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

// RtAudio's error callback carries no user data. An error on a capture thread belongs to the
// adapter whose stream that thread serves (noted at its first buffer); any other error was
// raised inside one of an adapter's own calls, on the calling thread.
thread_local RtAudioInput *t_capturing = nullptr;
thread_local RtAudioInput *t_calling = nullptr;

} // namespace

struct RtAudioCallbacks {
    // Marks an adapter's RtAudio calls on this thread (under its m_mutex) for onError.
    struct Calling {
        explicit Calling(RtAudioInput &input) {
            t_calling = &input;
            input.m_callError.clear();
        }
        ~Calling() { t_calling = nullptr; }
        Calling(const Calling &) = delete;
        Calling &operator=(const Calling &) = delete;
    };

    // RtAudio's PulseAudio thread calls this with the buffer of its previous read, then reads
    // the next one. So the first call after a start hands over a buffer of before (zeros after
    // opening): it is dropped, and so are the buffers of a paused stream (see stop()). Once a
    // read has failed (the source is gone, and every read after it
    // fails at once) the buffer in hand holds nothing captured: it is dropped, and returning 2
    // makes RtAudio abort the stream on this same thread before it reads again (for an input stream
    // that only marks it stopped; no lock is held here). The thread then waits for a start
    // instead of running round delivering the same buffer.
    static int onAudio(void *, void *input, unsigned int frames, double, RtAudioStreamStatus,
                       void *self) {
        auto *that = static_cast<RtAudioInput *>(self);
        t_capturing = that;
        if (that->m_failed.load())
            return 2;
        if (that->m_paused.load() || that->m_staleBuffer.exchange(false))
            return 0;
        if (input && that->m_callback)
            that->m_callback(static_cast<const qint16 *>(input), frames);
        return 0;
    }

    static void onError(RtAudioError::Type type, const std::string &text) {
        const QString message = QString::fromStdString(text);
        if (RtAudioInput *capturing = t_capturing) {
            // Never m_mutex here: a close holding it may be waiting for this thread to end.
            if (!capturing->m_failed.exchange(true)) {
                qWarning() << "Capture stream failed:" << message;
                capturing->setError(message);
            }
        } else if (RtAudioInput *calling = t_calling) {
            calling->m_callError = message;
        } else {
            qWarning() << "Audio library error" << int(type) << message;
        }
    }
};

using Calling = RtAudioCallbacks::Calling;

RtAudioInput::RtAudioInput() {
#if defined(CASTORA_PULSE_DEVICES)
    m_devices = std::make_shared<PulseDevices>([this] {
        std::lock_guard lock(m_changedMutex);
        if (m_devicesChanged)
            m_devicesChanged();
    });
#endif
    try {
        m_audio = std::make_unique<RtAudio>(captureApi());
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
        qWarning() << "Audio interface unavailable:" << errorText();
    }
}

RtAudioInput::~RtAudioInput() {
    close();
}

void RtAudioInput::setError(const QString &text) {
    std::lock_guard lock(m_errorMutex);
    m_error = text;
}

QString RtAudioInput::errorText() const {
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

void RtAudioInput::setDevicesChanged(std::function<void()> changed) {
    std::lock_guard lock(m_changedMutex);
    m_devicesChanged = std::move(changed);
}

#if defined(CASTORA_PULSE_DEVICES)

std::vector<AudioDevice> RtAudioInput::devices() {
    return m_devices->sources();
}

std::optional<AudioDevice> RtAudioInput::defaultInput() {
    for (const AudioDevice &device : m_devices->sources()) {
        if (device.isDefaultInput)
            return device;
    }
    return std::nullopt;
}

// RtAudio 5.2's PulseAudio probe (every device count, every open) copies the server's default
// sink and source names without looking: with either missing it reads a null pointer and the
// program dies. So the server is asked first, and RtAudio is not called without both.
bool RtAudioInput::soundServerReady() {
    QString why;
    if (m_devices->hasDefaultSinkAndSource(std::chrono::milliseconds(2000), &why))
        return true;
    setError(why);
    return false;
}

#else

// Elsewhere RtAudio lists the devices itself (each call probes the hardware).
std::vector<AudioDevice> RtAudioInput::devices() {
    std::lock_guard lock(m_mutex);
    std::vector<AudioDevice> list;
    if (!m_audio)
        return list;
    try {
        Calling calling(*this);
        m_audio->showWarnings(false);
        const unsigned int count = m_audio->getDeviceCount();
        for (unsigned int id = 0; id < count; ++id) {
            const RtAudio::DeviceInfo info = m_audio->getDeviceInfo(id);
            AudioDevice device;
            device.id = id;
            if (info.probed) {
                device.name = QString::fromUtf8(info.name.c_str());
                device.inputChannels = info.inputChannels;
                device.sampleRates = info.sampleRates;
                device.preferredRate = info.preferredSampleRate;
                device.isDefaultInput = info.isDefaultInput;
            }
            list.push_back(device);
        }
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
    }
    return list;
}

std::optional<AudioDevice> RtAudioInput::defaultInput() {
    const std::vector<AudioDevice> inputs = inputDevices(devices());
    for (const AudioDevice &device : inputs) {
        if (device.isDefaultInput)
            return device;
    }
    return inputs.empty() ? std::nullopt : std::optional(inputs.front());
}

bool RtAudioInput::soundServerReady() {
    return true;
}

#endif

bool RtAudioInput::open(const AudioDevice &device, unsigned int sampleRate, unsigned int &frames,
                        Callback callback) {
    std::lock_guard lock(m_mutex);
    closeLocked();
    if (!m_audio) {
        setError(QStringLiteral("No audio interface"));
        return false;
    }
    m_failed = false;
    // RtAudio numbers its devices afresh at every probe (getDeviceCount, and openStream itself
    // probes again), so the device is looked up by name and checked once more after opening.
    // Each probe comes right after a fresh question to the sound server. What is left is a
    // race: a default sink or source vanishing between that answer and RtAudio's own question
    // (the few milliseconds its probe takes to connect and ask) still crashes RtAudio's probe.
    // Nothing but an open runs through that window, and nothing can close it short of a
    // RtAudio that checks the names.
    try {
        Calling calling(*this);
        if (!soundServerReady())
            return false;
        const unsigned int count = m_audio->getDeviceCount();
        unsigned int index = count;
        for (unsigned int id = 0; id < count && index == count; ++id) {
            const RtAudio::DeviceInfo info = m_audio->getDeviceInfo(id);
            if (info.inputChannels > 0 && QString::fromUtf8(info.name.c_str()) == device.name)
                index = id;
        }
        if (index == count) {
            setError(QStringLiteral("The input \"%1\" is not available.").arg(device.name));
            return false;
        }
        if (!soundServerReady())
            return false;
        RtAudio::StreamParameters parameters;
        parameters.deviceId = index;
        parameters.nChannels = 1;
        parameters.firstChannel = 0;
        m_callback = std::move(callback);
        m_audio->openStream(nullptr, &parameters, RTAUDIO_SINT16, sampleRate, &frames,
                            &RtAudioCallbacks::onAudio, this, nullptr, &RtAudioCallbacks::onError);
        if (QString::fromUtf8(m_audio->getDeviceInfo(index).name.c_str()) != device.name) {
            closeLocked();
            setError(QStringLiteral("The inputs changed while \"%1\" was being opened.")
                         .arg(device.name));
            return false;
        }
        return true;
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
        m_callback = nullptr;
        return false;
    }
}

// With the error callback in place RtAudio reports a stream's failures through it instead of
// throwing; Calling catches what it says during these calls.
bool RtAudioInput::start() {
    std::lock_guard lock(m_mutex);
    if (!m_audio || !m_audio->isStreamOpen()) {
        setError(QStringLiteral("The capture stream is not open"));
        return false;
    }
    if (m_failed)
        return false; // errorText() says why
    Calling calling(*this);
    // A stream that runs is left as it is (its next buffer is fresh).
    const bool pulse = captureApi() == RtAudio::LINUX_PULSE;
    if (m_paused.load()) {
        m_staleBuffer = pulse; // read while paused, partly before this start
        m_paused = false;
        return true;
    }
    if (!m_audio->isStreamRunning()) {
        m_staleBuffer = pulse;
        m_audio->startStream();
    }
    if (m_callError.isEmpty())
        return true;
    setError(m_callError);
    return false;
}

// A PulseAudio stream that RtAudio stops goes on recording into its buffer on the server
// (RtAudio neither corks nor flushes it), and a start then delivers everything heard meanwhile
// in one burst. So with PulseAudio a stop only pauses: the stream goes on reading in real time
// and its buffers are let go until the next start.
void RtAudioInput::stop() {
    std::lock_guard lock(m_mutex);
    // A failed stream stops itself on its capture thread.
    if (!m_audio || m_failed || !m_audio->isStreamRunning())
        return;
    if (captureApi() == RtAudio::LINUX_PULSE) {
        m_paused = true;
        return;
    }
    Calling calling(*this);
    m_audio->stopStream();
    if (!m_callError.isEmpty()) {
        qWarning() << "Could not stop the capture stream:" << m_callError;
        setError(m_callError);
    }
}

void RtAudioInput::close() {
    std::lock_guard lock(m_mutex);
    closeLocked();
}

void RtAudioInput::closeLocked() {
    m_paused = false;
    if (!m_audio)
        return;
    try {
        Calling calling(*this);
        if (!m_failed && m_audio->isStreamRunning())
            m_audio->stopStream();
        // Waits for the capture thread to end.
        if (m_audio->isStreamOpen())
            m_audio->closeStream();
        if (!m_callError.isEmpty()) {
            qWarning() << "Could not close the capture stream:" << m_callError;
            setError(m_callError);
        }
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
    }
    m_callback = nullptr;
}

bool RtAudioInput::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_audio && m_audio->isStreamOpen();
}

bool RtAudioInput::isRunning() const {
    std::lock_guard lock(m_mutex);
    return m_audio && m_audio->isStreamRunning() && !m_paused;
}

} // namespace castora::engine
