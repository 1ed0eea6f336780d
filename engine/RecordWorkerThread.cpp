#include "RecordWorkerThread.h"

#include "ChunkQueue.h"
#include "RecordingWriter.h"

#include <QByteArray>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace castora::engine {

RecordWorkerThread::RecordWorkerThread(ChunkQueue &queue, RecordingWriter &writer)
    : m_queue(queue)
    , m_writer(writer) {
}

RecordWorkerThread::~RecordWorkerThread() {
    stop();
}

void RecordWorkerThread::start() {
    stop();
    m_chunksWritten = 0;
    m_running = true;
    m_thread = std::thread([this] {
#if defined(__linux__)
        pthread_setname_np(pthread_self(), "castora-record"); // for profilers and the benchmark
#endif
        run();
    });
}

void RecordWorkerThread::requestStop() {
    m_running = false;
    m_queue.wakeAll();
}

void RecordWorkerThread::join() {
    if (m_thread.joinable())
        m_thread.join();
}

void RecordWorkerThread::run() {
    using Clock = std::chrono::steady_clock;
    QByteArray chunk;
    Clock::time_point checked = Clock::now();
    while (m_queue.waitPop(chunk, m_running)) {
        if (!m_writer.isOpen())
            continue;
        if (Clock::now() - checked >= kPlaceCheck) {
            checked = Clock::now();
            if (!m_writer.inPlace() && !(m_fileLost && m_fileLost()))
                continue;
        }
        if (m_writer.write(chunk)) {
            ++m_chunksWritten;
        } else if (m_writeFailed) {
            m_writeFailed(m_writer.errorText());
        }
    }
    // The file the stop will report as saved must be there.
    if (m_writer.isOpen() && !m_writer.inPlace() && m_fileLost)
        m_fileLost();
}

} // namespace castora::engine
