#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace castora::engine {

class ChunkQueue;
class IcecastSink;
struct IcecastSettings;

// How the send loop deals with a failing connection. The delays run from the start of one
// attempt to the start of the next; an attempt that took longer is followed at once.
struct SendTiming {
    int attempts = 10;                              // of one chunk before the connection is lost
    std::chrono::milliseconds retryDelay{1000};     // between those attempts
    std::chrono::milliseconds reconnectDelay{1000}; // between connection attempts after that
    std::chrono::milliseconds openTimeout{10000};   // the start's connection at most
    // One reconnection (lookup, connect, login) at most. Short, because a connection attempt
    // made while the path is silent repeats its SYN ever later (1 s, 3 s, 7 s...): a fresh
    // attempt every 2 s keeps a SYN going out every second, so a healed path is used at once.
    std::chrono::milliseconds attemptLimit{2000};
    std::chrono::milliseconds stallLimit{5000}; // nothing acknowledged this long: send failed
    std::chrono::milliseconds drainLimit{2000}; // at a stop, for the chunks still queued
    std::chrono::milliseconds paceLead{2000};   // how far the stream may run ahead
    // A refused login (the mount in use, or a wrong credential) is tried again this long:
    // icecast2 keeps a mount whose source dropped (this program's own, after a crash or a lost
    // path) for several seconds.
    std::chrono::milliseconds refusalLimit{10000};
};

// Why the server will not take the stream: not an outage, so trying again does not help.
enum class Refusal {
    MountInUse, // another source is on the mount
    Credential, // the login was refused and the mount is free: the user or password is wrong
    Unverified, // TLS: the server's certificate does not verify, or the server has no TLS
};

// How far the send loop has run ahead of real time, measured on its own clock: the audio sent
// since the clock (re)started against the time gone by. libshout's own clock (shout_delay)
// restarts at every connection and would count a backlog sent at once as audio ahead of time.
class SendPacer {
public:
    using Clock = std::chrono::steady_clock;

    // Constant bitrate of the chunks, in kbit/s (0: no pacing).
    void setBitrate(int kbps) { m_bytesPerSecond = kbps * 125; }
    // Starts the clock afresh at `now`: nothing sent yet.
    void restart(Clock::time_point now) {
        m_start = now;
        m_sentBytes = 0;
        m_started = true;
    }
    bool started() const { return m_started; }
    void stopClock() { m_started = false; }
    // `bytes` of audio went out at `now`; how long the loop should hold back before the next
    // chunk so as not to run further ahead than `lead`.
    std::chrono::milliseconds sent(qint64 bytes, Clock::time_point now,
                                   std::chrono::milliseconds lead);

private:
    Clock::time_point m_start;
    qint64 m_sentBytes = 0;
    qint64 m_bytesPerSecond = 0;
    bool m_started = false;
};

// The send thread: connects to Icecast, then takes chunks from the send queue and pushes them
// at real-time pace.
//
// It starts by connecting, and keeps trying (as after a lost connection) while the broadcast
// records on this machine; the first connection that works makes the stream live (reported
// once). Until then nothing goes into the send queue: listeners hear the broadcaster from the
// moment the stream is live, the recording holds everything. A login the server refuses is
// tried again for a while (see SendTiming::refusalLimit), a certificate that does not verify
// not at all; then the refusal is reported and the thread ends.
// A backlog (more than one chunk queued, as after a reconnection) goes out as fast as the
// server takes it, so that listeners are back at the live moment as soon as the connection
// is; pacing resumes on a fresh clock once the backlog is gone. A failed send is tried again up to
// ten attempts in all, 1 s apart, each on a new connection (the one a send failed on is dead): an
// outage shorter than that costs listeners little more than the outage, and nobody is told. After
// the tenth failed attempt the connection is reported lost, the chunk is dropped, and the
// connection is opened again every second until it works, which is reported as restored. Chunks
// queued meanwhile go out then.
//
// A stop sends what is still queued without pacing, for at most the drain limit, then gives
// up whatever the connection is doing. stop() returns only after the thread has ended, so
// nothing of this thread touches the connection afterwards.
class SendWorkerThread {
public:
    struct Events {
        std::function<void()> connectionLost;     // called on the send thread
        std::function<void()> connectionRestored; // called on the send thread
        std::function<void()> wentLive;           // the first connection works (send thread)
        // The server will not take the stream (send thread); the thread ends after it.
        // `firstAnswer`: refused at the broadcast's very first connection attempt.
        std::function<void(Refusal why, bool firstAnswer)> refused;
    };
    // Whether the server lists the broadcast's mount (its status page), asked after a refused
    // login; nullopt when it cannot tell. Called on the send thread; may block briefly.
    using MountProbe = std::function<std::optional<bool>(const IcecastSettings &server)>;

    SendWorkerThread(ChunkQueue &queue, IcecastSink &sink);
    ~SendWorkerThread();
    SendWorkerThread(const SendWorkerThread &) = delete;
    SendWorkerThread &operator=(const SendWorkerThread &) = delete;

    void setEvents(Events events) { m_events = std::move(events); }
    void setTiming(const SendTiming &timing) { m_timing = timing; }
    // The stream's constant bitrate in kbit/s, for pacing; set before start().
    void setBitrate(int kbps) { m_pacer.setBitrate(kbps); }
    void setMountProbe(MountProbe probe) { m_mountProbe = std::move(probe); }
    const SendTiming &timing() const { return m_timing; }

    void start();
    void stop();
    bool isRunning() const { return m_thread.joinable(); }
    // The stream has been live since the current (or last) run first connected.
    bool live() const { return m_live.load(); }

    // What the current (or last) run did: attempts that failed within the retries (a send, or
    // a reconnection before it), reconnection attempts that failed after them, connections
    // opened again (within the retries or after them).
    int failedSends() const { return m_failedSends.load(); }
    int failedReconnects() const { return m_failedReconnects.load(); }
    int reconnects() const { return m_reconnects.load(); }
    int chunksSent() const { return m_chunksSent.load(); }
    // Chunks sent without pacing because more were queued behind them.
    int catchUpChunks() const { return m_catchUpChunks.load(); }
    qint64 bytesSent() const { return m_bytesSent.load(); }

private:
    void run();
    bool connectFirst();
    // One connection attempt; Ok once connected. Failed for an outage (or a refusal still
    // tried again), Ended for a stop or a refusal (reported), after which the thread ends.
    enum class Attempt { Ok, Failed, Ended };
    Attempt attempt(std::chrono::milliseconds limit);
    // Sent, given up after the attempts (an outage, or a stop), or ended by a refusal.
    enum class Sent { Yes, No, Ended };
    Sent sendWithRetries(const QByteArray &chunk);
    bool reconnect();
    void drain(QByteArray chunk);
    // After a chunk went out: a backlog goes on at once, otherwise the loop keeps pace.
    void pace(const QByteArray &chunk);
    // Waits `duration` (until `when`) unless a stop comes first; false when stopping.
    bool pause(std::chrono::milliseconds duration);
    bool pauseUntil(std::chrono::steady_clock::time_point when);
    bool stopping() const { return !m_running.load(); }

    ChunkQueue &m_queue;
    IcecastSink &m_sink;
    Events m_events;
    SendTiming m_timing;
    MountProbe m_mountProbe;

    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_abort{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_finished = false;                               // guarded by m_mutex
    std::chrono::steady_clock::time_point m_drainDeadline; // written before m_running clears
    std::chrono::steady_clock::time_point m_lastAttempt;   // send thread only
    SendPacer m_pacer;                                     // send thread only (once started)
    // When the server began to refuse the login (send thread only); unset while it does not.
    std::optional<std::chrono::steady_clock::time_point> m_refusedSince;
    std::atomic<bool> m_live{false};
    int m_attempts = 0; // connection attempts of the current run (send thread only)

    std::atomic<int> m_failedSends{0};
    std::atomic<int> m_failedReconnects{0};
    std::atomic<int> m_reconnects{0};
    std::atomic<int> m_chunksSent{0};
    std::atomic<int> m_catchUpChunks{0};
    std::atomic<qint64> m_bytesSent{0};
};

} // namespace castora::engine
