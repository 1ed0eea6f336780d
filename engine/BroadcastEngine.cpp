#include "BroadcastEngine.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <thread>

namespace castora::engine {

BroadcastEngine::BroadcastEngine(AudioInput &input)
    : m_input(input) {
    m_recorder.setWriteFailed([this](const QString &error) {
        m_recording = false; // the capture callback stops feeding the record queue
        if (m_events.recordingFailed)
            m_events.recordingFailed(error);
    });
    m_recorder.setFileLost([this] { return moveRecording(); });
}

BroadcastEngine::~BroadcastEngine() {
    stop();
    // The capture callback points at this engine.
    m_input.close();
}

void BroadcastEngine::setEvents(Events events) {
    m_events = std::move(events);
    m_sender.setEvents({m_events.connectionLost, m_events.connectionRestored, m_events.wentLive,
                        m_events.refused});
}

void BroadcastEngine::closeGate() {
    m_accepting = false;
    // A callback that saw the gate open is finishing its buffer; it never blocks.
    while (m_inCallback.load() != 0)
        std::this_thread::yield();
}

StartResult BroadcastEngine::fail(StartResult result, StartResult::Failure failure,
                                  const QString &message) {
    result.failure = failure;
    result.message = message;
    return result;
}

StartResult BroadcastEngine::start(const BroadcastRequest &request) {
    StartResult result;
    const QString mount = request.icecast.mount;
    if (mount.isEmpty() || mount == QLatin1String("/"))
        return fail(result, StartResult::Failure::NoMount, kNoMountMessage);
    // An input job may be busy with the sound system (opening a stream for the meter, or one
    // that does not answer): waited for so long, and not past a cancel.
    std::unique_lock input(m_inputMutex, std::defer_lock);
    const auto inputDeadline = Clock::now() + kInputWait;
    while (!input.try_lock_for(std::chrono::milliseconds(50))) {
        if (m_cancelStart || Clock::now() >= inputDeadline)
            return fail(result, StartResult::Failure::CaptureOpen,
                        QStringLiteral("The sound system is not answering, so the microphone "
                                       "could not be opened. Try again in a moment."));
    }
    std::lock_guard job(m_jobMutex);
    if (m_onAir)
        return fail(result, StartResult::Failure::Busy, QStringLiteral("A broadcast is running"));

    // The microphone, found again by its key or name: device indices move when devices come
    // and go.
    const std::optional<AudioDevice> device = resolveDevice(request.deviceKey, request.deviceName);
    if (!device)
        return fail(result, StartResult::Failure::NoDevice,
                    QStringLiteral("No microphone was found. Connect one and try again."));
    result.device = *device;
    const unsigned int rate = chooseSampleRate(device->sampleRates, request.quality);
    result.sampleRate = rate;

    // The capture stream stays open between broadcasts (openInput() may have it running for the
    // meter already); another device or rate reopens it, and so does a stream that broke when
    // its device went away.
    if (!openCapture(*device, rate, request.bufferFrames)) {
        const QString error = m_input.errorText();
        return fail(
            result, StartResult::Failure::CaptureOpen,
            QStringLiteral("Could not open the microphone \"%1\": %2").arg(device->name, error));
    }
    result.bufferFrames = m_openFrames;

    // A fresh encoder: nothing of an earlier stream is left in it.
    const EncoderSettings encoding = settingsForQuality(request.quality);
    if (!m_encoder.configure(rate, encoding, m_openFrames))
        return fail(
            result, StartResult::Failure::Encoder,
            QStringLiteral("Could not prepare the MP3 encoder: %1").arg(m_encoder.errorText()));
    m_encoderDelay = m_encoder.encoderDelay();

    IcecastSettings icecast = request.icecast;
    icecast.bitrate = encoding.bitrate;
    m_sender.setBitrate(encoding.bitrate);
    icecast.sampleRate = rate;
    // The connection is the send thread's: the broadcast records from the press, and goes
    // live when the server takes it (at once, normally).
    if (!m_sink.configure(icecast)) {
        m_encoder.release();
        qInfo() << " Cannot Connect to server..." << m_sink.errorText();
        return fail(result, StartResult::Failure::Connection,
                    QStringLiteral("Could not connect to the streaming server: %1")
                        .arg(m_sink.errorText()));
    }

    // Every broadcast starts with empty queues.
    m_sendQueue.clear();
    m_sendQueue.resetDropped();
    m_recordQueue.clear();
    m_capturedFrames = 0;
    m_droppedBuffers = 0;
    m_meter.setSampleRate(rate);

    m_recordingFolder.clear();
    m_recordingTitle = request.title;
    if (!request.recordingsFolder.isEmpty()) {
        QString folder = request.recordingsFolder;
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        m_recordingFolder = folder;
        if (!makePrivateFolder(folder)) {
            qWarning() << "Could not create the recordings folder" << folder;
            result.recordingProblem =
                QStringLiteral("The recordings folder %1 could not be created. The broadcast "
                               "goes on air without a local recording.")
                    .arg(QDir::toNativeSeparators(folder));
        } else {
            const QDateTime start =
                request.startTime.isValid() ? request.startTime : QDateTime::currentDateTime();
            const QString path = folder + recordingFileName(request.title, start);
            qInfo() << "File Path " << path;
            if (m_writer.open(path)) {
                result.recordingPath = m_writer.path(); // with a suffix when the name was taken
                result.recordingName = recordingBaseName(request.title);
            } else {
                qWarning() << "Could not open the recording file" << path << m_writer.errorText();
                result.recordingProblem =
                    QStringLiteral("The recording file %1 could not be created (%2). The "
                                   "broadcast goes on air without a local recording.")
                        .arg(QDir::toNativeSeparators(path), m_writer.errorText());
            }
        }
    }
    m_recording = m_writer.isOpen();
    m_recordingPath = result.recordingPath;

    m_recorder.start();
    m_sender.start();
    {
        std::lock_guard lock(m_encodeMutex);
        resetInputState(Clock::now());
    }
    m_voice.reset(); // each broadcast's loudness is its own
    // The gate opens on the stream as it runs: a stream that runs already is not started again.
    m_accepting = true;
    if (!m_input.start()) {
        const QString error = m_input.errorText();
        qInfo() << "Could not start the capture stream:" << error;
        closeGate();
        m_recorder.stop();
        m_sender.stop();
        m_writer.close();
        if (!result.recordingPath.isEmpty() && QFileInfo(result.recordingPath).size() == 0)
            QFile::remove(result.recordingPath);
        m_recording = false;
        m_recordingPath.clear();
        m_sink.close();
        m_encoder.release();
        m_sendQueue.clear();
        m_recordQueue.clear();
        result.recordingPath.clear();
        result.recordingName.clear();
        result.recordingProblem.clear();
        return fail(
            result, StartResult::Failure::CaptureStart,
            QStringLiteral("Could not start the microphone \"%1\": %2").arg(device->name, error));
    }
    startWatch();
    m_onAir = true;
    return result;
}

StopResult BroadcastEngine::stop(bool discardRecording) {
    std::lock_guard job(m_jobMutex);
    StopResult result;
    if (!m_onAir)
        return result;
    result.wasOnAir = true;

    // No buffer reaches the encoder or the queues after this. A microphone lost until now has
    // its silence up to this moment.
    closeGate();
    stopWatch();
    {
        std::lock_guard lock(m_encodeMutex);
        takeStash();
        if (m_capture.lost()) {
            const quint64 due = silenceDue(Clock::now());
            if (due > m_silenceSinceLoss)
                feedSilence(due - m_silenceSinceLoss);
        }
        m_capture.restartClock(Clock::now());
        m_lost = false;
        m_stalled = false;
        m_deadAir = false;
    }
    // A stream kept for the meter goes on running for it.
    if (!m_inputKept)
        m_input.stop();
    qInfo() << "Stream Stopped On ...!";

    // The samples LAME still holds belong to the broadcast too.
    const QByteArray tail = m_encoder.flush();
    if (!tail.isEmpty()) {
        if (m_sender.live())
            m_sendQueue.pushAlways(tail);
        if (m_recording)
            m_recordQueue.pushAlways(tail);
    }

    // The record thread writes out its whole queue; the send thread drains within its limit.
    m_recorder.requestStop();
    m_sender.stop();
    m_recorder.join();

    result.wasLive = m_sender.live();
    result.recordingPath = m_recordingPath;
    result.recordedBytes = m_recordingPath.isEmpty() ? 0 : m_writer.bytesWritten();
    m_recordingPath.clear();
    m_writer.close();
    m_sink.close();
    // A broadcast stopped before its first audio leaves no empty file behind.
    const bool unwanted = discardRecording && !result.wasLive;
    if (!result.recordingPath.isEmpty() &&
        (unwanted || (result.recordedBytes == 0 && QFileInfo(result.recordingPath).size() == 0)) &&
        QFile::remove(result.recordingPath)) {
        result.discardedPath = result.recordingPath;
        result.recordingPath.clear();
    }

    m_sendQueue.clear();
    m_recordQueue.clear();
    m_recording = false;
    result.capturedFrames = m_capturedFrames.load();
    result.silenceFrames = m_silenceFrames.load();
    m_onAir = false;
    return result;
}

// The record thread found the recording's file gone (removed alone or with its folder): the
// broadcast goes on in a new file in the same folder, made again when it is gone. What reached
// the old file since it was last seen in place goes into the new one.
bool BroadcastEngine::moveRecording() {
    const QString lost = m_writer.path();
    qWarning() << "The recording file was removed:" << lost;
    const QString path =
        m_recordingFolder + recordingFileName(m_recordingTitle, QDateTime::currentDateTime());
    if (m_recordingFolder.isEmpty() || !makePrivateFolder(m_recordingFolder) ||
        !m_writer.moveTo(path)) {
        const QString error = m_writer.errorText().isEmpty()
                                  ? QStringLiteral("the recordings folder could not be made again")
                                  : m_writer.errorText();
        qWarning() << "Could not go on in a new recording file" << path << error;
        m_recording = false;
        m_writer.close();
        if (m_events.recordingFailed)
            m_events.recordingFailed(error);
        return false;
    }
    m_recordingPath = m_writer.path();
    qInfo() << "Recording goes on in" << m_recordingPath;
    if (m_events.recordingMoved)
        m_events.recordingMoved(lost, recordingBaseName(m_recordingTitle), m_recordingPath);
    return true;
}

} // namespace castora::engine
