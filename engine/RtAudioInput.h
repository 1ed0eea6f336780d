#pragma once

#include "AudioInput.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

class RtAudio;

namespace castora::engine {

class PulseDevices;

// The audio hardware through RtAudio 5 (PulseAudio on Linux). The only code that includes
// RtAudio. On Linux the device list and its changes come from PulseDevices, and RtAudio is
// asked about devices only when a capture stream opens: its PulseAudio probe crashes when the
// server has no default sink or source, and it leaks a little every time. Elsewhere RtAudio
// lists the devices itself.
//
// RtAudio's failures before a stream is open arrive as RtAudioError exceptions; after that as
// calls of the stream's error callback. Both end here as a false result and an error text.
//
// Every capture stream has an RtAudio object of its own. Closing one never waits for long: a
// stream whose capture thread is stuck in a read is given up (nothing of it reaches the
// callback any more) and closed on a thread of its own whenever the read returns, if ever.
class RtAudioInput final : public AudioInput {
public:
    RtAudioInput();
    ~RtAudioInput() override;

    std::vector<AudioDevice> devices() override;
    std::optional<AudioDevice> defaultInput() override;
    void setDevicesChanged(std::function<void()> changed) override;
    bool open(const AudioDevice &device, unsigned int sampleRate, unsigned int &frames,
              Callback callback) override;
    bool start() override;
    void stop() override;
    void close() override;
    bool isOpen() const override;
    bool isRunning() const override;
    bool failed() const override;
    QString errorText() const override;

    // How long close() waits for a stream to close before it leaves it to end on its own.
    static constexpr std::chrono::milliseconds kCloseWait{1000};
    // Streams given up while their capture thread was stuck, not closed yet (all adapters).
    static int streamsLeftOpen();

    struct Stream; // one capture stream with an RtAudio object of its own (RtAudioInput.cpp)

private:
    friend struct RtAudioCallbacks; // RtAudio's callbacks and the calls they belong to
    void setError(const QString &text);
    bool soundServerReady();
    bool openOn(Stream &stream, const AudioDevice &device, unsigned int sampleRate,
                unsigned int &frames);
    std::shared_ptr<Stream> current() const;

    // The current stream. Held only to look at or swap the pointer, never across a call into
    // RtAudio: a stream's calls may wait behind its capture thread (RtAudio's PulseAudio
    // backend holds the stream's lock through a read that the server may never answer), and
    // nothing else may wait with them.
    mutable std::mutex m_mutex;
    std::shared_ptr<Stream> m_stream;

    std::mutex m_listMutex;            // the lister's calls (device lists where RtAudio makes them)
    std::unique_ptr<RtAudio> m_lister; // lists devices where PulseDevices does not

    mutable std::mutex m_errorMutex; // never held across an RtAudio call
    QString m_error;

    std::mutex m_changedMutex;
    std::function<void()> m_devicesChanged;
    // Linux only (shared_ptr: elsewhere the type is never complete)
    std::shared_ptr<PulseDevices> m_devices;
};

} // namespace castora::engine
