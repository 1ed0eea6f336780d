#include "RtAudioInput.h"

#if defined(CASTORA_PULSE_DEVICES)
#include "PulseDevices.h"
#endif

#include <RtAudio.h>

#include <QDebug>

#include <condition_variable>
#include <system_error>
#include <thread>
#include <utility>

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

const bool kPulse = captureApi() == RtAudio::LINUX_PULSE;

std::atomic<int> g_streamsLeftOpen{0};

// The steady clock in nanoseconds, as the streams' capture timing keeps it.
qint64 steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// One capture stream. Shared by the adapter (while it is the current stream), by RtAudio's
// capture thread (through the callbacks' user data) and by the thread that closes it, which
// holds it until RtAudio's thread has ended: no callback ever sees it freed.
struct RtAudioInput::Stream {
    std::unique_ptr<RtAudio> audio;
    std::mutex mutex;              // one RtAudio call on this stream at a time
    AudioInput::Callback callback; // set before the stream opens, read on the capture thread
    std::atomic<bool> isOpen{false};
    std::atomic<bool> running{false}; // started (and not stopped) by us
    std::atomic<bool> paused{false};  // stopped (PulseAudio): buffers are let go
    // Buffers read before the latest start (or backlog the reader had not caught up with) are
    // let go until one has been read wholly since then: set to the start's time (steady clock,
    // ns), 0 once a fresh buffer came.
    std::atomic<qint64> freshAfter{0};
    qint64 lastCallback = 0;            // capture thread only
    qint64 periodNs = 0;                // one buffer, set at opening
    std::atomic<bool> failed{false};    // a read failed: nothing more comes from it
    std::atomic<bool> abandoned{false}; // closed by the adapter: buffers go nowhere
    QString callError;                  // what the error callback said during our call (mutex)
    mutable std::mutex errorMutex;
    QString error; // why it failed, from the capture thread

    void setError(const QString &text) {
        std::lock_guard lock(errorMutex);
        error = text;
    }
    QString errorText() const {
        std::lock_guard lock(errorMutex);
        return error;
    }
};

namespace {

// RtAudio's error callback carries no user data. An error on a capture thread belongs to the
// stream that thread serves (noted at its first buffer); any other error was raised inside one
// of our own calls on a stream, on the calling thread.
thread_local RtAudioInput::Stream *t_capturing = nullptr;
thread_local RtAudioInput::Stream *t_calling = nullptr;

} // namespace

struct RtAudioCallbacks {
    // Marks our RtAudio calls on a stream on this thread (under its mutex) for onError.
    struct Calling {
        explicit Calling(RtAudioInput::Stream &stream) {
            t_calling = &stream;
            stream.callError.clear();
        }
        ~Calling() { t_calling = nullptr; }
        Calling(const Calling &) = delete;
        Calling &operator=(const Calling &) = delete;
    };

    // RtAudio's PulseAudio thread calls this with the buffer of its previous read, then reads
    // the next one. So the first call after a start hands over a buffer of before (zeros after
    // opening): it is dropped, and so are the buffers of a paused stream (see stop()) and of a
    // stream given up. Once a read has failed (the source is gone, and every read after it
    // fails at once) the buffer in hand holds nothing captured: it is dropped, and returning 2
    // makes RtAudio abort the stream on this same thread before it reads again (for an input
    // stream that only marks it stopped; no lock is held here). The thread then waits for a
    // start instead of running round delivering the same buffer.
    static int onAudio(void *, void *input, unsigned int frames, double, RtAudioStreamStatus,
                       void *self) {
        auto *stream = static_cast<RtAudioInput::Stream *>(self);
        t_capturing = stream;
        if (stream->failed.load())
            return 2;
        if (stream->abandoned.load() || stream->paused.load() || stale(*stream))
            return 0;
        if (input && stream->callback)
            stream->callback(static_cast<const qint16 *>(input), frames);
        return 0;
    }

    // A buffer read in real time arrives about a buffer period after the one before; one that
    // follows it at once was waiting in the server (read while paused, or a reader that fell
    // behind). The first buffer whose whole reading began after the start is the first fresh.
    static bool stale(RtAudioInput::Stream &stream) {
        const qint64 now = steadyNs();
        const qint64 previous = std::exchange(stream.lastCallback, now);
        const qint64 since = stream.freshAfter.load();
        if (since == 0)
            return false;
        if (previous < since || now - previous < stream.periodNs / 2)
            return true;
        stream.freshAfter.store(0);
        return false;
    }

    static void onError(RtAudioError::Type type, const std::string &text) {
        const QString message = QString::fromStdString(text);
        if (RtAudioInput::Stream *capturing = t_capturing) {
            // Never the stream's mutex here: a close holding it may be waiting for this thread.
            if (!capturing->failed.exchange(true)) {
                if (!capturing->abandoned.load())
                    qWarning() << "Capture stream failed:" << message;
                capturing->setError(message);
            }
        } else if (RtAudioInput::Stream *calling = t_calling) {
            calling->callError = message;
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
        m_lister = std::make_unique<RtAudio>(captureApi());
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
        qWarning() << "Audio interface unavailable:" << errorText();
    }
}

RtAudioInput::~RtAudioInput() {
    close();
}

int RtAudioInput::streamsLeftOpen() {
    return g_streamsLeftOpen.load();
}

void RtAudioInput::setError(const QString &text) {
    std::lock_guard lock(m_errorMutex);
    m_error = text;
}

QString RtAudioInput::errorText() const {
    if (const std::shared_ptr<Stream> stream = current(); stream && stream->failed.load()) {
        const QString text = stream->errorText();
        if (!text.isEmpty())
            return text;
    }
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

std::shared_ptr<RtAudioInput::Stream> RtAudioInput::current() const {
    std::lock_guard lock(m_mutex);
    return m_stream;
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
    std::lock_guard lock(m_listMutex);
    std::vector<AudioDevice> list;
    if (!m_lister)
        return list;
    try {
        m_lister->showWarnings(false);
        const unsigned int count = m_lister->getDeviceCount();
        for (unsigned int id = 0; id < count; ++id) {
            const RtAudio::DeviceInfo info = m_lister->getDeviceInfo(id);
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
    close();
    auto stream = std::make_shared<Stream>();
    stream->callback = std::move(callback);
    try {
        stream->audio = std::make_unique<RtAudio>(captureApi());
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
        return false;
    }
    {
        std::lock_guard lock(stream->mutex);
        if (!openOn(*stream, device, sampleRate, frames))
            return false;
    }
    stream->isOpen = true;
    std::lock_guard lock(m_mutex);
    m_stream = std::move(stream);
    return true;
}

// RtAudio numbers its devices afresh at every probe (getDeviceCount, and openStream itself
// probes again), so the device is looked up by name and checked once more after opening. Each
// probe comes right after a fresh question to the sound server. What is left is a race: a
// default sink or source vanishing between that answer and RtAudio's own question (the few
// milliseconds its probe takes to connect and ask) still crashes RtAudio's probe. Nothing but an
// open runs through that window, and nothing can close it short of a RtAudio that checks the
// names. (The stream's mutex is held.)
bool RtAudioInput::openOn(Stream &stream, const AudioDevice &device, unsigned int sampleRate,
                          unsigned int &frames) {
    RtAudio &audio = *stream.audio;
    try {
        Calling calling(stream);
        if (!soundServerReady())
            return false;
        const unsigned int count = audio.getDeviceCount();
        unsigned int index = count;
        for (unsigned int id = 0; id < count && index == count; ++id) {
            const RtAudio::DeviceInfo info = audio.getDeviceInfo(id);
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
        audio.openStream(nullptr, &parameters, RTAUDIO_SINT16, sampleRate, &frames,
                         &RtAudioCallbacks::onAudio, &stream, nullptr, &RtAudioCallbacks::onError);
        stream.periodNs = sampleRate > 0 ? qint64(frames) * 1000000000 / sampleRate : 0;
        if (QString::fromUtf8(audio.getDeviceInfo(index).name.c_str()) != device.name) {
            audio.closeStream();
            setError(QStringLiteral("The inputs changed while \"%1\" was being opened.")
                         .arg(device.name));
            return false;
        }
        return true;
    } catch (const RtAudioError &error) {
        setError(QString::fromStdString(error.getMessage()));
        return false;
    }
}

namespace {
// From now on buffers count only once one has been read wholly after this moment (PulseAudio:
// RtAudio hands over the buffer of its previous read first, and a paused stream's reads were
// let go). Elsewhere the first buffer after a start is fresh.
void awaitFresh(RtAudioInput::Stream &stream) {
    if (!kPulse)
        return;
    stream.freshAfter.store(steadyNs());
}
} // namespace

// With the error callback in place RtAudio reports a stream's failures through it instead of
// throwing; Calling catches what it says during these calls.
bool RtAudioInput::start() {
    const std::shared_ptr<Stream> stream = current();
    if (!stream) {
        setError(QStringLiteral("The capture stream is not open"));
        return false;
    }
    if (stream->failed.load())
        return false; // errorText() says why
    // A stream that runs is left as it is (its next buffer is fresh).
    if (stream->paused.load()) {
        awaitFresh(*stream); // read while paused, partly before this start
        stream->paused = false;
        return true;
    }
    if (stream->running.load())
        return true;
    std::lock_guard lock(stream->mutex);
    Calling calling(*stream);
    awaitFresh(*stream);
    try {
        stream->audio->startStream();
    } catch (const RtAudioError &error) {
        stream->callError = QString::fromStdString(error.getMessage());
    }
    if (stream->callError.isEmpty()) {
        stream->running = true;
        return true;
    }
    setError(stream->callError);
    return false;
}

// A PulseAudio stream that RtAudio stops goes on recording into its buffer on the server
// (RtAudio neither corks nor flushes it), and a start then delivers everything heard meanwhile
// in one burst. So with PulseAudio a stop only pauses: the stream goes on reading in real time
// and its buffers are let go until the next start. (That also keeps a stop from waiting behind
// a read the server does not answer.)
void RtAudioInput::stop() {
    const std::shared_ptr<Stream> stream = current();
    // A failed stream stops itself on its capture thread.
    if (!stream || stream->failed.load() || !stream->running.load())
        return;
    if (kPulse) {
        stream->paused = true;
        return;
    }
    std::lock_guard lock(stream->mutex);
    Calling calling(*stream);
    try {
        stream->audio->stopStream();
    } catch (const RtAudioError &error) {
        stream->callError = QString::fromStdString(error.getMessage());
    }
    stream->running = false;
    if (!stream->callError.isEmpty()) {
        qWarning() << "Could not stop the capture stream:" << stream->callError;
        setError(stream->callError);
    }
}

namespace {
// A close that its caller may stop waiting for.
struct Closing {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool givenUp = false; // counted in g_streamsLeftOpen until it finishes
};
} // namespace

// The stream stops reaching the callback at once. RtAudio's close (which waits for the capture
// thread, and so for a read in progress) runs on a thread of its own that keeps the stream
// alive until it is over; this waits for it only so long.
void RtAudioInput::close() {
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(m_mutex);
        stream = std::move(m_stream);
    }
    if (!stream)
        return;
    stream->abandoned = true;
    auto closing = std::make_shared<Closing>();
    try {
        std::thread([stream, closing] {
            {
                std::lock_guard lock(stream->mutex);
                Calling calling(*stream);
                try {
                    if (!kPulse && stream->running.load() && !stream->failed.load())
                        stream->audio->stopStream();
                    if (stream->audio->isStreamOpen())
                        stream->audio->closeStream(); // waits for the capture thread to end
                } catch (const RtAudioError &error) {
                    qWarning() << "Could not close the capture stream:" << error.what();
                }
                stream->audio.reset();
            }
            std::lock_guard lock(closing->mutex);
            closing->finished = true;
            if (closing->givenUp)
                g_streamsLeftOpen.fetch_sub(1);
            closing->done.notify_all();
        }).detach();
    } catch (const std::system_error &error) {
        qWarning() << "No thread to close the capture stream:" << error.what();
        g_streamsLeftOpen.fetch_add(1); // kept forever rather than closed under a read
        new std::shared_ptr<Stream>(std::move(stream));
        return;
    }
    std::unique_lock lock(closing->mutex);
    if (!closing->done.wait_for(lock, kCloseWait, [&] { return closing->finished; })) {
        qWarning() << "The capture stream did not close (its read is not answered); it is left "
                      "to end on its own";
        closing->givenUp = true;
        g_streamsLeftOpen.fetch_add(1);
    }
}

bool RtAudioInput::isOpen() const {
    const std::shared_ptr<Stream> stream = current();
    return stream && stream->isOpen.load();
}

bool RtAudioInput::isRunning() const {
    const std::shared_ptr<Stream> stream = current();
    return stream && stream->running.load() && !stream->paused.load() && !stream->failed.load();
}

bool RtAudioInput::failed() const {
    const std::shared_ptr<Stream> stream = current();
    return stream && stream->failed.load();
}

} // namespace castora::engine
