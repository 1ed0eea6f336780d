// The chunk queues between the capture callback and the two workers: bound, order, sharing,
// draining at a stop, and a producer and a consumer racing each other.
#include "ChunkQueue.h"
#include "TestMain.h"

#include <atomic>
#include <thread>

using castora::engine::ChunkQueue;
using castora::test::row;

namespace {
QByteArray numbered(int i) {
    return QByteArray::number(i).rightJustified(8, '0');
}
} // namespace

class QueueTest : public QObject {
    Q_OBJECT

private slots:
    void bound_data() {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<int>("pushes");
        QTest::addColumn<int>("kept");
        row("send queue, under its bound", 40, 39, 39);
        row("send queue, at its bound", 40, 40, 40);
        row("send queue, past its bound", 40, 100, 40);
        row("record queue, unbounded past its first room", 0, 1000, 1000);
    }
    void bound() {
        QFETCH(int, capacity);
        QFETCH(int, pushes);
        QFETCH(int, kept);
        ChunkQueue queue(std::size_t(capacity), 4);
        for (int i = 0; i < pushes; ++i)
            queue.push(numbered(i));
        QCOMPARE(int(queue.size()), kept);
        QCOMPARE(int(queue.dropped()), pushes - kept);
        // The oldest chunks stay; the newest are the ones refused.
        QByteArray chunk;
        for (int i = 0; i < kept; ++i) {
            QVERIFY(queue.tryPop(chunk));
            QCOMPARE(chunk, numbered(i));
        }
        QVERIFY(!queue.tryPop(chunk));
    }

    // Interleaved pushes and pops wrap the ring (and grow an unbounded one mid-way) without
    // losing the order.
    void orderAcrossWrapAndGrowth() {
        ChunkQueue queue(0, 3);
        int next = 0;
        int expected = 0;
        QByteArray chunk;
        for (int round = 0; round < 50; ++round) {
            for (int i = 0; i < round % 7 + 1; ++i)
                queue.push(numbered(next++));
            for (int i = 0; i < round % 5; ++i) {
                if (!queue.tryPop(chunk))
                    break;
                QCOMPARE(chunk, numbered(expected++));
            }
        }
        while (queue.tryPop(chunk))
            QCOMPARE(chunk, numbered(expected++));
        QCOMPARE(expected, next);
    }

    // The encoder's tail at a stop goes in even when the send queue is full.
    void pushAlwaysPassesTheBound() {
        ChunkQueue queue(2);
        QVERIFY(queue.push("a"));
        QVERIFY(queue.push("b"));
        QVERIFY(!queue.push("c"));
        queue.pushAlways("tail");
        QCOMPARE(queue.size(), std::size_t(3));
    }

    // One chunk in both queues is one buffer of bytes.
    void chunksAreSharedNotCopied() {
        ChunkQueue send(40);
        ChunkQueue record(0);
        const QByteArray chunk(4096, 'x');
        send.push(chunk);
        record.push(chunk);
        QByteArray a;
        QByteArray b;
        QVERIFY(send.tryPop(a));
        QVERIFY(record.tryPop(b));
        QCOMPARE(a.constData(), chunk.constData());
        QCOMPARE(b.constData(), chunk.constData());
    }

    // A consumer told to stop first takes what is still queued, then ends.
    void waitPopDrainsBeforeEnding() {
        ChunkQueue queue(0);
        std::atomic<bool> running{true};
        for (int i = 0; i < 5; ++i)
            queue.push(numbered(i));
        running = false;
        queue.wakeAll();
        QByteArray chunk;
        int taken = 0;
        while (queue.waitPop(chunk, running))
            QCOMPARE(chunk, numbered(taken++));
        QCOMPARE(taken, 5);
    }

    // A waiting consumer is woken by a stop with nothing queued.
    void waitPopWakesOnStop() {
        ChunkQueue queue(40);
        std::atomic<bool> running{true};
        std::atomic<bool> ended{false};
        std::thread consumer([&] {
            QByteArray chunk;
            while (queue.waitPop(chunk, running)) {
            }
            ended = true;
        });
        running = false;
        queue.wakeAll();
        consumer.join();
        QVERIFY(ended.load());
    }

    // Producer and consumer on their own threads, as the capture callback and a worker are:
    // every chunk arrives once and in order; a bounded queue only drops, never reorders.
    void producerAndConsumerRace_data() {
        QTest::addColumn<int>("capacity");
        row("record queue", 0);
        row("send queue", 40);
    }
    void producerAndConsumerRace() {
        QFETCH(int, capacity);
        ChunkQueue queue(std::size_t(capacity), 8);
        std::atomic<bool> running{true};
        const int total = 20000;
        std::vector<int> received;
        received.reserve(total);
        std::thread consumer([&] {
            QByteArray chunk;
            while (queue.waitPop(chunk, running))
                received.push_back(chunk.toInt());
        });
        int accepted = 0;
        for (int i = 0; i < total; ++i) {
            if (queue.push(QByteArray::number(i)))
                ++accepted;
            if (i % 512 == 0)
                std::this_thread::yield();
        }
        running = false;
        queue.wakeAll();
        consumer.join();
        QCOMPARE(int(received.size()), accepted);
        QCOMPARE(int(queue.dropped()), total - accepted);
        for (std::size_t i = 1; i < received.size(); ++i)
            QVERIFY(received[i - 1] < received[i]);
        if (capacity == 0)
            QCOMPARE(accepted, total);
    }
};

CASTORA_TEST_MAIN(QueueTest)
#include "tst_enginecore_queues.moc"
