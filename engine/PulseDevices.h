#pragma once

#include "AudioInput.h"

#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace castora::engine {

// The PulseAudio sources and the server's default source and sink, kept up to date by the
// server's own change events (sources come and go, a default changes) on a thread of libpulse's
// threaded main loop. While the server is away (not started yet, restarted, gone) nothing is
// listed and a new connection is tried every second. The only code besides the RtAudio adapter
// that talks to the sound system; the adapter owns it.
class PulseDevices {
public:
    // `changed` runs on the monitor's thread after the list or a default has changed; it must
    // return at once (post an event) and must not call back into the monitor. The first list
    // is in place when the constructor returns (or the server did not answer within 3 s).
    explicit PulseDevices(std::function<void()> changed);
    ~PulseDevices();
    PulseDevices(const PulseDevices &) = delete;
    PulseDevices &operator=(const PulseDevices &) = delete;

    // The sources as last heard from the server, in its order: `id` is the server's source
    // index, `key` its PulseAudio name, `name` its description (what RtAudio calls the
    // device), every rate PulseAudio resamples to. Empty while the server is unreachable.
    std::vector<AudioDevice> sources() const;

    // Asks the server now, not the cached list: true when it has a default sink and a default
    // source; otherwise false and, in `why`, a plain reason.
    bool hasDefaultSinkAndSource(std::chrono::milliseconds timeout, QString *why);

private:
    struct Loop; // libpulse's side
    std::unique_ptr<Loop> d;
};

} // namespace castora::engine
