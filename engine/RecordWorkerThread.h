#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace castora::engine {

class ChunkQueue;
class RecordingWriter;

// The record thread: appends every chunk of the record queue to the recording file. A stop
// lets it write out everything still queued before it ends; only then may the file be closed.
// The first failed write (disk full) is reported once; the file is closed by the writer and
// later chunks are taken from the queue and let go. Every couple of seconds, before a chunk is
// written, the file is checked to be still in place; a file that went away is reported and the
// chunk goes where the report says (a new file).
class RecordWorkerThread {
public:
    using WriteFailed = std::function<void(const QString &error)>; // on the record thread
    // The file is no longer at its path: returns whether writing goes on (in a new file).
    using FileLost = std::function<bool()>; // on the record thread

    // How often the file is checked to be still in place.
    static constexpr std::chrono::milliseconds kPlaceCheck{2000};

    RecordWorkerThread(ChunkQueue &queue, RecordingWriter &writer);
    ~RecordWorkerThread();
    RecordWorkerThread(const RecordWorkerThread &) = delete;
    RecordWorkerThread &operator=(const RecordWorkerThread &) = delete;

    void setWriteFailed(WriteFailed callback) { m_writeFailed = std::move(callback); }
    void setFileLost(FileLost callback) { m_fileLost = std::move(callback); }

    void start();
    // Clears the running flag and wakes the thread; join() waits until the queue is written.
    void requestStop();
    void join();
    void stop() {
        requestStop();
        join();
    }
    bool isRunning() const { return m_thread.joinable(); }
    int chunksWritten() const { return m_chunksWritten.load(); }

private:
    void run();

    ChunkQueue &m_queue;
    RecordingWriter &m_writer;
    WriteFailed m_writeFailed;
    FileLost m_fileLost;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<int> m_chunksWritten{0};
};

} // namespace castora::engine
