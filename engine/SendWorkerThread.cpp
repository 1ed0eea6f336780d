#include "SendWorkerThread.h"

#include "ChunkQueue.h"
#include "IcecastSink.h"

#include <QDebug>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace castora::engine {

using Clock = std::chrono::steady_clock;

SendWorkerThread::SendWorkerThread(ChunkQueue &queue, IcecastSink &sink)
    : m_queue(queue)
    , m_sink(sink) {
}

SendWorkerThread::~SendWorkerThread() {
    stop();
}

void SendWorkerThread::start() {
    stop();
    m_failedSends = 0;
    m_failedReconnects = 0;
    m_reconnects = 0;
    m_chunksSent = 0;
    m_catchUpChunks = 0;
    m_bytesSent = 0;
    m_pacer.stopClock();
    m_refusedSince.reset();
    m_attempts = 0;
    m_live = false;
    m_abort = false;
    m_finished = false;
    m_running = true;
    m_thread = std::thread([this] {
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "castora-send"); // for profilers and the benchmark
#endif
        run();
    });
}

void SendWorkerThread::stop() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_drainDeadline = Clock::now() + m_timing.drainLimit;
        m_running = false;
    }
    m_wake.notify_all();
    m_queue.wakeAll();
    {
        // The drain gets its time; then whatever the connection is doing is given up.
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, m_timing.drainLimit + std::chrono::milliseconds(200),
                        [this] { return m_finished; });
        m_abort = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

bool SendWorkerThread::pause(std::chrono::milliseconds duration) {
    return pauseUntil(Clock::now() + duration);
}

bool SendWorkerThread::pauseUntil(Clock::time_point when) {
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_until(lock, when, [this] { return stopping(); });
}

void SendWorkerThread::run() {
    QByteArray chunk;
    bool going = connectFirst();
    while (going && m_queue.waitPop(chunk, m_running)) {
        if (stopping()) {
            drain(chunk);
            break;
        }
        switch (sendWithRetries(chunk)) {
        case Sent::Yes:
            pace(chunk);
            break;
        case Sent::No:
            going = !stopping() && reconnect();
            break;
        case Sent::Ended:
            going = false;
            break;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_wake.notify_all();
}

// The stream's start: a connection at once, then as the reconnection loop makes them while the
// server cannot be reached. Nothing was queued meanwhile (the capture queues only for a live
// stream): listeners begin at the live moment.
bool SendWorkerThread::connectFirst() {
    std::chrono::milliseconds limit = m_timing.openTimeout;
    while (true) {
        m_lastAttempt = Clock::now();
        const Attempt result = attempt(limit);
        if (result == Attempt::Ended)
            return false;
        if (result == Attempt::Ok)
            break;
        ++m_failedReconnects;
        qInfo() << "Not on air yet; connecting failed:" << m_sink.errorText();
        limit = m_timing.attemptLimit;
        if (!pauseUntil(m_lastAttempt + m_timing.reconnectDelay))
            return false;
    }
    m_queue.clear();
    m_live = true;
    qInfo() << "Live on Icecast";
    if (m_events.wentLive)
        m_events.wentLive();
    return true;
}

SendWorkerThread::Attempt SendWorkerThread::attempt(std::chrono::milliseconds limit) {
    const auto stopRequested = [this] { return stopping(); };
    ++m_attempts;
    const IcecastSink::Status status = m_sink.open(stopRequested, limit);
    if (status == IcecastSink::Status::Cancelled)
        return Attempt::Ended;
    if (status == IcecastSink::Status::Ok) {
        m_refusedSince.reset();
        return Attempt::Ok;
    }
    std::optional<Refusal> refusal;
    switch (m_sink.failure()) {
    case IcecastSink::Failure::Outage:
        m_refusedSince.reset();
        return Attempt::Failed;
    case IcecastSink::Failure::Unverified:
        refusal = Refusal::Unverified;
        break;
    case IcecastSink::Failure::LoginRefused: {
        // A mount the server does not list is free: the credential is what it refuses. A
        // listed one may be this program's own, dropped a moment ago, until the server lets
        // it go; after the refusal limit it is someone else's.
        const Clock::time_point now = Clock::now();
        if (!m_refusedSince)
            m_refusedSince = now;
        const std::optional<bool> listed =
            m_mountProbe ? m_mountProbe(m_sink.settings()) : std::nullopt;
        if (listed == false)
            refusal = Refusal::Credential;
        else if (now - *m_refusedSince >= m_timing.refusalLimit)
            refusal = listed ? Refusal::MountInUse : Refusal::Credential;
        else
            return Attempt::Failed;
        break;
    }
    }
    qWarning() << "The streaming server refuses the stream:" << m_sink.errorText();
    if (m_events.refused)
        m_events.refused(*refusal, m_attempts == 1 && !m_live);
    return Attempt::Ended;
}

std::chrono::milliseconds SendPacer::sent(qint64 bytes, Clock::time_point now,
                                          std::chrono::milliseconds lead) {
    if (m_bytesPerSecond <= 0)
        return std::chrono::milliseconds(0);
    m_sentBytes += bytes;
    const qint64 audioMs = m_sentBytes * 1000 / m_bytesPerSecond;
    const qint64 goneMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
    const qint64 ahead = audioMs - goneMs - lead.count();
    return std::chrono::milliseconds(ahead > 0 ? ahead : 0);
}

// The capture hands over a chunk per buffer, at the stream's own pace. Whatever piled up while
// the connection was down (or a slow server held the loop back) is older than the live moment:
// it goes out without waiting, and the clock starts again once it is gone. Otherwise the loop
// is held back only when it has run ahead of real time by more than the lead.
void SendWorkerThread::pace(const QByteArray &chunk) {
    const Clock::time_point now = Clock::now();
    if (m_queue.size() > 1) {
        ++m_catchUpChunks;
        m_pacer.stopClock();
        return;
    }
    if (!m_pacer.started()) {
        m_pacer.restart(now);
        return;
    }
    const std::chrono::milliseconds hold = m_pacer.sent(chunk.size(), now, m_timing.paceLead);
    if (hold.count() > 0)
        pause(hold);
}

SendWorkerThread::Sent SendWorkerThread::sendWithRetries(const QByteArray &chunk) {
    const auto aborted = [this] { return m_abort.load(); };
    for (int tries = 1; tries <= m_timing.attempts; ++tries) {
        if (tries > 1) {
            if (!pauseUntil(m_lastAttempt + m_timing.retryDelay))
                return Sent::No;
        } else if (stopping()) {
            return Sent::No;
        }
        m_lastAttempt = Clock::now();
        if (tries > 1) {
            const Attempt opened = attempt(m_timing.attemptLimit);
            if (opened == Attempt::Ended)
                return stopping() ? Sent::No : Sent::Ended;
            if (opened == Attempt::Failed) {
                ++m_failedSends;
                qInfo() << "Send attempt" << tries << "failed:" << m_sink.errorText();
                continue;
            }
            ++m_reconnects;
            m_pacer.stopClock();
            qInfo() << "Reconnected to Icecast";
        }
        const IcecastSink::Status status = m_sink.send(chunk, aborted, m_timing.stallLimit);
        if (status == IcecastSink::Status::Ok) {
            ++m_chunksSent;
            m_bytesSent += chunk.size();
            return Sent::Yes;
        }
        if (status == IcecastSink::Status::Cancelled)
            return Sent::No;
        ++m_failedSends;
        qInfo() << "Send attempt" << tries << "failed:" << m_sink.errorText();
    }
    return Sent::No;
}

bool SendWorkerThread::reconnect() {
    m_sink.close();
    qInfo() << "Connection lost, reconnecting";
    if (m_events.connectionLost)
        m_events.connectionLost();
    while (true) {
        if (!pauseUntil(m_lastAttempt + m_timing.reconnectDelay))
            return false;
        m_lastAttempt = Clock::now();
        const Attempt result = attempt(m_timing.attemptLimit);
        if (result == Attempt::Ok)
            break;
        if (result == Attempt::Ended)
            return false;
        ++m_failedReconnects;
        qInfo() << "Reconnect failed:" << m_sink.errorText();
    }
    ++m_reconnects;
    m_pacer.stopClock();
    qInfo() << "Reconnected to Icecast";
    if (m_events.connectionRestored)
        m_events.connectionRestored();
    return true;
}

void SendWorkerThread::drain(QByteArray chunk) {
    Clock::time_point deadline;
    {
        std::lock_guard lock(m_mutex);
        deadline = m_drainDeadline;
    }
    const auto giveUp = [this, deadline] { return m_abort.load() || Clock::now() >= deadline; };
    do {
        if (!m_sink.isOpen() || giveUp())
            return;
        if (m_sink.send(chunk, giveUp, m_timing.stallLimit) != IcecastSink::Status::Ok)
            return;
        ++m_chunksSent;
        m_bytesSent += chunk.size();
    } while (m_queue.tryPop(chunk));
}

} // namespace castora::engine
