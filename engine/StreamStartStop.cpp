// The start/stop button: configuration check, the job on the thread pool, applying its
// outcome on the GUI thread, the start-stream and stop-stream notices, and the stop at exit.
#include "StreamController.h"

#include "BackendRequest.h"
#include "MicrophonePermission.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QEventLoop>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>

#include <cstdio>
#include <exception>
#include <iostream>
#include <utility>

using namespace castora;
using namespace castora::engine;

namespace {
const char *const kSubscriptionMessage =
    "Your subscribtion has expired Or You don't have credits. Renew it and try again";
}

int StreamController::init_stream() {
    m_sampleRate = determineSampleRate();
    const EncoderSettings encoding = settingsForQuality(m_streamQuality);
    Mp3Encoder encoder;
    if (!encoder.configure(m_sampleRate, encoding, m_bufferFrames)) {
        qWarning() << "Encoder settings refused:" << encoder.errorText();
        return 1;
    }
    // The connection itself is configured at each start (IcecastSink::configure); here only
    // what cannot work anyway is caught.
    if (m_config.icecastHost.isEmpty() || m_config.icecastPort == 0) {
        qWarning() << "No Icecast server configured";
        return 1;
    }
    setInitialized(true);
    return 0;
}

QString StreamController::getAppWritablePath() {
    return defaultRecordingsFolder();
}

StreamController::Job StreamController::prepareJob() const {
    Job job;
    job.stop = m_streaming;
    BroadcastRequest &request = job.request;
    request.deviceName = m_currentMic ? m_currentMic->micName() : QString();
    request.deviceKey = m_currentMic ? m_currentMic->deviceKey() : QString();
    request.quality = m_streamQuality;
    request.bufferFrames = m_bufferFrames;
    request.icecast.host = m_config.icecastHost;
    request.icecast.port = m_config.icecastPort;
    request.icecast.user = m_config.icecastUser;
    request.icecast.password = m_config.icecastPassword;
    request.icecast.tls = m_config.icecastTls;
    request.icecast.mount = m_mountPoint;
    request.recordingsFolder = defaultRecordingsFolder();
    request.title = m_streamTitle;
    request.startTime = QDateTime::currentDateTime();
    return job;
}

bool StreamController::refuseStart(const Job &job) {
    if (job.stop)
        return false; // a lapsed channel can always stop
    // Without a channel record (signed out and in again, its fetch failed, or the account has
    // no channel) there is no mount point: nothing may reach the server or the backend.
    if (job.request.icecast.mount.isEmpty()) {
        qWarning() << "No mount point; start refused";
        emit requestCompleted(kNoMountMessage, true);
        fetchChannel(); // the next press may find it
        return true;
    }
    if (!m_subStatus) {
        setShowStatus(true);
        emit requestCompleted(QString::fromUtf8(kSubscriptionMessage), true);
        return true;
    }
    return false;
}

void StreamController::startStop() {
    try {
        // One press at a time: a press while a start or stop is under way is ignored.
        if (m_jobActive) {
            qInfo() << "Start/stop in progress; press ignored";
            return;
        }
        if (!m_initialized)
            init_stream();
        switch (microphone::status()) {
        case microphone::Permission::Undetermined:
            microphone::request(this, [this] { startStop(); });
            return;
        case microphone::Permission::Denied:
            return;
        case microphone::Permission::Granted:
            break;
        }
        const Job job = prepareJob();
        if (refuseStart(job))
            return;
        beginJob(job);
        QThreadPool::globalInstance()->start([this, job] { runJob(job); });
    } catch (const std::exception &error) {
        std::cerr << "Exception caught: " << error.what() << std::endl;
    }
}

int StreamController::startRecording() {
    const Job job = prepareJob();
    if (refuseStart(job))
        return 1;
    if (m_jobActive)
        return 0;
    beginJob(job);
    runJob(job);
    return 0;
}

void StreamController::beginJob(const Job &job) {
    m_jobActive = true;
    if (!job.stop) {
        m_engine.allowStart(); // a cancel from now on holds for this start
        m_refusal.clear();
    }
    {
        std::lock_guard lock(m_poolMutex);
        ++m_poolJobs;
    }
    if (!job.stop) {
        setIsBusy(true);
        // A safety net: the job reports its outcome in any case.
        m_startTimeoutTimer.start(kStartTimeoutMs);
    }
}

// On a pool thread, or on the GUI thread when called through startRecording().
void StreamController::runJob(const Job &job) {
    const bool onGui = QThread::currentThread() == thread();
    if (job.stop) {
        const StopResult result = m_engine.stop(job.discard);
        if (onGui)
            applyStop(result);
        else
            QMetaObject::invokeMethod(
                this, [this, result] { applyStop(result); }, Qt::QueuedConnection);
    } else {
        const StartResult result = m_engine.start(job.request);
        if (onGui)
            applyStart(result);
        else
            QMetaObject::invokeMethod(
                this, [this, result] { applyStart(result); }, Qt::QueuedConnection);
    }
    // Notified under the lock: the controller's destructor may end the wait and destroy the
    // condition as soon as it sees the count drop.
    std::lock_guard lock(m_poolMutex);
    --m_poolJobs;
    m_poolDone.notify_all();
}

void StreamController::applyStart(const StartResult &result) {
    m_startTimeoutTimer.stop();
    if (!result.ok()) {
        m_refusal.clear();
        setIsBusy(false);
        finishJob();
        emit requestCompleted(result.message, true);
        return;
    }
    m_sampleRate = result.sampleRate;
    m_broadcastStart = QDateTime::currentDateTimeUtc();
    emit broadcastStartChanged();
    setStreaming(true);
    setIsBusy(false);
    m_connectingTimer.start();
    // Recording from now on; live once the server takes the stream (onWentLive), which it
    // may have done already: the event is queued behind this.
    if (!result.recordingPath.isEmpty()) {
        setRecordingPath(result.recordingPath);
        emit recordingOpened(result.recordingName, result.recordingPath);
        qInfo() << "Recording added to database via RecordingController";
    }
    if (!result.recordingProblem.isEmpty())
        emit requestCompleted(result.recordingProblem, true);
    finishJob();
    if (!m_refusal.isEmpty())
        stopRefused(); // refused while the start was being applied
}

void StreamController::applyStop(const StopResult &result) {
    m_usageTimer.stop();
    if (m_networkBarVisible)
        setNetworkBarVisible(false);
    // The backend heard of the broadcast only if it went live; then it hears of the stop.
    if (m_live)
        updateStreamData();
    setLive(false);
    m_connectingTimer.stop();
    setConnectingToServer(false);
    setStreaming(false);
    m_broadcastStart = QDateTime();
    emit broadcastStartChanged();
    setMicrophoneStalled(false);
    setMicrophoneLost(false);
    setDeadAir(false);
    setRecordingPath(QString());
    if (!result.recordingPath.isEmpty())
        emit recordingClosed(result.recordingPath);
    if (!result.discardedPath.isEmpty()) {
        qInfo() << "The recording of a broadcast that never began is removed";
        emit recordingDiscarded(result.discardedPath);
    }
    qInfo() << "File Saved To :" << getAppWritablePath();
    finishJob();
    if (!m_refusal.isEmpty())
        emit requestCompleted(std::exchange(m_refusal, QString()), true);
}

// The server took the stream: from now on it is on air for listeners and for the backend.
void StreamController::onWentLive() {
    if (!m_streaming || m_live || !m_engine.isLive())
        return; // a late event of a broadcast already stopped
    setLive(true);
    m_connectingTimer.stop();
    setConnectingToServer(false);
    m_usageTimer.start(); // 300 s from now: a new broadcast starts a new period
    insertStreamData();
}

// The server will not take the stream: the broadcast stops and the user is told why once the
// button is usable again. What was recorded while the server was tried is kept; a broadcast
// refused at the server's first answer (a wrong credential, a certificate that does not
// verify) was never more than a press, and leaves nothing.
void StreamController::onRefused(Refusal why, bool firstAnswer) {
    m_refusedAtOnce = firstAnswer;
    switch (why) {
    case Refusal::MountInUse:
        m_refusal = QString::fromLatin1(kMountInUseMessage);
        break;
    case Refusal::Credential:
        m_refusal = tr("The streaming server did not accept this program's source login for your "
                       "channel's mount %1. Please contact support.")
                        .arg(m_mountPoint);
        break;
    case Refusal::Unverified:
        m_refusal = kUnverifiedConnectionMessage;
        break;
    }
    if (m_jobActive)
        return; // the start under way stops when applied, a stop under way says it when done
    if (!m_streaming) {
        m_refusal.clear(); // a late event of a broadcast already stopped
        return;
    }
    stopRefused();
}

void StreamController::stopRefused() {
    qWarning() << "Stopping: the streaming server refuses the stream for" << m_mountPoint;
    Job job = prepareJob();
    job.discard = m_refusedAtOnce;
    beginJob(job);
    QThreadPool::globalInstance()->start([this, job] { runJob(job); });
}

// The device watch and the input check wait while a job runs; what they missed is looked at
// now (after a stop: a microphone lost on air that is still gone gives way to the default).
void StreamController::finishJob() {
    m_jobActive = false;
    dropLostMic();
    checkForDeviceChanges();
    refreshInput();
}

void StreamController::onRecordingFailed(const QString &error) {
    qWarning() << "Writing the recording failed:" << error;
    emit requestCompleted(QStringLiteral("The recording could not be written (%1). The broadcast "
                                         "goes on; the rest of it is not recorded.")
                              .arg(error),
                          true);
}

void StreamController::onRecordingMoved(const QString &lostPath, const QString &name,
                                        const QString &path) {
    if (!m_streaming)
        return;
    setRecordingPath(path);
    emit recordingMoved(lostPath, name, path);
    emit requestCompleted(QString::fromLatin1(kRecordingMovedMessage), true);
}

void StreamController::insertStreamData() {
    postStreamNotice(QStringLiteral("api/channel/start-stream"), "Stream Data Inserted");
    qInfo() << "Posted";
}

void StreamController::updateStreamData() {
    postStreamNotice(QStringLiteral("api/channel/stop-stream"), "Stream Data Updated");
}

// Start and stop notices: counted while in flight, so a stop (and closing the window) can
// wait for them to be answered.
void StreamController::postStreamNotice(const QString &path, const char *doneLine) {
    QNetworkReply *reply = api::postJson(m_network, m_config.endpoint(path), QJsonObject());
    ++m_pendingNotices;
    emit pendingNoticesChanged();
    api::onFinished(reply, this, [this, doneLine](const api::Reply &r) {
        --m_pendingNotices;
        emit pendingNoticesChanged();
        if (r.ok())
            qInfo() << doneLine;
        qInfo() << r.error;
    });
}

// Drives the event dispatcher itself rather than a nested QEventLoop: a loop started after
// QCoreApplication::exit() (a signal, the session ending) returns at once, and such a wait would
// spin without delivering anything, the stop-stream notice among it.
bool StreamController::waitOnGui(const std::function<bool()> &done,
                                 std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    QTimer tick; // wakes the dispatcher to look at the clock and at `done`
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool StreamController::shutdown(std::chrono::milliseconds timeout) {
    const QDeadlineTimer deadline(timeout);
    const auto left = [&deadline] {
        return std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime()));
    };
    // A start under way gives up its connection attempt; its outcome still arrives.
    m_engine.cancelStart();
    waitOnGui([this] { return !m_jobActive; }, left());
    if (m_streaming && !m_jobActive) {
        qInfo() << "Closing while on air: stopping the broadcast";
        const Job job = prepareJob();
        beginJob(job);
        QThreadPool::globalInstance()->start([this, job] { runJob(job); });
    }
    waitOnGui([this] { return !m_jobActive; }, left());
    // The stop-stream notice needs the event loop to go out and be answered.
    waitOnGui([this] { return m_pendingNotices == 0; }, left());
    return !m_streaming && !m_engine.isOnAir();
}

// The process is ending from under the event loop (Qt's X11 connection broke and it called
// exit()): no queued call, timer or reply will run again, and exit() has begun to take Qt's
// global objects down (those made after the exit handler was registered go first), the
// network's among them. The engine stops here and now, without Qt's help: the recording is
// completed and closed and the connection closed, within the stop's own bounds. The
// stop-stream notice cannot go out any more.
void StreamController::stopForExit() {
    m_engine.cancelStart();
    // A stop job may have stopped the engine already, its outcome never applied here.
    const castora::engine::StopResult result = m_engine.stop();
    if (result.wasOnAir || m_streaming)
        std::fprintf(stderr, "Stopped the broadcast on the way out\n");
}
