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
    while (m_queue.waitPop(chunk, m_running)) {
        if (stopping()) {
            drain(chunk);
            break;
        }
        if (sendWithRetries(chunk)) {
            pace(chunk);
            continue;
        }
        if (stopping())
            break;
        if (!reconnect())
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_finished = true;
    }
    m_wake.notify_all();
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

bool SendWorkerThread::sendWithRetries(const QByteArray &chunk) {
    const auto aborted = [this] { return m_abort.load(); };
    const auto stopRequested = [this] { return stopping(); };
    for (int attempt = 1; attempt <= m_timing.attempts; ++attempt) {
        if (attempt > 1) {
            if (!pauseUntil(m_lastAttempt + m_timing.retryDelay))
                return false;
        } else if (stopping()) {
            return false;
        }
        m_lastAttempt = Clock::now();
        if (attempt > 1) {
            const IcecastSink::Status opened = m_sink.open(stopRequested, m_timing.attemptLimit);
            if (opened == IcecastSink::Status::Cancelled)
                return false;
            if (opened == IcecastSink::Status::Failed) {
                ++m_failedSends;
                qInfo() << "Send attempt" << attempt << "failed:" << m_sink.errorText();
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
            return true;
        }
        if (status == IcecastSink::Status::Cancelled)
            return false;
        ++m_failedSends;
        qInfo() << "Send attempt" << attempt << "failed:" << m_sink.errorText();
    }
    return false;
}

bool SendWorkerThread::reconnect() {
    m_sink.close();
    qInfo() << "Connection lost, reconnecting";
    if (m_events.connectionLost)
        m_events.connectionLost();
    const auto stopRequested = [this] { return stopping(); };
    while (true) {
        if (!pauseUntil(m_lastAttempt + m_timing.reconnectDelay))
            return false;
        m_lastAttempt = Clock::now();
        const IcecastSink::Status status = m_sink.open(stopRequested, m_timing.attemptLimit);
        if (status == IcecastSink::Status::Ok)
            break;
        if (status == IcecastSink::Status::Cancelled)
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
