#pragma once

#include "BackendRequest.h"
#include "BroadcastEngine.h"
#include "MicModel.h"
#include "NetworkAccess.h"
#include "ServiceConfig.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>

// The object behind the broadcast screen: every piece of broadcast state as a property, the
// list model of the microphones, the timers, and the start/stop button. The work itself is
// done by castora::engine::BroadcastEngine on a pool thread and the engine's own threads;
// this class only moves their outcomes onto the GUI thread, where every property changes.
class StreamController : public QAbstractListModel {
    Q_OBJECT
    // A broadcast runs: it records on this machine from the press of Start to the press of Stop.
    Q_PROPERTY(bool streaming READ streaming WRITE setStreaming NOTIFY streamingChanged)
    // Listeners hear it: the streaming server took the stream (at once, normally; when the
    // server could not be reached at the press, once it can). Recording meanwhile.
    Q_PROPERTY(bool live READ live NOTIFY liveChanged)
    // Recording, and the server has not taken the stream for a moment (kConnectingShowMs) since
    // the press: the screen says so in the network bar's place.
    Q_PROPERTY(bool connectingToServer READ connectingToServer NOTIFY connectingToServerChanged)
    // When the broadcast started (the press), in UTC; invalid while off air.
    Q_PROPERTY(QDateTime broadcastStart READ broadcastStart NOTIFY broadcastStartChanged)
    // The broadcast's recording file while it is written; empty otherwise.
    Q_PROPERTY(QString recordingPath READ recordingPath NOTIFY recordingPathChanged)
    Q_PROPERTY(MicModel *currentMic READ currentMic WRITE setCurrentMic NOTIFY currentMicChanged)
    // The row of the current microphone in the list (matched by name: the default input chosen
    // at start-up is a record of its own), -1 when it is not listed.
    Q_PROPERTY(int currentMicIndex READ currentMicIndex NOTIFY currentMicIndexChanged)
    // Start-stream and stop-stream notices posted and not answered yet: signing out waits for
    // the stop-stream notice, which needs the token.
    Q_PROPERTY(int pendingNotices READ pendingNotices NOTIFY pendingNoticesChanged)
    // How long closing the window, or signing out while on air, waits for the broadcast to stop
    // and for the answer to its stop-stream notice, in milliseconds.
    Q_PROPERTY(int stopWaitMs READ stopWaitMs CONSTANT)
    Q_PROPERTY(bool internetConnection READ internetConnection WRITE setInternetConnection NOTIFY
                   internetConnectionChanged)
    Q_PROPERTY(QString channelName READ channelName WRITE setChannelName NOTIFY channelNameChanged)
    Q_PROPERTY(QString ChannelSlug READ ChannelSlug WRITE setChannelSlug NOTIFY ChannelSlugChanged)
    Q_PROPERTY(int channelId READ channelId WRITE setChannelId NOTIFY channelIdChanged)
    Q_PROPERTY(QString streamTitle READ streamTitle WRITE setStreamTitle NOTIFY streamTitleChanged)
    Q_PROPERTY(int credits READ credits WRITE setCredits NOTIFY creditsChanged)
    Q_PROPERTY(int listeners READ listeners WRITE setListeners NOTIFY listenersChanged)
    Q_PROPERTY(QString mountPoint READ mountPoint WRITE setMountPoint NOTIFY mountPointChanged)
    Q_PROPERTY(bool isLoading READ isLoading WRITE setIsLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isBusy READ isBusy WRITE setIsBusy NOTIFY isBusyChanged)
    Q_PROPERTY(bool initialized READ initialized WRITE setInitialized NOTIFY initializedChanged)
    Q_PROPERTY(bool subStatus READ subStatus WRITE setSubStatus NOTIFY subStatusChanged)
    Q_PROPERTY(bool isSubscriber READ isSubscriber WRITE setIsSubscriber NOTIFY isSubscriberChanged)
    Q_PROPERTY(bool showStatus READ showStatus WRITE setShowStatus NOTIFY showStatusChanged)
    Q_PROPERTY(QString channelArt READ channelArt WRITE setChannelArt NOTIFY channelArtChanged)
    Q_PROPERTY(QString streamArt READ streamArt WRITE setStreamArt NOTIFY streamArtChanged)
    // The input's level, what the level meter draws: the loudest of the three level slices of
    // the last tick (99 ms), notified only when it changes.
    Q_PROPERTY(float micLevel READ micLevel NOTIFY micLevelChanged)
    // Voice processing (noise suppression, loudness leveling to -16 LUFS, a true-peak limiter)
    // between the microphone and the meter, the stream and the recording; off by default,
    // remembered in the settings store.
    Q_PROPERTY(bool voiceProcessing READ voiceProcessing WRITE setVoiceProcessing NOTIFY
                   voiceProcessingChanged)
    // While voice processing is on: the short-term loudness (3 s) of what goes out, in LUFS,
    // taken at each level tick and notified when it moves by 0.1 LU or more; -Infinity while
    // there is nothing to measure (processing off, silence, no input).
    Q_PROPERTY(double loudness READ loudness NOTIFY loudnessChanged)
    Q_PROPERTY(
        int streamQuality READ streamQuality WRITE setStreamQuality NOTIFY streamQualityChanged)
    Q_PROPERTY(bool networkBarVisible READ networkBarVisible WRITE setNetworkBarVisible NOTIFY
                   networkBarVisibleChanged)
    Q_PROPERTY(bool networkBarIsError READ networkBarIsError WRITE setNetworkBarIsError NOTIFY
                   networkBarIsErrorChanged)
    Q_PROPERTY(QString networkBarMessage READ networkBarMessage WRITE setNetworkBarMessage NOTIFY
                   networkBarMessageChanged)
    Q_PROPERTY(QString chatToken READ chatToken WRITE setChatToken NOTIFY chatTokenChanged)
    // The input check. Why no level can be shown (no input, or it cannot be opened); empty
    // while the meter shows the chosen input's level.
    Q_PROPERTY(QString inputProblem READ inputProblem NOTIFY inputProblemChanged)
    // A peak at or near full scale within the last two seconds.
    Q_PROPERTY(bool clipping READ clipping NOTIFY clippingChanged)
    // On air: nothing above about -50 dBFS from the microphone for 20 s.
    Q_PROPERTY(bool deadAir READ deadAir NOTIFY deadAirChanged)
    // On air: the microphone is gone; the listeners hear silence until it is back or another
    // input is chosen (the device chooser is open for that).
    Q_PROPERTY(bool microphoneLost READ microphoneLost NOTIFY microphoneLostChanged)
    // On air, with microphoneLost: the microphone is still there but sends nothing (a suspended
    // or stalled device); capture goes on by itself when its sound comes back.
    Q_PROPERTY(bool microphoneStalled READ microphoneStalled NOTIFY microphoneStalledChanged)

public:
    enum Roles { MicNameRole = Qt::UserRole + 1, MicIdRole };

    static constexpr int kStartTimeoutMs = 15000;
    static constexpr int kStopWaitMs = 10000;
    static constexpr int kUsageIntervalMs = 300000;
    static constexpr int kNetworkBarMs = 4000;
    static constexpr int kListenerPollMs = 10000;
    static constexpr int kClipHoldMs = 2000;
    // A start that is not live this long is shown as recording, not on air yet (a normal start
    // goes live within a fraction of a second, which is not worth a bar sliding in and out).
    static constexpr int kConnectingShowMs = 1500;
    // A level at or above this lights the clip indicator (-0.09 dBFS).
    static constexpr float kClipLevel = 0.99f;
    // The level timer takes this many of the level meter's 33 ms slices at each tick.
    static constexpr int kLevelSlicesPerTick = 3;

    // `input` is the audio hardware (RtAudioInput in the program) and must outlive the
    // controller; `config` says where Icecast, the backend and the probe are.
    StreamController(castora::ServiceConfig config, castora::engine::AudioInput &input,
                     QObject *parent = nullptr);
    ~StreamController() override;

    // list model: one row per input device
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    bool streaming() const { return m_streaming; }
    bool live() const { return m_live; }
    bool connectingToServer() const { return m_connectingToServer; }
    QDateTime broadcastStart() const { return m_broadcastStart; }
    QString recordingPath() const { return m_recordingPath; }
    MicModel *currentMic() const { return m_currentMic.data(); }
    int currentMicIndex() const;
    bool internetConnection() const { return m_internetConnection; }
    QString channelName() const { return m_channelName; }
    QString ChannelSlug() const { return m_channelSlug; }
    int channelId() const { return m_channelId; }
    QString streamTitle() const { return m_streamTitle; }
    int credits() const { return m_credits; }
    int listeners() const { return m_listeners; }
    QString mountPoint() const { return m_mountPoint; }
    bool isLoading() const { return m_isLoading; }
    bool isBusy() const { return m_isBusy; }
    bool initialized() const { return m_initialized; }
    bool subStatus() const { return m_subStatus; }
    bool isSubscriber() const { return m_isSubscriber; }
    bool showStatus() const { return m_showStatus; }
    QString channelArt() const { return m_channelArt; }
    QString streamArt() const { return m_streamArt; }
    float micLevel() const { return m_micLevel; }
    bool voiceProcessing() const { return m_voiceProcessing; }
    double loudness() const { return m_loudness; }
    int streamQuality() const { return m_streamQuality; }
    bool networkBarVisible() const { return m_networkBarVisible; }
    bool networkBarIsError() const { return m_networkBarIsError; }
    QString networkBarMessage() const { return m_networkBarMessage; }
    QString chatToken() const { return m_chatToken; }
    QString inputProblem() const { return m_inputProblem; }
    bool clipping() const { return m_clipping; }
    bool deadAir() const { return m_deadAir; }
    bool microphoneLost() const { return m_microphoneLost; }
    bool microphoneStalled() const { return m_microphoneStalled; }

    void setStreaming(bool value);
    void setCurrentMic(MicModel *mic);
    void setInternetConnection(bool value);
    void setChannelName(const QString &value);
    void setChannelSlug(const QString &value);
    void setChannelId(int value);
    void setStreamTitle(const QString &value);
    void setCredits(int value);
    void setListeners(int value);
    void setMountPoint(const QString &value);
    void setIsLoading(bool value);
    void setIsBusy(bool value);
    void setInitialized(bool value);
    void setSubStatus(bool value);
    void setIsSubscriber(bool value);
    void setShowStatus(bool value);
    void setChannelArt(const QString &value);
    void setStreamArt(const QString &value);
    // Clears `initialized` on a change: the next start configures the encoder anew.
    void setStreamQuality(int value);
    void setNetworkBarVisible(bool value);
    void setNetworkBarIsError(bool value);
    void setNetworkBarMessage(const QString &value);
    void setChatToken(const QString &value);
    // Also remembered in the settings store, and the engine follows at its next buffer.
    void setVoiceProcessing(bool value);

    // Fills the microphone list from the audio library.
    void setMicList();
    // The capture and encoder rate for the current microphone and quality.
    unsigned int determineSampleRate();
    // Checks the encoder and connection settings for the current microphone and quality;
    // 0 when both are good (and `initialized` is set), 1 otherwise.
    int init_stream();
    // The start/stop job, run here and now (startStop() runs it on a pool thread): 1 when a
    // start is refused (no mount point, lapsed subscription), otherwise 0.
    int startRecording();
    // The start-stream and stop-stream notices to the backend.
    void insertStreamData();
    void updateStreamData();
    void postStreamNotice(const QString &path, const char *doneLine);
    // One probe of internet reachability.
    void checkNetworkConnection();
    // One request for the listener count of the current mount point.
    void fetchListeners();

    // Closing the program: gives up a start in progress, stops a broadcast (the recording is
    // completed and closed, stop-stream is posted and answered) within `timeout`. True when
    // nothing is left on air.
    bool shutdown(std::chrono::milliseconds timeout = std::chrono::milliseconds(kStopWaitMs));
    // Waits for the jobs handed to the thread pool (starts, stops, input jobs) within
    // `timeout`. False when one is still running: one stuck in the sound system. Destroying
    // the controller under it would pull the engine away from it, so the program then ends
    // without destroying it (see the destructor).
    bool waitForJobs(std::chrono::milliseconds timeout);
    // How long the destructor waits for the pool's jobs before it ends the process instead.
    static constexpr int kJobsWaitMs = 5000;
    static constexpr const char *kRecordingMovedMessage =
        "The recording file was removed. Recording goes on in a new file.";
    static constexpr const char *kMountInUseMessage =
        "Your channel is already on air from another place.";
    int stopWaitMs() const { return m_stopWaitMs; }
    // The process ends without its event loop (the display connection broke): stops the
    // broadcast synchronously, without Qt's event loop or network.
    void stopForExit();
    // Tests: a shorter wait for signing out while on air.
    void setStopWaitMs(int ms) { m_stopWaitMs = ms; }

    castora::engine::BroadcastEngine &engine() { return m_engine; }
    const QTimer &usageTimer() const { return m_usageTimer; }
    const QTimer &listenerPollTimer() const { return m_listenerPollTimer; }
    const QTimer &startTimeoutTimer() const { return m_startTimeoutTimer; }
    const QTimer &networkBarTimer() const { return m_networkBarTimer; }
    const QTimer &statusTimer() const { return m_statusTimer; }
    // Tests: shorter periods for the usage report (300 s) and the listener poll (10 s).
    void setUsageInterval(int ms) { m_usageTimer.setInterval(ms); }
    void setListenerPollInterval(int ms) { m_listenerPollTimer.setInterval(ms); }
    // Channel, stream-details, usage, listener-count and chat-token requests not answered yet.
    int pendingRequests() const { return m_pendingRequests; }
    unsigned int sampleRate() const { return m_sampleRate; }
    // A start or stop job is in progress (presses are ignored meanwhile).
    bool jobInProgress() const { return m_jobActive; }
    // Start-stream and stop-stream notices posted and not answered yet.
    int pendingNotices() const { return m_pendingNotices; }

public slots:
    void startStop();
    // The signed-in user's channel record into the channel properties.
    void fetchChannel();
    // A new stream title and, when `imagePath` (a local path or a file URL) is not empty, a
    // new stream image; the outcome arrives as requestCompleted().
    void updateStreamDetails(const QString &title, const QString &imagePath);
    void fetchChatToken();
    // The user signed out: the channel record, chat token and listener count go back to their
    // defaults, and answers still on their way for that account are ignored. A broadcast on
    // air is not touched.
    void resetAccount();
    // Sent by the usage timer while on air.
    void updateUsageDuration();
    // Polls the listener count on the shared status timer (every 5 s).
    void getListenersCount();
    void getInternetStatus();
    void checkForDeviceChanges();
    void changeMic(int index);
    // The broadcast screen was shown (true) or hidden (false). While a screen shows the level
    // the capture stream runs off air for the meter, and a start finds it running.
    void showInputLevel(bool shown);
    QString getAppWritablePath();
    void onLevelTimerTimeout();

signals:
    void streamingChanged();
    void liveChanged();
    void connectingToServerChanged();
    void broadcastStartChanged();
    void recordingPathChanged();
    void currentMicChanged();
    void currentMicIndexChanged();
    void pendingNoticesChanged();
    void internetConnectionChanged();
    void channelNameChanged();
    void ChannelSlugChanged();
    void channelIdChanged();
    void streamTitleChanged();
    void creditsChanged();
    void listenersChanged();
    void mountPointChanged();
    void isLoadingChanged();
    void isBusyChanged();
    void initializedChanged();
    void subStatusChanged();
    void isSubscriberChanged();
    void showStatusChanged();
    void channelArtChanged();
    void streamArtChanged();
    void micLevelChanged();
    void voiceProcessingChanged();
    void loudnessChanged();
    void streamQualityChanged();
    void networkBarVisibleChanged();
    void networkBarIsErrorChanged();
    void networkBarMessageChanged();
    void chatTokenChanged();
    void inputProblemChanged();
    void clippingChanged();
    void deadAirChanged();
    void microphoneLostChanged();
    void microphoneStalledChanged();

    void errorOccurred(const QString &message);
    // A user-facing outcome (shown as a toast).
    void requestCompleted(const QString &message, bool hasError);
    // A broadcast's recording file has been opened / completed and closed.
    void recordingOpened(const QString &name, const QString &path);
    void recordingClosed(const QString &path);
    // The recording's file `lostPath` was removed while on air; the broadcast goes on in the
    // new file `path`, listed as `name`.
    void recordingMoved(const QString &lostPath, const QString &name, const QString &path);
    // A broadcast ended before its first audio: its empty file is removed, its listing goes.
    void recordingDiscarded(const QString &path);

private:
    struct Job {
        bool stop = false;
        bool discard = false; // a stop whose recording is not wanted (see BroadcastEngine::stop)
        castora::engine::BroadcastRequest request;
    };

    Job prepareJob() const;
    void runJob(const Job &job);
    void applyStart(const castora::engine::StartResult &result);
    void applyStop(const castora::engine::StopResult &result);
    // True when a press may not start (no mount point, lapsed subscription); says why.
    bool refuseStart(const Job &job);
    void beginJob(const Job &job);
    void finishJob();
    void onConnectionLost();
    void onConnectionRestored();
    void onRecordingFailed(const QString &error);
    void onRecordingMoved(const QString &lostPath, const QString &name, const QString &path);
    void onWentLive();
    void onRefused(castora::engine::Refusal why, bool firstAnswer);
    void stopRefused();
    void setLive(bool value);
    void setConnectingToServer(bool value);
    void setRecordingPath(const QString &path);
    // Whether the streaming server lists the mount (its status page), asked from the send
    // thread after a refused login; nullopt when the page does not say.
    static std::optional<bool> mountListed(const castora::engine::IcecastSettings &server);
    void rebuildMicList();
    // Opens, keeps or closes the capture stream for what is wanted now (a pool job).
    void refreshInput();
    void applyInput(const castora::engine::InputResult &result, bool opened);
    void setInputProblem(const QString &value);
    void setClipping(bool value);
    void setDeadAir(bool value);
    void setMicrophoneLost(bool value);
    void setMicrophoneStalled(bool value);
    void updateLoudness();
    void runOnPool(std::function<void()> job);
    void keepCurrentMicAfterRebuild(const QString &key, const QString &name);
    void dropLostMic();
    MicModel *makeMic(const castora::engine::AudioDevice &device);
    MicModel *makeDefaultMic();
    bool waitOnGui(const std::function<bool()> &done, std::chrono::milliseconds timeout);
    void onMountPointChanged();
    void applyChannelRecord(const QJsonObject &record);
    void finishStreamDetails(const QString &message, bool hasError);

    // Runs `handler(const api::Reply &)` when `reply` is answered, counting it meanwhile in
    // pendingRequests().
    template <typename Handler> void whenAnswered(QNetworkReply *reply, Handler handler) {
        ++m_pendingRequests;
        castora::api::onFinished(
            reply, this, [this, handler = std::move(handler)](const castora::api::Reply &r) {
                handler(r);
                --m_pendingRequests;
            });
    }

    castora::ServiceConfig m_config;
    castora::engine::AudioInput &m_input;
    castora::engine::BroadcastEngine m_engine;
    castora::net::AccessManager m_network;
    int m_stopWaitMs = kStopWaitMs;

    QList<MicModel *> m_mics;
    // Guarded: a record handed in from the UI may be destroyed there.
    QPointer<MicModel> m_currentMic;
    QPointer<MicModel> m_defaultMic; // a record of the default device, not a row

    unsigned int m_sampleRate = 44100;
    unsigned int m_bufferFrames = 16384;

    QTimer m_statusTimer;
    QTimer m_deviceWatchTimer;
    QTimer m_levelTimer;
    QTimer m_listenerPollTimer;
    QTimer m_usageTimer;
    QTimer m_startTimeoutTimer;
    QTimer m_networkBarTimer;
    QTimer m_clipTimer;

    // GUI thread: a job was handed over and its outcome is not applied yet.
    bool m_jobActive = false;
    // GUI thread: an input job was handed over; another is wanted after it.
    bool m_inputJobActive = false;
    bool m_inputJobAgain = false;
    // Broadcast screens showing the level.
    int m_levelScreens = 0;
    // Pool side: jobs running (the destructor waits for them).
    std::mutex m_poolMutex;
    std::condition_variable m_poolDone;
    int m_poolJobs = 0;
    int m_pendingNotices = 0;
    int m_pendingRequests = 0;
    quint64 m_account = 0; // counts sign-outs: which account a reply was asked for

    bool m_streaming = false;
    bool m_internetConnection = false;
    QString m_channelName;
    QString m_channelSlug;
    int m_channelId = 0;
    QString m_streamTitle;
    int m_credits = 0;
    int m_listeners = 0;
    QString m_mountPoint;
    bool m_isLoading = false;
    bool m_isBusy = false;
    bool m_initialized = false;
    bool m_subStatus = false;
    bool m_isSubscriber = false;
    bool m_showStatus = false;
    QString m_channelArt;
    QString m_streamArt;
    float m_micLevel = 0.0f;
    bool m_voiceProcessing = false;
    double m_loudness = -std::numeric_limits<double>::infinity();
    int m_streamQuality = 2;
    bool m_networkBarVisible = false;
    bool m_networkBarIsError = false;
    QString m_networkBarMessage;
    QString m_chatToken;
    QString m_inputProblem;
    bool m_clipping = false;
    bool m_deadAir = false;
    bool m_microphoneLost = false;
    bool m_microphoneStalled = false;

    bool m_live = false;
    bool m_connectingToServer = false;
    QTimer m_connectingTimer;
    QDateTime m_broadcastStart;
    QString m_recordingPath;
    QString m_refusal; // why the server would not take the stream, said once the stop is done
    bool m_refusedAtOnce = false; // at its first answer: nothing of the broadcast is kept
};
