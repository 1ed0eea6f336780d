#pragma once

#include "AudioInput.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace castora::test {

// An audio input driven by the test: its device list can change (hot-plug), opening and
// starting can be made to fail, and buffers arrive either when the test delivers them (the
// test thread stands in for the capture thread) or from a feeder thread playing a sine at
// real-time pace.
class ScriptedAudioInput final : public castora::engine::AudioInput {
public:
    ScriptedAudioInput();
    ~ScriptedAudioInput() override;

    // A list of one "Scripted Microphone" (44100/48000/22050 Hz) unless set otherwise.
    void setDevices(std::vector<castora::engine::AudioDevice> devices);
    static castora::engine::AudioDevice device(unsigned int id, const QString &name,
                                               std::vector<unsigned int> rates,
                                               unsigned int inputs = 1, bool isDefault = false);

    void failOpen(bool fail, const QString &error = QStringLiteral("Device unavailable"));
    void failStart(bool fail, const QString &error = QStringLiteral("Device busy"));
    // The buffer size the "hardware" settles on (0: as asked).
    void setGrantedFrames(unsigned int frames) { m_grantedFrames = frames; }

    // Real-time feeding of a sine once started (0 Hz: the test delivers buffers itself).
    void setTone(double frequency, double amplitude = 0.5);

    // Delivers one buffer through the callback, on the calling thread; false when not running.
    bool deliver(const std::vector<qint16> &samples);

    int opens() const { return m_opens.load(); }
    unsigned int openDeviceId() const { return m_openDevice.load(); }
    unsigned int openRate() const { return m_openRate.load(); }
    quint64 framesDelivered() const { return m_delivered.load(); }

    std::vector<castora::engine::AudioDevice> devices() override;
    std::optional<castora::engine::AudioDevice> defaultInput() override;
    bool open(unsigned int deviceId, unsigned int sampleRate, unsigned int &frames,
              Callback callback) override;
    bool start() override;
    void stop() override;
    void close() override;
    bool isOpen() const override { return m_isOpen.load(); }
    bool isRunning() const override { return m_running.load(); }
    QString errorText() const override;

private:
    std::vector<qint16> toneBuffer(unsigned int frames); // continues the tone's phase
    void feed();

    mutable std::mutex m_mutex;
    std::vector<castora::engine::AudioDevice> m_devices;
    QString m_openError; // empty: opening succeeds
    QString m_startError;
    QString m_error;
    unsigned int m_grantedFrames = 0;
    unsigned int m_frames = 0;
    double m_frequency = 0.0;
    double m_amplitude = 0.5;
    double m_phase = 0.0;
    Callback m_callback;

    std::atomic<bool> m_isOpen{false};
    std::atomic<bool> m_running{false};
    std::atomic<int> m_opens{0};
    std::atomic<unsigned int> m_openDevice{0};
    std::atomic<unsigned int> m_openRate{0};
    std::atomic<quint64> m_delivered{0};
    std::thread m_feeder;
};

} // namespace castora::test
