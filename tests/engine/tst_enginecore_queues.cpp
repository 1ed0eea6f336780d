// The chunk queues between the capture callback and the two workers: bound, order, sharing,
// draining at a stop, and a producer and a consumer racing each other.
#include "ChunkQueue.h"
#include "TestMain.h"

#include <algorithm>
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
    // The oldest chunks stay and the newest are refused; the encoder's tail at a stop goes in
    // past the bound, last.
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
            QCOMPARE(queue.push(numbered(i)), i < kept);
        QCOMPARE(int(queue.dropped()), pushes - kept);
        queue.pushAlways("tail");
        QCOMPARE(int(queue.size()), kept + 1);
        QByteArray chunk;
        for (int i = 0; i < kept; ++i) {
            QVERIFY(queue.tryPop(chunk));
            QCOMPARE(chunk, numbered(i));
        }
        QVERIFY(queue.tryPop(chunk));
        QCOMPARE(chunk, QByteArray("tail"));
        QVERIFY(!queue.tryPop(chunk));
    }

    // Interleaved pushes and pops wrap the ring (and grow an unbounded one mid-way) without
    // losing the order; one chunk in two queues is one buffer of bytes.
    void orderAndSharing() {
        ChunkQueue queue(0, 3);
        int next = 0, expected = 0;
        QByteArray chunk;
        for (int round = 0; round < 50; ++round) {
            for (int i = 0; i < round % 7 + 1; ++i)
                queue.push(numbered(next++));
            for (int i = 0; i < round % 5 && queue.tryPop(chunk); ++i)
                QCOMPARE(chunk, numbered(expected++));
        }
        while (queue.tryPop(chunk))
            QCOMPARE(chunk, numbered(expected++));
        QCOMPARE(expected, next);

        ChunkQueue send(40);
        const QByteArray shared(4096, 'x');
        send.push(shared);
        queue.push(shared);
        QByteArray a, b;
        QVERIFY(send.tryPop(a) && queue.tryPop(b));
        QVERIFY(a.constData() == shared.constData() && b.constData() == shared.constData());
    }

    // A waiting consumer is woken by a stop with nothing queued; one told to stop first still
    // takes what is queued, then ends.
    void stopEndsTheConsumer() {
        ChunkQueue queue(40);
        std::atomic<bool> running{true};
        std::thread waiting([&] {
            QByteArray chunk;
            while (queue.waitPop(chunk, running)) {
            }
        });
        running = false;
        queue.wakeAll();
        waiting.join();

        for (int i = 0; i < 5; ++i)
            queue.push(numbered(i));
        QByteArray chunk;
        int taken = 0;
        while (queue.waitPop(chunk, running))
            QCOMPARE(chunk, numbered(taken++));
        QCOMPARE(taken, 5);
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
            accepted += queue.push(QByteArray::number(i)) ? 1 : 0;
            if (i % 512 == 0)
                std::this_thread::yield();
        }
        running = false;
        queue.wakeAll();
        consumer.join();
        QCOMPARE(int(received.size()), accepted);
        QCOMPARE(int(queue.dropped()), total - accepted);
        QVERIFY(std::is_sorted(received.begin(), received.end()));
        QVERIFY(std::adjacent_find(received.begin(), received.end()) == received.end());
        if (capacity == 0)
            QCOMPARE(accepted, total);
    }
};

CASTORA_TEST_MAIN(QueueTest)
#include "tst_enginecore_queues.moc"
