// The chunk queues between the capture callback and the two workers: bound, order, and a
// producer and a consumer racing each other up to a stop.
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

    // Producer and consumer on their own threads, as the capture callback and a worker are:
    // every chunk arrives once and in order through the wrapping ring (an unbounded one grows
    // on the way); a bounded queue only drops, never reorders. A consumer told to stop takes
    // what is still queued, then ends.
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
