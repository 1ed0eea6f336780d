#pragma once

#include "AudioInput.h"
#include "CaptureState.h"
#include "ChunkQueue.h"
#include "IcecastSink.h"
#include "LevelMeter.h"
#include "Mp3Encoder.h"
#include "RecordWorkerThread.h"
#include "RecordingWriter.h"
#include "SendWorkerThread.h"
#include "VoiceProcessor.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace castora::engine {

// What a start needs to know, taken on the GUI thread when the button is pressed.
struct BroadcastRequest {
    QString deviceName; // the chosen microphone; the default input when empty or gone
    QString deviceKey;  // its key (AudioDevice::key) when the sound system names devices
    int quality = 2;    // streamQuality
    unsigned int bufferFrames = 16384;
    IcecastSettings icecast;  // bitrate and sample rate are filled in by the engine
    QString recordingsFolder; // empty: no local recording
    QString title;            // the stream title, base of the recording's file name
    QDateTime startTime;      // of the recording's file name; now when invalid
};

struct StartResult {
    enum class Failure {
        None,
        Busy,
        NoMount,
        NoDevice,
        CaptureOpen,
        Encoder,
        Connection,
        CaptureStart
    };
    Failure failure = Failure::None;
    QString message;          // for the user, when the start failed
    QString recordingName;    // the title as it appears in the file name
    QString recordingPath;    // empty: on air without a local recording
    QString recordingProblem; // for the user: why there is no local recording
    AudioDevice device;
    unsigned int sampleRate = 0;
    unsigned int bufferFrames = 0;

    bool ok() const { return failure == Failure::None; }
};

// The microphone whose capture stream should run, for the meter before a broadcast or for a
// broadcast whose microphone was lost.
struct InputRequest {
    QString deviceName; // the chosen microphone; the default input when empty or gone
    QString deviceKey;  // its key (AudioDevice::key) when the sound system names devices
    int quality = 2;    // streamQuality: picks the capture rate off air
    unsigned int bufferFrames = 16384;
};

struct InputResult {
    enum class Failure { None, NoDevice, Open, Start };
    Failure failure = Failure::None;
    QString error; // the audio library's words, for the log
    AudioDevice device;
    unsigned int sampleRate = 0;

    bool ok() const { return failure == Failure::None; }
};

struct StopResult {
    bool wasOnAir = false;
    bool wasLive = false;  // the server had taken the stream
    QString recordingPath; // the file now complete and closed; empty when none
    QString discardedPath; // a recording file that got nothing (removed): its listing goes
    qint64 recordedBytes = 0;
    quint64 capturedFrames = 0;
    quint64 silenceFrames = 0; // fed while the microphone was lost
};

// Why a start without a mount point is refused: the server would list a stream at "/" that no
// listener of the channel ever hears.
inline const QString kNoMountMessage =
    QStringLiteral("Your channel is not loaded, so the broadcast cannot start. Check your "
                   "internet connection and try again.");

// The broadcast engine without Qt's event loop: capture callback, encoder, the two queues and
// their threads, the Icecast connection and the recording file, and the start and stop
// sequences that the controller runs on a pool thread.
//
// A broadcast's data flow: capture callback -> peak level, MP3 encoder -> one chunk, shared by
// the send queue (at most 40, send thread -> Icecast) and the record queue (unbounded, record
// thread -> file). A stop gates the callback, flushes the encoder into both queues, lets the
// record thread write out its queue and the send thread drain its own within a time limit,
// and only then closes the file and the connection. Each start begins with empty queues and
// a fresh encoder.
//
// The capture stream is the engine's one capture stream. Off air it may run for the level
// meter alone (openInput); the gate to the encoder stays closed until a start opens it on the
// running stream. While on air the input watch (a thread of the engine) looks after the
// microphone (CaptureState says how): when its stream breaks, its device goes away or its
// buffers stop coming, the watch feeds silence through the same encoder and queues, paced by
// the clock at the capture's rate and buffer size from the moment audio stopped arriving, so
// the stream and the recording go on whole. When the stalled stream delivers again, or a stream
// opened again (openInput) delivers, its first buffer takes over where the silence ends. Only
// one of the two feeds the encoder at a time (the encoder lock, which the capture callback only
// ever tries: it never waits).
//
// Voice processing (VoiceProcessor) sits in the capture callback, on the capture thread: when it
// is on, the meter, the encoder and so the stream and the recording get the processed samples,
// while the input's own checks (dead air, and the arrival of buffers that tells a lost
// microphone) stay on what the microphone delivered. Off, the callback hands the microphone's
// samples on as they are, not even copied. The silence fed for a lost microphone is not
// processed. The processor is set up for the stream's rate whenever a stream is opened (no
// callback runs then) and its leveler starts afresh with each broadcast.
//
// Locks, always taken in this order and never two the other way round:
//   m_inputMutex   opening, starting and closing the capture stream: calls into the sound
//                  system that may take long. Taken by openInput(), closeInput() and a start;
//                  never by a stop, the input watch or the capture callback.
//   m_jobMutex     a start or a stop. Never held across a call into the sound system, so a
//                  stop is bounded whatever the input is doing.
//   m_encodeMutex  the encoder, the capture state and what feeds it (the callback only tries).
// A recording whose file disappears (removed with its folder) goes on in a new file from the
// same broadcast; the user hears of it through Events::recordingMoved.
class BroadcastEngine {
public:
    struct Events {
        std::function<void()> connectionLost;                      // send thread
        std::function<void()> connectionRestored;                  // send thread
        std::function<void(const QString &error)> recordingFailed; // record thread, once
        // The recording's file was removed; the broadcast goes on in the new file `path`
        // (listed as `name`). Record thread.
        std::function<void(const QString &lostPath, const QString &name, const QString &path)>
            recordingMoved;
        std::function<void()> wentLive; // the server took the stream (send thread, once)
        // The server will not take the stream (send thread); whoever runs the broadcast stops it.
        std::function<void(Refusal why, bool firstAnswer)> refused;
    };

    static constexpr std::size_t kSendQueueLimit = 40;

    explicit BroadcastEngine(AudioInput &input);
    ~BroadcastEngine();
    BroadcastEngine(const BroadcastEngine &) = delete;
    BroadcastEngine &operator=(const BroadcastEngine &) = delete;

    void setEvents(Events events);
    void setSendTiming(const SendTiming &timing) { m_sender.setTiming(timing); }
    // Asked after a refused login: whether the server lists the mount (see SendWorkerThread).
    void setMountProbe(SendWorkerThread::MountProbe probe) {
        m_sender.setMountProbe(std::move(probe));
    }

    // Starts and stops are serialised; a start while on air is refused. A start uses the capture
    // stream that openInput() left running when it is on the right device at the right rate.
    StartResult start(const BroadcastRequest &request);
    // `discardRecording`: the broadcast never went live and its recording is not wanted (the
    // server refused it at its first answer): the file goes, whatever it holds.
    StopResult stop(bool discardRecording = false);

    // Opens the capture stream on a microphone and keeps it running (also through later
    // stops), so that its level is on the meter before a broadcast and a start finds the
    // stream delivering already (PulseAudio holds the first audio of a new stream back for
    // 1.3 to 1.8 s). Off air nothing of it is encoded, sent or written. A stream on the same
    // device at the same rate is left as it runs; another device, another rate (the quality's)
    // or a broken stream is opened anew. On air, for a lost microphone or another one chosen
    // meanwhile, the stream is opened at the broadcast's rate and takes over from the silence.
    // Serialised with start() and stop(); may block while the sound system answers.
    InputResult openInput(const InputRequest &request);
    // The same for the device, quality and buffer size of a broadcast's request: what a start
    // with that request finds running.
    InputResult startInputCheck(const BroadcastRequest &request) {
        return openInput(
            {request.deviceName, request.deviceKey, request.quality, request.bufferFrames});
    }
    // Off air: closes the capture stream (nothing needs the meter). On air it stays.
    void closeInput();
    // The stream is kept running through stops (openInput() since the last closeInput()).
    bool inputKept() const { return m_inputKept.load(); }
    // The devices may have changed: the input watch looks whether the broadcast's is there.
    void noteDevicesChanged() {
        m_devicesChanged = true;
        { std::lock_guard lock(m_watchMutex); } // a watch about to wait sees the flag
        m_watchWake.notify_all();               // a waiting one looks at once
    }

    // On air: the microphone is gone (or stalled) and silence is fed in its place.
    bool microphoneLost() const { return m_lost.load(); }
    // On air: the microphone is there but its buffers stopped coming (kept: they may go on).
    bool microphoneStalled() const { return m_stalled.load(); }
    CaptureState::Phase capturePhase();
    // On air: the input has stayed below about -50 dBFS for 20 s (DeadAirWatch).
    bool deadAir() const { return m_deadAir.load(); }
    // Gives up a connection attempt of a start in progress or about to run (closing the
    // program). Holds until allowStart(), which whoever hands over the next start calls first.
    void cancelStart() { m_cancelStart = true; }
    void allowStart() { m_cancelStart = false; }
    // A broadcast runs on this machine (capture, encoder, recording), from the start to the
    // stop, live or not yet.
    bool isOnAir() const { return m_onAir.load(); }
    // The server has taken the stream (since the broadcast's first connection).
    bool isLive() const { return m_sender.live(); }

    // The input level, slice by slice as the audio comes in (GUI thread).
    LevelMeter &levelMeter() { return m_meter; }

    // Voice processing on or off (any thread; it takes effect at the next buffer, crossfaded).
    void setVoiceProcessing(bool on) { m_voice.setEnabled(on); }
    bool voiceProcessing() const { return m_voice.isEnabled(); }
    // The processed output's short-term loudness (LUFS; -inf while it is off or silent).
    float shortTermLoudness() const { return m_voice.shortTermLufs(); }

    // Counters of the current (or last) broadcast: frames captured and encoded, frames of
    // silence fed for a lost microphone, and both together (the length of the stream).
    quint64 capturedFrames() const { return m_capturedFrames.load(); }
    quint64 silenceFrames() const { return m_silenceFrames.load(); }
    quint64 encodedFrames() const { return capturedFrames() + silenceFrames(); }
    int droppedBuffers() const { return m_droppedBuffers.load(); }
    int encoderDelay() const { return m_encoderDelay.load(); }
    int captureOpens() const { return m_captureOpens.load(); }
    const SendWorkerThread &sender() const { return m_sender; }
    const RecordWorkerThread &recorder() const { return m_recorder; }
    const ChunkQueue &sendQueue() const { return m_sendQueue; }
    const ChunkQueue &recordQueue() const { return m_recordQueue; }

    // How often the input watch paces the silence while the microphone is lost, and how often
    // it looks at a microphone that is there (a change of devices wakes it at once): every look
    // wakes a thread, which costs CPU on air.
    static constexpr std::chrono::milliseconds kWatchTick{25};
    static constexpr std::chrono::milliseconds kWatchLook{100};
    // How long a start waits for an input job to finish with the sound system.
    static constexpr std::chrono::milliseconds kInputWait{5000};

private:
    using Clock = std::chrono::steady_clock;

    void closeGate();
    StartResult fail(StartResult result, StartResult::Failure failure, const QString &message);
    // Opens, but does not start, the capture stream on `device` at `rate` (m_inputMutex held).
    bool openCapture(const AudioDevice &device, unsigned int rate, unsigned int frames);
    // Closes the capture stream (m_inputMutex held).
    void closeCapture();
    std::optional<AudioDevice> resolveDevice(const QString &key, const QString &name);
    InputResult switchInputOnAir(const InputRequest &request);
    // The recording's file went away: a new one in the same folder (record thread).
    bool moveRecording();

    // The capture callback: runs on the audio library's thread for every buffer of the stream
    // opened as `generation`; buffers of a stream given up since are let go.
    void onCapture(const qint16 *samples, unsigned int frames, unsigned int generation);

    // The input watch (its own thread while on air).
    void startWatch();
    void stopWatch();
    void watchInput();
    void checkInput();
    // Under m_encodeMutex:
    void resetInputState(Clock::time_point now);
    bool encodeLocked(const qint16 *samples, unsigned int frames);
    // A buffer as the microphone delivered it (`raw`) and as it goes out (`heard`: processed,
    // or the same samples).
    void takeAudio(const qint16 *raw, const qint16 *heard, unsigned int frames,
                   unsigned int generation, Clock::time_point at);
    void takeStash();
    // The input is lost (stalled, or given up when `giveUp`: its buffers are not heard again).
    void loseInput(bool giveUp);
    void noteLoss();
    void feedSilence(quint64 frames);
    quint64 silenceDue(Clock::time_point now) const;
    // A buffer that arrived while the watch held the encoder (capture thread).
    void stash(const qint16 *raw, const qint16 *heard, unsigned int frames, unsigned int generation,
               Clock::time_point at);

    AudioInput &m_input;
    Mp3Encoder m_encoder;
    IcecastSink m_sink;
    RecordingWriter m_writer;
    ChunkQueue m_sendQueue{kSendQueueLimit};
    ChunkQueue m_recordQueue{0, 256};
    SendWorkerThread m_sender{m_sendQueue, m_sink};
    RecordWorkerThread m_recorder{m_recordQueue, m_writer};
    Events m_events;

    // The capture stream's opening and closing (see the class comment). Timed: a start waits
    // for an input job stuck in the sound system only so long.
    std::timed_mutex m_inputMutex;
    std::mutex m_jobMutex; // one start or stop at a time
    std::atomic<bool> m_onAir{false};
    std::atomic<bool> m_cancelStart{false};
    // The broadcast's recording (the record thread moves it to a new file when the file goes).
    QString m_recordingPath;
    QString m_recordingFolder;
    QString m_recordingTitle;

    // The capture stream as it was opened (kept open between broadcasts; m_inputMutex).
    AudioDevice m_openDevice;
    unsigned int m_openRate = 0;
    unsigned int m_openFrames = 0;
    std::atomic<int> m_captureOpens{0};
    std::atomic<bool> m_inputKept{false};

    // Shared with the capture callback.
    std::atomic<bool> m_accepting{false};
    std::atomic<int> m_inCallback{0};
    std::atomic<bool> m_recording{false};
    std::atomic<unsigned int> m_generation{0}; // of the capture stream that may deliver
    LevelMeter m_meter;
    std::atomic<quint64> m_capturedFrames{0};
    std::atomic<quint64> m_silenceFrames{0};
    std::atomic<int> m_droppedBuffers{0};
    std::atomic<int> m_encoderDelay{0};
    std::atomic<bool> m_lost{false};    // mirrors m_capture.lost() while on air
    std::atomic<bool> m_stalled{false}; // mirrors the Stalled phase while on air
    std::atomic<bool> m_deadAir{false};
    std::atomic<bool> m_devicesChanged{false};
    // Capture thread only, set up where no callback runs (openCapture: between the old
    // stream's close and the new one's open).
    VoiceProcessor m_voice;
    std::vector<qint16> m_processed; // one capture buffer, processed

    // The encoder and what feeds it: the capture callback (try_lock only) or the input watch.
    std::mutex m_encodeMutex;
    CaptureState m_capture;   // the stream of generation m_generation
    bool m_switching = false; // the stream is being replaced: the watch leaves m_capture alone
    quint64 m_silenceSinceLoss = 0;
    std::vector<qint16> m_zeros; // one capture buffer of silence
    DeadAirWatch m_quiet;
    // One buffer the callback could not hand over while the watch held the encoder: as the
    // microphone delivered it and, while voice processing runs, as it goes out.
    std::vector<qint16> m_stash;
    std::vector<qint16> m_stashHeard;
    bool m_stashProcessed = false;
    unsigned int m_stashFrames = 0;
    unsigned int m_stashGeneration = 0;
    Clock::time_point m_stashAt;
    std::atomic<bool> m_stashFull{false};

    std::thread m_watch;
    std::mutex m_watchMutex;
    std::condition_variable m_watchWake;
    bool m_watching = false; // guarded by m_watchMutex
};

} // namespace castora::engine
