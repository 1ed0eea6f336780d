#pragma once

#include "AudioInput.h"
#include "ChunkQueue.h"
#include "IcecastSink.h"
#include "LevelMeter.h"
#include "Mp3Encoder.h"
#include "RecordWorkerThread.h"
#include "RecordingWriter.h"
#include "SendWorkerThread.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>

namespace castora::engine {

// What a start needs to know, taken on the GUI thread when the button is pressed.
struct BroadcastRequest {
    QString deviceName; // the chosen microphone; the default input when empty or gone
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

struct StopResult {
    bool wasOnAir = false;
    QString recordingPath; // the file now complete and closed; empty when none
    qint64 recordedBytes = 0;
    quint64 capturedFrames = 0;
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
class BroadcastEngine {
public:
    struct Events {
        std::function<void()> connectionLost;                      // send thread
        std::function<void()> connectionRestored;                  // send thread
        std::function<void(const QString &error)> recordingFailed; // record thread, once
    };

    static constexpr std::size_t kSendQueueLimit = 40;

    explicit BroadcastEngine(AudioInput &input);
    ~BroadcastEngine();
    BroadcastEngine(const BroadcastEngine &) = delete;
    BroadcastEngine &operator=(const BroadcastEngine &) = delete;

    void setEvents(Events events);
    void setSendTiming(const SendTiming &timing) { m_sender.setTiming(timing); }

    // Starts and stops are serialised; a start while on air is refused.
    StartResult start(const BroadcastRequest &request);
    StopResult stop();
    // Gives up a connection attempt of a start in progress (closing the program).
    void cancelStart() { m_cancelStart = true; }
    bool isOnAir() const { return m_onAir.load(); }

    // The input level, slice by slice as the audio comes in (GUI thread).
    LevelMeter &levelMeter() { return m_meter; }

    // Counters of the current (or last) broadcast.
    quint64 capturedFrames() const { return m_capturedFrames.load(); }
    int droppedBuffers() const { return m_droppedBuffers.load(); }
    int encoderDelay() const { return m_encoderDelay.load(); }
    int captureOpens() const { return m_captureOpens; }
    const SendWorkerThread &sender() const { return m_sender; }
    const RecordWorkerThread &recorder() const { return m_recorder; }
    const ChunkQueue &sendQueue() const { return m_sendQueue; }
    const ChunkQueue &recordQueue() const { return m_recordQueue; }

    // The capture callback: runs on the audio library's thread for every buffer.
    void onCapture(const qint16 *samples, unsigned int frames);

private:
    void closeGate();
    StartResult fail(StartResult result, StartResult::Failure failure, const QString &message);

    AudioInput &m_input;
    Mp3Encoder m_encoder;
    IcecastSink m_sink;
    RecordingWriter m_writer;
    ChunkQueue m_sendQueue{kSendQueueLimit};
    ChunkQueue m_recordQueue{0, 256};
    SendWorkerThread m_sender{m_sendQueue, m_sink};
    RecordWorkerThread m_recorder{m_recordQueue, m_writer};
    Events m_events;

    std::mutex m_jobMutex; // one start or stop at a time
    std::atomic<bool> m_onAir{false};
    std::atomic<bool> m_cancelStart{false};
    QString m_recordingPath; // of the broadcast on air

    // The capture stream as it was opened (kept open between broadcasts).
    QString m_openDeviceName;
    unsigned int m_openDeviceId = 0;
    unsigned int m_openRate = 0;
    unsigned int m_openFrames = 0;
    int m_captureOpens = 0;

    // Shared with the capture callback.
    std::atomic<bool> m_accepting{false};
    std::atomic<int> m_inCallback{0};
    std::atomic<bool> m_recording{false};
    LevelMeter m_meter;
    std::atomic<quint64> m_capturedFrames{0};
    std::atomic<int> m_droppedBuffers{0};
    std::atomic<int> m_encoderDelay{0};
};

} // namespace castora::engine
