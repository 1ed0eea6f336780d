// The controller as a whole: construction, properties, timers, the level meter.
#include "StreamController.h"

#include "SettingsStore.h"

#include <QDebug>
#include <QThreadPool>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace castora;
using namespace castora::engine;

StreamController::StreamController(ServiceConfig config, AudioInput &input, QObject *parent)
    : QAbstractListModel(parent)
    , m_config(std::move(config))
    , m_input(input)
    , m_engine(input) {
    // The engine's threads report here; every property changes on this (the GUI) thread.
    m_engine.setEvents({
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { onConnectionLost(); }, Qt::QueuedConnection);
        },
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { onConnectionRestored(); }, Qt::QueuedConnection);
        },
        [this](const QString &error) {
            QMetaObject::invokeMethod(
                this, [this, error] { onRecordingFailed(error); }, Qt::QueuedConnection);
        },
        [this](const QString &lostPath, const QString &name, const QString &path) {
            QMetaObject::invokeMethod(
                this, [=] { onRecordingMoved(lostPath, name, path); }, Qt::QueuedConnection);
        },
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { onWentLive(); }, Qt::QueuedConnection);
        },
        [this](Refusal why, bool firstAnswer) {
            QMetaObject::invokeMethod(
                this, [=] { onRefused(why, firstAnswer); }, Qt::QueuedConnection);
        },
    });
    m_engine.setMountProbe(&StreamController::mountListed);

    setMicList();
    if (const std::optional<AudioDevice> device = m_input.defaultInput()) {
        for (unsigned int rate : device->sampleRates)
            qInfo() << "Supported rate:" << rate;
    }
    setCurrentMic(makeDefaultMic());
    m_voiceProcessing = settings::voiceProcessing();
    m_engine.setVoiceProcessing(m_voiceProcessing);

    // The device watch: the input announces changes (PulseAudio's own events), and every 2 s the
    // list it last saw is looked at again, for inputs that announce nothing.
    m_input.setDevicesChanged([this] {
        QMetaObject::invokeMethod(this, &StreamController::checkForDeviceChanges,
                                  Qt::QueuedConnection);
    });
    connect(&m_deviceWatchTimer, &QTimer::timeout, this, &StreamController::checkForDeviceChanges);
    m_deviceWatchTimer.start(2000);
    qInfo() << "Initialized stuff";

    connect(&m_levelTimer, &QTimer::timeout, this, &StreamController::onLevelTimerTimeout);
    m_levelTimer.start(int(LevelMeter::kTickMs) * kLevelSlicesPerTick);

    m_networkBarTimer.setSingleShot(true);
    m_networkBarTimer.setTimerType(Qt::PreciseTimer); // a coarse timer may hide it 5% early
    m_networkBarTimer.setInterval(kNetworkBarMs);
    connect(&m_networkBarTimer, &QTimer::timeout, this, [this] {
        if (m_networkBarVisible)
            setNetworkBarVisible(false);
    });

    m_clipTimer.setSingleShot(true);
    m_clipTimer.setInterval(kClipHoldMs);
    connect(&m_clipTimer, &QTimer::timeout, this, [this] { setClipping(false); });

    m_connectingTimer.setSingleShot(true);
    m_connectingTimer.setInterval(kConnectingShowMs);
    connect(&m_connectingTimer, &QTimer::timeout, this,
            [this] { setConnectingToServer(m_streaming && !m_live); });

    m_startTimeoutTimer.setSingleShot(true);
    m_startTimeoutTimer.setInterval(kStartTimeoutMs);
    connect(&m_startTimeoutTimer, &QTimer::timeout, this, [this] {
        if (!m_streaming && m_isBusy) {
            qInfo() << "Start sequence timed out; resetting busy state";
            setIsBusy(false);
        }
    });

    // The listener poll starts with the first non-empty mount point and runs from then on;
    // the usage report goes out every 300 s while on air (StreamUsage.cpp).
    m_listenerPollTimer.setInterval(kListenerPollMs);
    connect(&m_listenerPollTimer, &QTimer::timeout, this, &StreamController::fetchListeners);
    connect(this, &StreamController::mountPointChanged, this,
            &StreamController::onMountPointChanged);
    m_usageTimer.setInterval(kUsageIntervalMs);
    connect(&m_usageTimer, &QTimer::timeout, this, &StreamController::updateUsageDuration);
}

StreamController::~StreamController() {
    m_input.setDevicesChanged({});
    m_engine.cancelStart();
    if (!waitForJobs(std::chrono::milliseconds(kJobsWaitMs))) {
        // A job is stuck in the sound system and holds on to the engine: nothing can be
        // destroyed under it. What matters is done (a broadcast is stopped before this, its
        // recording closed); the process ends here.
        qWarning() << "A sound system call does not return; ending without clean-up";
        m_engine.stop();
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(EXIT_SUCCESS);
    }
    m_engine.stop();
}

bool StreamController::waitForJobs(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_poolMutex);
    return m_poolDone.wait_for(lock, timeout, [this] { return m_poolJobs == 0; });
}

// Every third level slice (99 ms, about 10 times a second: as fast as the eye follows a peak
// meter): the loudest of the three slices due, the clip indicator (any slice at full scale),
// and the engine's word on the microphone while on air. With a silent input (or none) nothing
// changes and nothing is emitted.
void StreamController::onLevelTimerTimeout() {
    int peak = 0;
    for (int slice = 0; slice < kLevelSlicesPerTick; ++slice)
        peak = std::max(peak, m_engine.levelMeter().take());
    const float level = static_cast<float>(peak) / 1000.0f;
    if (level != m_micLevel) {
        m_micLevel = level;
        emit micLevelChanged();
    }
    if (level >= kClipLevel) {
        setClipping(true);
        m_clipTimer.start(); // held for two seconds after the last peak
    }
    setMicrophoneStalled(m_streaming && m_engine.microphoneStalled());
    setMicrophoneLost(m_streaming && m_engine.microphoneLost());
    setDeadAir(m_streaming && m_engine.deadAir());
    updateLoudness();
}

// The processor's short-term loudness, where it measures what goes out now; a change under
// 0.1 LU is not worth a notification.
void StreamController::updateLoudness() {
    const bool measured = m_voiceProcessing && m_inputProblem.isEmpty() && !m_microphoneLost;
    const double lufs =
        measured ? double(m_engine.shortTermLoudness()) : -std::numeric_limits<double>::infinity();
    const bool finite = std::isfinite(lufs);
    if (finite == std::isfinite(m_loudness) && (!finite || std::abs(lufs - m_loudness) < 0.1))
        return;
    m_loudness = lufs;
    emit loudnessChanged();
}

void StreamController::setVoiceProcessing(bool value) {
    if (m_voiceProcessing == value)
        return;
    m_voiceProcessing = value;
    m_engine.setVoiceProcessing(value);
    settings::setVoiceProcessing(value);
    qInfo() << "Voice processing" << (value ? "on" : "off");
    emit voiceProcessingChanged();
    updateLoudness();
}

void StreamController::setMicrophoneLost(bool value) {
    if (m_microphoneLost == value)
        return;
    m_microphoneLost = value;
    const QString name = m_currentMic ? m_currentMic->micName() : QString();
    if (value)
        qWarning() << "Microphone lost on air; sending silence until it is back:" << name;
    else if (m_streaming)
        qInfo() << "Microphone back on air:" << name;
    emit microphoneLostChanged();
    // Its device may be listed still (a broken stream): try it again at once.
    if (value)
        refreshInput();
}

void StreamController::setMicrophoneStalled(bool value) {
    if (m_microphoneStalled == value)
        return;
    m_microphoneStalled = value;
    if (value)
        qWarning() << "The microphone sends nothing; sending silence until it does";
    emit microphoneStalledChanged();
}

void StreamController::setDeadAir(bool value) {
    if (m_deadAir == value)
        return;
    m_deadAir = value;
    if (value)
        qWarning() << "Dead air: no sound from the microphone for" << DeadAirWatch::kSeconds
                   << "seconds";
    emit deadAirChanged();
}

#define CASTORA_SETTER(Type, name, member, signal)                                                 \
    void StreamController::name(Type value) {                                                      \
        if (member == value)                                                                       \
            return;                                                                                \
        member = value;                                                                            \
        emit signal();                                                                             \
    }

CASTORA_SETTER(bool, setStreaming, m_streaming, streamingChanged)
CASTORA_SETTER(bool, setLive, m_live, liveChanged)
CASTORA_SETTER(bool, setConnectingToServer, m_connectingToServer, connectingToServerChanged)
CASTORA_SETTER(const QString &, setRecordingPath, m_recordingPath, recordingPathChanged)
CASTORA_SETTER(bool, setInternetConnection, m_internetConnection, internetConnectionChanged)
CASTORA_SETTER(const QString &, setChannelName, m_channelName, channelNameChanged)
CASTORA_SETTER(const QString &, setChannelSlug, m_channelSlug, ChannelSlugChanged)
CASTORA_SETTER(int, setChannelId, m_channelId, channelIdChanged)
CASTORA_SETTER(const QString &, setStreamTitle, m_streamTitle, streamTitleChanged)
CASTORA_SETTER(int, setCredits, m_credits, creditsChanged)
CASTORA_SETTER(int, setListeners, m_listeners, listenersChanged)
CASTORA_SETTER(const QString &, setMountPoint, m_mountPoint, mountPointChanged)
CASTORA_SETTER(bool, setIsLoading, m_isLoading, isLoadingChanged)
CASTORA_SETTER(bool, setIsBusy, m_isBusy, isBusyChanged)
CASTORA_SETTER(bool, setInitialized, m_initialized, initializedChanged)
CASTORA_SETTER(bool, setSubStatus, m_subStatus, subStatusChanged)
CASTORA_SETTER(bool, setIsSubscriber, m_isSubscriber, isSubscriberChanged)
CASTORA_SETTER(bool, setShowStatus, m_showStatus, showStatusChanged)
CASTORA_SETTER(const QString &, setChannelArt, m_channelArt, channelArtChanged)
CASTORA_SETTER(const QString &, setStreamArt, m_streamArt, streamArtChanged)
CASTORA_SETTER(bool, setNetworkBarVisible, m_networkBarVisible, networkBarVisibleChanged)
CASTORA_SETTER(bool, setNetworkBarIsError, m_networkBarIsError, networkBarIsErrorChanged)
CASTORA_SETTER(const QString &, setNetworkBarMessage, m_networkBarMessage, networkBarMessageChanged)
CASTORA_SETTER(const QString &, setChatToken, m_chatToken, chatTokenChanged)
CASTORA_SETTER(const QString &, setInputProblem, m_inputProblem, inputProblemChanged)
CASTORA_SETTER(bool, setClipping, m_clipping, clippingChanged)

#undef CASTORA_SETTER

void StreamController::setStreamQuality(int value) {
    if (m_streamQuality == value)
        return;
    m_streamQuality = value;
    emit streamQualityChanged();
    setInitialized(false);
    // Off air the meter's stream moves to the new quality's rate, ready for the start.
    refreshInput();
}
