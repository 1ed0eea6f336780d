#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <optional>
#include <vector>

namespace castora::engine {

// One audio device as the sound system describes it.
//
// A device is the same device while its `id` and `key` stay: unplugged and plugged in again it
// comes back under a new id (and the same key), renamed it keeps both under a new `name`.
struct AudioDevice {
    unsigned int id = 0; // the sound system's identifier (PulseAudio: the source index)
    QString name;        // what the audio library calls the device; capture opens it by this
    QString key;         // the sound system's own name for it (PulseAudio's source name); empty
                         // where the system has none (then `name` stands in)
    unsigned int inputChannels = 0;
    std::vector<unsigned int> sampleRates;
    unsigned int preferredRate = 0;
    bool isDefaultInput = false;
};

// The capture side of the audio hardware, kept behind a small interface so the broadcast engine
// can be driven without a sound card (hot-plug, failures, callback timing).
//
// Threads: the callback runs on the library's capture thread, `devicesChanged` on the device
// watch's thread. Every other call may come from any thread; implementations serialise them
// internally.
class AudioInput {
public:
    // `frames` mono signed 16-bit samples. Runs on the capture thread; must not block.
    using Callback = std::function<void(const qint16 *samples, unsigned int frames)>;

    virtual ~AudioInput() = default;

    // Every device as last seen (cheap: no probing of the hardware), in the system's order.
    virtual std::vector<AudioDevice> devices() = 0;
    virtual std::optional<AudioDevice> defaultInput() = 0;
    // Called, on another thread, when the devices or the default input may have changed; it
    // must only post an event. An empty function stops the calls (once this returns, none is
    // running). Inputs that cannot tell leave it uncalled: poll devices() instead.
    virtual void setDevicesChanged(std::function<void()> changed) = 0;

    // Opens a mono 16-bit capture stream on `device` (found again by its name). `frames` is the
    // wanted buffer size; the library may change it, and the size it settled on is written
    // back. Failing is a false result and errorText(), never a crash.
    virtual bool open(const AudioDevice &device, unsigned int sampleRate, unsigned int &frames,
                      Callback callback) = 0;
    virtual bool start() = 0;
    // Stops the hardware. A callback already running may still finish after this returns.
    virtual void stop() = 0;
    // Closes the stream; no callback of it runs after this returns. Bounded: a stream whose
    // capture thread is stuck in the sound system (a read that never returns) is given up and
    // left to end on its own, never waited for.
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual bool isRunning() const = 0;
    // The open stream broke (its device went away): it delivers nothing from then on, and only
    // closing and opening again brings capture back. Cleared by open().
    virtual bool failed() const = 0;
    // The library's text for the last failure.
    virtual QString errorText() const = 0;
};

// Devices that can capture (at least one input channel).
std::vector<AudioDevice> inputDevices(const std::vector<AudioDevice> &all);
// The input device called `name`, if it is there.
std::optional<AudioDevice> findInput(const std::vector<AudioDevice> &all, const QString &name);
// The input device the user chose: the one of that `key` when the system names its devices,
// otherwise the one called `name`.
std::optional<AudioDevice> findInput(const std::vector<AudioDevice> &all, const QString &key,
                                     const QString &name);
// `device` is still listed as the very same device (same id, same key; the name may change).
bool stillListed(const std::vector<AudioDevice> &all, const AudioDevice &device);

// The capture rate for a device and a quality choice: the qualities 0 and 1 want 44100 or
// 48000 (else the listed rate nearest to 44100), 2 and above want 22050, 44100 or 48000 (else
// the rate nearest to 22050); on a tie the rate listed first wins; 44100 without a list.
unsigned int chooseSampleRate(const std::vector<unsigned int> &rates, int quality);

// Peak of a buffer in thousandths of full scale (|-32768| counts as 1000).
int peakThousandths(const qint16 *samples, unsigned int frames);

} // namespace castora::engine
