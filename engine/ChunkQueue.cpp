#include "ChunkQueue.h"

#include <algorithm>
#include <utility>

namespace castora::engine {

ChunkQueue::ChunkQueue(std::size_t capacity, std::size_t initialRoom)
    : m_ring(std::max<std::size_t>(capacity > 0 ? capacity + 1 : initialRoom, 2))
    , m_capacity(capacity) {
}

void ChunkQueue::grow() {
    std::vector<QByteArray> larger(m_ring.size() * 2);
    for (std::size_t i = 0; i < m_count; ++i)
        larger[i] = std::move(m_ring[(m_head + i) % m_ring.size()]);
    m_ring.swap(larger);
    m_head = 0;
}

void ChunkQueue::store(const QByteArray &chunk) {
    if (m_count == m_ring.size())
        grow();
    m_ring[(m_head + m_count) % m_ring.size()] = chunk;
    ++m_count;
}

bool ChunkQueue::push(const QByteArray &chunk) {
    {
        std::lock_guard lock(m_mutex);
        if (m_capacity > 0 && m_count >= m_capacity) {
            m_dropped.fetch_add(1);
            return false;
        }
        store(chunk);
    }
    m_ready.notify_one();
    return true;
}

void ChunkQueue::pushAlways(const QByteArray &chunk) {
    {
        std::lock_guard lock(m_mutex);
        store(chunk);
    }
    m_ready.notify_one();
}

bool ChunkQueue::takeFront(QByteArray &chunk) {
    if (m_count == 0)
        return false;
    chunk = std::move(m_ring[m_head]);
    m_ring[m_head] = QByteArray();
    m_head = (m_head + 1) % m_ring.size();
    --m_count;
    return true;
}

bool ChunkQueue::waitPop(QByteArray &chunk, const std::atomic<bool> &running) {
    chunk = QByteArray(); // releases the last chunk outside the lock
    std::unique_lock lock(m_mutex);
    m_ready.wait(lock, [&] { return m_count > 0 || !running.load(); });
    return takeFront(chunk);
}

bool ChunkQueue::tryPop(QByteArray &chunk) {
    chunk = QByteArray();
    std::lock_guard lock(m_mutex);
    return takeFront(chunk);
}

void ChunkQueue::wakeAll() {
    {
        // Taking the lock orders the caller's flag change before the waiter's next look.
        std::lock_guard lock(m_mutex);
    }
    m_ready.notify_all();
}

void ChunkQueue::clear() {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < m_count; ++i)
        m_ring[(m_head + i) % m_ring.size()] = QByteArray();
    m_head = 0;
    m_count = 0;
}

std::size_t ChunkQueue::size() const {
    std::lock_guard lock(m_mutex);
    return m_count;
}

} // namespace castora::engine
