#include "PulseDevices.h"

#include <pulse/pulseaudio.h>

#include <QDebug>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>

namespace castora::engine {

namespace {

constexpr pa_usec_t kRetryUsec = 1000 * 1000; // between connection attempts
constexpr auto kFirstListWait = std::chrono::seconds(3);
// PulseAudio resamples to whatever a client asks; these are the rates RtAudio offers for it.
const std::vector<unsigned int> kRates{8000, 16000, 22050, 32000, 44100, 48000, 96000, 192000};

// What the server has, as one listing.
struct Listing {
    bool connected = false;
    std::vector<AudioDevice> sources;
    std::vector<std::string> sourceNames; // PulseAudio's names, beside `sources`
    std::string defaultSource, defaultSink;
};

bool sameListing(const Listing &a, const Listing &b) {
    if (a.connected != b.connected || a.defaultSource != b.defaultSource ||
        a.defaultSink != b.defaultSink || a.sourceNames != b.sourceNames)
        return false;
    return std::equal(a.sources.begin(), a.sources.end(), b.sources.begin(), b.sources.end(),
                      [](const AudioDevice &x, const AudioDevice &y) {
                          return x.id == y.id && x.name == y.name && x.key == y.key &&
                                 x.inputChannels == y.inputChannels &&
                                 x.preferredRate == y.preferredRate;
                      });
}

// One fresh question to the server, answered on the main loop's thread.
struct Query {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool reached = false; // the server answered (rather than going away)
    bool hasSink = false, hasSource = false;

    void finish(const pa_server_info *info) {
        {
            std::lock_guard lock(mutex);
            done = true;
            reached = info != nullptr;
            hasSink = info && info->default_sink_name && *info->default_sink_name;
            hasSource = info && info->default_source_name && *info->default_source_name;
        }
        answered.notify_all();
    }
};

const char *text(const char *value) {
    return value ? value : "";
}

} // namespace

// Everything below the mutex is touched only with the main loop's lock held (its own thread
// holds it while running callbacks); `published` and `settled` belong to `mutex`.
struct PulseDevices::Loop {
    std::function<void()> changed;
    pa_threaded_mainloop *mainloop = nullptr;
    pa_mainloop_api *api = nullptr;
    pa_context *context = nullptr;
    pa_time_event *retry = nullptr;
    bool closing = false;
    bool wasConnected = false;
    bool refreshing = false, refreshAgain = false;
    Listing pending;
    std::vector<Query *> queries;

    std::mutex mutex;
    std::condition_variable firstAnswer;
    bool settled = false;
    Listing published;

    void connect(pa_context_flags_t flags);
    void refresh();
    void publish(Listing listing);
    void lost();

    static void onState(pa_context *context, void *self);
    static void onEvent(pa_context *context, pa_subscription_event_type_t, uint32_t, void *self);
    static void onServerInfo(pa_context *context, const pa_server_info *info, void *self);
    static void onSourceInfo(pa_context *context, const pa_source_info *info, int eol, void *self);
    static void onRetry(pa_mainloop_api *, pa_time_event *event, const struct timeval *,
                        void *self);
    static void onQueryAnswer(pa_context *, const pa_server_info *info, void *query) {
        static_cast<Query *>(query)->finish(info);
    }
};

void PulseDevices::Loop::connect(pa_context_flags_t flags) {
    context = pa_context_new(api, "Castora device watch");
    if (!context) {
        lost();
        return;
    }
    pa_context_set_state_callback(context, &Loop::onState, this);
    if (pa_context_connect(context, nullptr, flags, nullptr) < 0)
        lost();
}

void PulseDevices::Loop::onState(pa_context *c, void *self) {
    auto *d = static_cast<Loop *>(self);
    if (c != d->context)
        return;
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        if (!d->wasConnected)
            qInfo() << "Sound server connected:" << text(pa_context_get_server(c));
        d->wasConnected = true;
        pa_context_set_subscribe_callback(c, &Loop::onEvent, d);
        if (pa_operation *o = pa_context_subscribe(
                c,
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER),
                nullptr, nullptr))
            pa_operation_unref(o);
        d->refresh();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        if (d->wasConnected)
            qInfo() << "Sound server connection lost; reconnecting";
        d->wasConnected = false;
        d->lost();
        break;
    default:
        break;
    }
}

void PulseDevices::Loop::onEvent(pa_context *c, pa_subscription_event_type_t, uint32_t,
                                 void *self) {
    auto *d = static_cast<Loop *>(self);
    if (c == d->context)
        d->refresh();
}

// One listing at a time: events during a listing ask for another one after it.
void PulseDevices::Loop::refresh() {
    if (refreshing) {
        refreshAgain = true;
        return;
    }
    pending = Listing();
    pending.connected = true;
    pa_operation *server = pa_context_get_server_info(context, &Loop::onServerInfo, this);
    pa_operation *list = pa_context_get_source_info_list(context, &Loop::onSourceInfo, this);
    // Either fails only with the connection, which the state callback reports.
    refreshing = list != nullptr;
    if (server)
        pa_operation_unref(server);
    if (list)
        pa_operation_unref(list);
}

void PulseDevices::Loop::onServerInfo(pa_context *c, const pa_server_info *info, void *self) {
    auto *d = static_cast<Loop *>(self);
    if (c != d->context || !info)
        return;
    d->pending.defaultSink = text(info->default_sink_name);
    d->pending.defaultSource = text(info->default_source_name);
}

// Replies come in the order asked, so the server's defaults are known by the list's end.
void PulseDevices::Loop::onSourceInfo(pa_context *c, const pa_source_info *info, int eol,
                                      void *self) {
    auto *d = static_cast<Loop *>(self);
    if (c != d->context)
        return;
    if (eol == 0 && info) {
        AudioDevice device;
        device.id = info->index;
        device.name = QString::fromUtf8(info->description ? info->description : info->name);
        device.key = QString::fromUtf8(text(info->name));
        device.inputChannels = info->sample_spec.channels;
        device.sampleRates = kRates;
        device.preferredRate = info->sample_spec.rate;
        d->pending.sources.push_back(device);
        d->pending.sourceNames.emplace_back(text(info->name));
        return;
    }
    d->refreshing = false;
    if (d->refreshAgain) {
        d->refreshAgain = false;
        d->refresh();
        return;
    }
    if (eol < 0) // the connection is going; the state callback follows
        return;
    for (std::size_t i = 0; i < d->pending.sources.size(); ++i)
        d->pending.sources[i].isDefaultInput =
            d->pending.sourceNames[i] == d->pending.defaultSource;
    d->publish(std::move(d->pending));
}

void PulseDevices::Loop::publish(Listing listing) {
    bool differs = false;
    {
        std::lock_guard lock(mutex);
        differs = !sameListing(published, listing);
        published = std::move(listing);
        settled = true;
    }
    firstAnswer.notify_all();
    if (differs && changed)
        changed();
}

// The server went away or was never there: nothing is listed, waiting questions get "no
// server", and a new connection is tried in a second.
void PulseDevices::Loop::lost() {
    for (Query *query : queries)
        query->finish(nullptr);
    queries.clear();
    refreshing = refreshAgain = false;
    publish(Listing());
    if (closing || retry)
        return;
    struct timeval when {};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, kRetryUsec);
    retry = api->time_new(api, &when, &Loop::onRetry, this);
}

void PulseDevices::Loop::onRetry(pa_mainloop_api *, pa_time_event *event, const struct timeval *,
                                 void *self) {
    auto *d = static_cast<Loop *>(self);
    d->api->time_free(event);
    d->retry = nullptr;
    if (d->context) {
        pa_context_set_state_callback(d->context, nullptr, nullptr);
        pa_context_disconnect(d->context);
        pa_context_unref(d->context);
        d->context = nullptr;
    }
    // Starting a sound server is the desktop's business; the first attempt follows the user's
    // client configuration, the retries only look for a running one.
    d->connect(PA_CONTEXT_NOAUTOSPAWN);
}

PulseDevices::PulseDevices(std::function<void()> changed)
    : d(std::make_unique<Loop>()) {
    d->changed = std::move(changed);
    d->mainloop = pa_threaded_mainloop_new();
    if (!d->mainloop) {
        qWarning() << "Sound server watch unavailable: no main loop";
        return;
    }
    d->api = pa_threaded_mainloop_get_api(d->mainloop);
    pa_threaded_mainloop_lock(d->mainloop);
    d->connect(PA_CONTEXT_NOFLAGS);
    pa_threaded_mainloop_unlock(d->mainloop);
    if (pa_threaded_mainloop_start(d->mainloop) < 0) {
        qWarning() << "Sound server watch unavailable: its thread did not start";
        pa_threaded_mainloop_free(d->mainloop);
        d->mainloop = nullptr;
        return;
    }
    std::unique_lock lock(d->mutex);
    d->firstAnswer.wait_for(lock, kFirstListWait, [this] { return d->settled; });
}

PulseDevices::~PulseDevices() {
    if (!d->mainloop)
        return;
    pa_threaded_mainloop_lock(d->mainloop);
    d->closing = true;
    if (d->retry) {
        d->api->time_free(d->retry);
        d->retry = nullptr;
    }
    if (d->context) {
        pa_context_set_state_callback(d->context, nullptr, nullptr);
        pa_context_set_subscribe_callback(d->context, nullptr, nullptr);
        pa_context_disconnect(d->context);
        pa_context_unref(d->context);
        d->context = nullptr;
    }
    pa_threaded_mainloop_unlock(d->mainloop);
    pa_threaded_mainloop_stop(d->mainloop);
    pa_threaded_mainloop_free(d->mainloop);
}

std::vector<AudioDevice> PulseDevices::sources() const {
    std::lock_guard lock(d->mutex);
    return d->published.sources;
}

bool PulseDevices::hasDefaultSinkAndSource(std::chrono::milliseconds timeout, QString *why) {
    Query query;
    pa_operation *operation = nullptr;
    if (d->mainloop) {
        pa_threaded_mainloop_lock(d->mainloop);
        if (d->context && pa_context_get_state(d->context) == PA_CONTEXT_READY)
            operation = pa_context_get_server_info(d->context, &Loop::onQueryAnswer, &query);
        if (operation)
            d->queries.push_back(&query);
        pa_threaded_mainloop_unlock(d->mainloop);
    }
    if (!operation) {
        *why = QStringLiteral("No sound server is running.");
        return false;
    }
    {
        std::unique_lock lock(query.mutex);
        query.answered.wait_for(lock, timeout, [&query] { return query.done; });
    }
    // With the main loop's lock held no callback runs: after this, none will touch `query`.
    pa_threaded_mainloop_lock(d->mainloop);
    d->queries.erase(std::remove(d->queries.begin(), d->queries.end(), &query), d->queries.end());
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    pa_threaded_mainloop_unlock(d->mainloop);

    std::lock_guard lock(query.mutex);
    if (!query.done || !query.reached)
        *why = QStringLiteral("The sound server does not answer.");
    else if (!query.hasSource)
        *why = QStringLiteral("No input device is available.");
    else if (!query.hasSink)
        *why = QStringLiteral("The sound server has no output device, which the audio library "
                              "needs to open an input.");
    else
        return true;
    return false;
}

} // namespace castora::engine
