#pragma once

#include "AudioInput.h"

#include <atomic>
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
    bool failed() const override { return m_failed.load(); }
    QString errorText() const override;

private:
    friend struct RtAudioCallbacks; // RtAudio's callbacks and the calls they belong to
    void setError(const QString &text);
    bool soundServerReady();
    bool openOn(unsigned int index, const QString &name, unsigned int sampleRate,
                unsigned int &frames);
    void closeLocked();

    mutable std::mutex m_mutex; // one RtAudio call at a time
    std::unique_ptr<RtAudio> m_audio;
    Callback m_callback;
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_staleBuffer{false}; // the next callback brings a buffer of before
    std::atomic<bool> m_paused{false};      // stopped (PulseAudio): buffers are let go
    QString m_callError; // what the error callback said during our own call (under m_mutex)

    mutable std::mutex m_errorMutex; // never held across an RtAudio call
    QString m_error;

    std::mutex m_changedMutex;
    std::function<void()> m_devicesChanged;
    // Linux only (shared_ptr: elsewhere the type is never complete)
    std::shared_ptr<PulseDevices> m_devices;
};

} // namespace castora::engine
