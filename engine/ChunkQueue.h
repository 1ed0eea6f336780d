#pragma once

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace castora::engine {

// A hand-off queue of encoded chunks between the capture callback (producer) and one worker
// (consumer), guarded by its own mutex and condition. Chunks are implicitly shared QByteArrays:
// putting one chunk in two queues copies no bytes.
//
// The producer side never waits for the consumer: push() holds the lock only to store the
// chunk in a ring that is allocated up front. An unbounded queue doubles its ring when the
// consumer has fallen that far behind, the one allocation left on the producer side.
class ChunkQueue {
public:
    // `capacity` 0: unbounded, starting with room for `initialRoom` chunks.
    explicit ChunkQueue(std::size_t capacity, std::size_t initialRoom = 64);

    // False when a bounded queue is full (the chunk is counted as dropped).
    bool push(const QByteArray &chunk);
    // Past the bound: the encoder's final flush at a stop must not be lost.
    void pushAlways(const QByteArray &chunk);

    // Waits for a chunk while `running` holds. Returns false once `running` is false and the
    // queue is empty: the queue drains before its consumer ends.
    bool waitPop(QByteArray &chunk, const std::atomic<bool> &running);
    bool tryPop(QByteArray &chunk);
    // Wakes a consumer waiting in waitPop() to look at its running flag again.
    void wakeAll();

    void clear();
    std::size_t size() const;
    std::size_t capacity() const { return m_capacity; }
    std::size_t dropped() const { return m_dropped.load(); }
    void resetDropped() { m_dropped.store(0); }

private:
    bool takeFront(QByteArray &chunk);   // lock held
    void store(const QByteArray &chunk); // lock held
    void grow();                         // lock held

    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::vector<QByteArray> m_ring;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
    const std::size_t m_capacity;
    std::atomic<std::size_t> m_dropped{0};
};

} // namespace castora::engine
