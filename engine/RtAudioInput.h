#pragma once

#include "AudioInput.h"

#include <memory>
#include <mutex>

class RtAudio;

namespace castora::engine {

// The audio hardware through RtAudio 5 (PulseAudio on Linux). The only code that includes
// RtAudio: devices are indices 0..count-1 and failures arrive as RtAudioError exceptions,
// which end here as a false result and an error text.
class RtAudioInput final : public AudioInput {
public:
    RtAudioInput();
    ~RtAudioInput() override;

    std::vector<AudioDevice> devices() override;
    std::optional<AudioDevice> defaultInput() override;
    bool open(unsigned int deviceId, unsigned int sampleRate, unsigned int &frames,
              Callback callback) override;
    bool start() override;
    void stop() override;
    void close() override;
    bool isOpen() const override;
    bool isRunning() const override;
    QString errorText() const override;

private:
    static int onAudio(void *output, void *input, unsigned int frames, double streamTime,
                       unsigned int status, void *self);
    AudioDevice describe(unsigned int id);

    mutable std::mutex m_mutex;
    std::unique_ptr<RtAudio> m_audio;
    Callback m_callback;
    QString m_error;
};

} // namespace castora::engine
