#include "IcecastSink.h"

#include <shout/shout.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <dirent.h>
#endif

namespace castora::engine {

// A name lookup on a thread of its own. Whoever waits for it may give up; the thread then
// finishes on its own time and its result goes with the last reference to this.
struct IcecastSink::Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;              // guarded by mutex, like the two below
    int error = 0;                      // getaddrinfo()'s result
    std::vector<std::string> addresses; // numeric, in the resolver's order of preference
};

// shout_open() on a thread of its own, with the connection handle lent to it. Whoever waits
// may give up; once given up for good (orphaned), the thread closes and frees the handle when
// shout_open() returns.
struct IcecastSink::Opening {
    std::mutex mutex;
    std::condition_variable done;
    shout_t *shout = nullptr;
    bool finished = false; // guarded by mutex, like the two below
    bool orphaned = false;
    int result = SHOUTERR_SUCCESS;
};

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(5);

bool isAddress(const char *host) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host, &v4) == 1 || inet_pton(AF_INET6, host, &v6) == 1;
}

std::shared_ptr<IcecastSink::Lookup> startLookup(const QByteArray &host) {
    auto lookup = std::make_shared<IcecastSink::Lookup>();
    std::thread([lookup, name = host.toStdString()] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
        std::vector<std::string> addresses;
        for (const addrinfo *at = error == 0 ? found : nullptr; at; at = at->ai_next) {
            char text[NI_MAXHOST];
            if (getnameinfo(at->ai_addr, at->ai_addrlen, text, sizeof text, nullptr, 0,
                            NI_NUMERICHOST) == 0 &&
                std::find(addresses.begin(), addresses.end(), text) == addresses.end())
                addresses.emplace_back(text);
        }
        if (found)
            freeaddrinfo(found);
        {
            std::lock_guard lock(lookup->mutex);
            lookup->error = error;
            lookup->addresses = std::move(addresses);
            lookup->finished = true;
        }
        lookup->done.notify_all();
    }).detach();
    return lookup;
}

// This process's sockets connected to `address`:`port`, by descriptor and inode (Linux; none
// elsewhere). libshout does not tell which socket it uses; the one that appears across its
// connection attempt is it.
struct SocketId {
    int fd;
    ino_t inode;
};

// An empty `address` matches any peer address on `port` (libshout looked the name up itself).
std::vector<SocketId> socketsTo(const QByteArray &address, quint16 port) {
    std::vector<SocketId> found;
#if defined(__linux__)
    in_addr v4{};
    in6_addr v6{};
    const bool anyAddress = address.isEmpty();
    const bool isV4 = !anyAddress && inet_pton(AF_INET, address.constData(), &v4) == 1;
    if (!anyAddress && !isV4 && inet_pton(AF_INET6, address.constData(), &v6) != 1)
        return found;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return found;
    while (const dirent *entry = readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat info {};
        if (end == entry->d_name || *end != '\0' || fstat(int(fd), &info) != 0 ||
            !S_ISSOCK(info.st_mode))
            continue;
        sockaddr_storage peer{};
        socklen_t size = sizeof peer;
        if (getpeername(int(fd), reinterpret_cast<sockaddr *>(&peer), &size) != 0)
            continue;
        bool same = false;
        if ((anyAddress || isV4) && peer.ss_family == AF_INET) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(&peer);
            same = in->sin_port == htons(port) && (anyAddress || in->sin_addr.s_addr == v4.s_addr);
        } else if ((anyAddress || !isV4) && peer.ss_family == AF_INET6) {
            const auto *in = reinterpret_cast<const sockaddr_in6 *>(&peer);
            same =
                in->sin6_port == htons(port) &&
                (anyAddress || std::equal(std::begin(in->sin6_addr.s6_addr),
                                          std::end(in->sin6_addr.s6_addr), std::begin(v6.s6_addr)));
        }
        if (same)
            found.push_back({int(fd), info.st_ino});
    }
    closedir(dir);
#else
    Q_UNUSED(address);
    Q_UNUSED(port);
#endif
    return found;
}

// libshout's own wording; its error state does not always hold the code a call returned.
QString describe(int code) {
    switch (code) {
    case SHOUTERR_INSANE:
        return QStringLiteral("Nonsensical arguments");
    case SHOUTERR_NOCONNECT:
        return QStringLiteral("Couldn't connect");
    case SHOUTERR_NOLOGIN:
        return QStringLiteral("Login failed (wrong password, or the mount is in use)");
    case SHOUTERR_SOCKET:
        return QStringLiteral("Socket error");
    case SHOUTERR_MALLOC:
        return QStringLiteral("Out of memory");
    case SHOUTERR_CONNECTED:
        return QStringLiteral("Cannot set parameter while connected");
    case SHOUTERR_UNCONNECTED:
        return QStringLiteral("Not connected");
    case SHOUTERR_UNSUPPORTED:
        return QStringLiteral("This libshout doesn't support the requested option");
    case SHOUTERR_BUSY:
        return QStringLiteral("Resource is busy");
    case SHOUTERR_NOTLS:
        return QStringLiteral("TLS requested but not supported by peer");
    case SHOUTERR_TLSBADCERT:
        return QStringLiteral("TLS connection can not be established because of bad certificate");
    case SHOUTERR_RETRY:
        return QStringLiteral("Retry last operation");
    default:
        return QStringLiteral("Error %1").arg(code);
    }
}

bool applied(shout_t *shout, int result, const char *what) {
    if (result == SHOUTERR_SUCCESS)
        return true;
    std::printf("Error setting %s: %s\n", what, shout_get_error(shout));
    std::fflush(stdout);
    return false;
}

} // namespace

IcecastSink::IcecastSink() {
    shout_init();
}

IcecastSink::~IcecastSink() {
    close();
    releaseOpening();
    if (m_shout)
        shout_free(m_shout);
}

void IcecastSink::takeError(int code) {
    m_errorCode = code;
    m_errorText = code == SHOUTERR_TLSBADCERT ? kUnverifiedConnectionMessage : describe(code);
}

void IcecastSink::fail(int code, const QString &text) {
    m_errorCode = code;
    m_errorText = text;
}

bool IcecastSink::configure(const IcecastSettings &settings) {
    close();
    // A connection start an earlier attempt gave up on keeps its handle until it returns.
    releaseOpening();
    const QByteArray host = settings.host.toUtf8();
    if (host != m_host) {
        m_lookup.reset();
        m_addressTurn = 0;
    }
    m_host = host;
    m_settings = settings;
    m_configured = applySettings();
    if (m_configured) {
        m_errorCode = 0;
        m_errorText.clear();
    }
    return m_configured;
}

// The settings on the handle, a new one when there is none (the first, or one that a
// connection start given up on took along).
bool IcecastSink::applySettings() {
    // One handle for as long as it can be kept, its settings applied again for each broadcast:
    // libshout 2.4.6's shout_free() gives up early on a handle without a connection, so every
    // handle let go would stay allocated.
    if (!m_shout)
        m_shout = shout_new();
    if (!m_shout) {
        std::printf("Could not allocate shout_t\n");
        std::fflush(stdout);
        fail(SHOUTERR_MALLOC, QStringLiteral("Could not allocate a connection"));
        return false;
    }
    const QByteArray password = m_settings.password.toUtf8();
    const QByteArray mount = m_settings.mount.toUtf8();
    const QByteArray user = m_settings.user.toUtf8();
    // Over TLS only: a libshout without TLS refuses the mode, and nothing is sent at all.
    const int tls = m_settings.tls ? SHOUT_TLS_RFC2818 : SHOUT_TLS_DISABLED;
    const bool ok =
        applied(m_shout, shout_set_host(m_shout, m_host.constData()), "hostname") &&
        applied(m_shout, shout_set_protocol(m_shout, SHOUT_PROTOCOL_HTTP), "protocol") &&
        applied(m_shout, shout_set_port(m_shout, m_settings.port), "port") &&
        applied(m_shout, shout_set_password(m_shout, password.constData()), "password") &&
        applied(m_shout, shout_set_mount(m_shout, mount.constData()), "mount") &&
        applied(m_shout, shout_set_user(m_shout, user.constData()), "user") &&
        applied(m_shout,
                shout_set_content_format(m_shout, SHOUT_FORMAT_MP3, SHOUT_USAGE_AUDIO, nullptr),
                "format") &&
        applied(m_shout, shout_set_tls(m_shout, tls), "TLS mode") &&
        applied(m_shout, shout_set_nonblocking(m_shout, SHOUT_BLOCKING_NONE), "non-blocking mode");
    if (!ok) {
        takeError(shout_get_errno(m_shout));
        return false;
    }
    // What the server lists for the mount; refusals here change nothing of the stream.
    if (m_settings.bitrate > 0)
        (void)shout_set_audio_info(m_shout, SHOUT_AI_BITRATE,
                                   QByteArray::number(m_settings.bitrate).constData());
    if (m_settings.sampleRate > 0)
        (void)shout_set_audio_info(m_shout, SHOUT_AI_SAMPLERATE,
                                   QByteArray::number(m_settings.sampleRate).constData());
    (void)shout_set_audio_info(m_shout, SHOUT_AI_CHANNELS, "1");
    return true;
}

IcecastSink::Status IcecastSink::resolve(const Cancel &cancelled, Deadline deadline,
                                         QByteArray &address) {
    if (isAddress(m_host.constData())) {
        address = m_host;
        return Status::Ok;
    }
    // A lookup an earlier attempt gave up on and that is still under way is waited for again,
    // so a resolver that never answers costs one thread, not one per attempt.
    bool underWay = false;
    if (m_lookup) {
        std::lock_guard lock(m_lookup->mutex);
        underWay = !m_lookup->finished;
    }
    if (!underWay) {
        try {
            m_lookup = startLookup(m_host);
        } catch (const std::system_error &error) {
            fail(SHOUTERR_MALLOC,
                 QStringLiteral("Could not look up %1: %2")
                     .arg(QString::fromUtf8(m_host), QString::fromUtf8(error.what())));
            return Status::Failed;
        }
    }
    const std::shared_ptr<Lookup> lookup = m_lookup;
    std::unique_lock lock(lookup->mutex);
    while (!lookup->finished) {
        if (cancelled && cancelled()) {
            fail(SHOUTERR_UNCONNECTED, QStringLiteral("Connection attempt given up"));
            return Status::Cancelled;
        }
        if (Clock::now() >= deadline) {
            fail(SHOUTERR_NOCONNECT,
                 QStringLiteral("Looking up %1 took too long").arg(QString::fromUtf8(m_host)));
            return Status::Failed;
        }
        lookup->done.wait_for(lock, kPollStep);
    }
    if (lookup->error != 0 || lookup->addresses.empty()) {
        const QString why = lookup->error != 0 ? QString::fromUtf8(gai_strerror(lookup->error))
                                               : QStringLiteral("no address");
        fail(SHOUTERR_NOCONNECT,
             QStringLiteral("Could not look up %1: %2").arg(QString::fromUtf8(m_host), why));
        return Status::Failed;
    }
    // A host with several addresses: each failed attempt moves on to the next one.
    address =
        QByteArray::fromStdString(lookup->addresses[m_addressTurn % lookup->addresses.size()]);
    return Status::Ok;
}

// shout_open() with the host's name, on a helper thread: `result` is what it returned.
IcecastSink::Status IcecastSink::startByName(const Cancel &cancelled, Deadline deadline,
                                             int &result) {
    bool fresh = false;
    while (true) {
        if (!m_opening) {
            if (!m_shout && !applySettings())
                return Status::Failed;
            auto opening = std::make_shared<Opening>();
            opening->shout = m_shout;
            try {
                std::thread([opening] {
                    const int opened = shout_open(opening->shout);
                    std::unique_lock lock(opening->mutex);
                    if (opening->orphaned) {
                        lock.unlock();
                        shout_close(opening->shout);
                        shout_free(opening->shout);
                        return;
                    }
                    opening->result = opened;
                    opening->finished = true;
                    lock.unlock();
                    opening->done.notify_all();
                }).detach();
            } catch (const std::system_error &error) {
                fail(SHOUTERR_MALLOC, QStringLiteral("Could not start connecting: %1")
                                          .arg(QString::fromUtf8(error.what())));
                return Status::Failed;
            }
            m_shout = nullptr; // the helper thread's until it has returned
            m_opening = std::move(opening);
            fresh = true;
        }
        {
            std::unique_lock lock(m_opening->mutex);
            while (!m_opening->finished) {
                // Given up, the attempt goes on holding the handle; the next open() waits
                // for it again.
                if (cancelled && cancelled()) {
                    fail(SHOUTERR_UNCONNECTED, QStringLiteral("Connection attempt given up"));
                    return Status::Cancelled;
                }
                if (Clock::now() >= deadline) {
                    fail(SHOUTERR_NOCONNECT, QStringLiteral("Connecting to %1 took too long")
                                                 .arg(QString::fromUtf8(m_host)));
                    return Status::Failed;
                }
                m_opening->done.wait_for(lock, kPollStep);
            }
            m_shout = m_opening->shout;
            result = m_opening->result;
        }
        m_opening.reset();
        if (fresh)
            return Status::Ok;
        // What an attempt given up on earlier reached is stale by now: start afresh.
        shout_close(m_shout);
    }
}

void IcecastSink::releaseOpening() {
    if (!m_opening)
        return;
    shout_t *handle = nullptr;
    {
        std::lock_guard lock(m_opening->mutex);
        if (m_opening->finished)
            handle = m_opening->shout;
        else
            m_opening->orphaned = true; // the thread lets the handle go when it returns
    }
    m_opening.reset();
    if (!handle)
        return;
    shout_close(handle);
    if (m_shout)
        shout_free(handle);
    else
        m_shout = handle;
}

IcecastSink::Status IcecastSink::open(const Cancel &cancelled, std::chrono::milliseconds timeout) {
    if (!m_configured) {
        fail(SHOUTERR_INSANE, QStringLiteral("The connection is not configured"));
        return Status::Failed;
    }
    close();
    const auto deadline = Clock::now() + timeout;
    QByteArray address; // the one libshout connects to; empty when it looks the name up itself
    std::vector<SocketId> before;
    int result = SHOUTERR_SUCCESS;
    if (m_settings.tls) {
        before = socketsTo(address, m_settings.port);
        const Status started = startByName(cancelled, deadline, result);
        if (started != Status::Ok)
            return started;
    } else {
        if (!m_shout && !applySettings())
            return Status::Failed;
        const Status resolved = resolve(cancelled, deadline, address);
        if (resolved != Status::Ok)
            return resolved;
        // libshout names the host it is given in the request's Host header, which then carries
        // the address instead of the name. Icecast does not look at that header for a source;
        // a proxy that chose a virtual host by it would.
        const int set = shout_set_host(m_shout, address.constData());
        if (set != SHOUTERR_SUCCESS) {
            takeError(set);
            return Status::Failed;
        }
        before = socketsTo(address, m_settings.port);
        result = shout_open(m_shout);
    }
    // Non-blocking: the connection, the TLS handshake and the login go on in the background;
    // each shout_get_connected() call moves them forward.
    while (result == SHOUTERR_BUSY || result == SHOUTERR_UNCONNECTED || result == SHOUTERR_RETRY) {
        if (cancelled && cancelled()) {
            shout_close(m_shout);
            fail(SHOUTERR_UNCONNECTED, QStringLiteral("Connection attempt given up"));
            return Status::Cancelled;
        }
        if (Clock::now() >= deadline) {
            shout_close(m_shout);
            ++m_addressTurn;
            fail(SHOUTERR_NOCONNECT, QStringLiteral("Connection attempt timed out"));
            return Status::Failed;
        }
        std::this_thread::sleep_for(kPollStep);
        result = shout_get_connected(m_shout);
    }
    if (result == SHOUTERR_SUCCESS || result == SHOUTERR_CONNECTED) {
        m_connected = true;
        m_broken = false;
        m_errorCode = 0;
        m_errorText.clear();
        std::vector<SocketId> fresh = socketsTo(address, m_settings.port);
        fresh.erase(std::remove_if(fresh.begin(), fresh.end(),
                                   [&before](const SocketId &socket) {
                                       return std::any_of(before.begin(), before.end(),
                                                          [&socket](const SocketId &old) {
                                                              return old.inode == socket.inode;
                                                          });
                                   }),
                    fresh.end());
        m_socket = fresh.size() == 1 ? fresh.front().fd : -1;
        return Status::Ok;
    }
    takeError(result);
    shout_close(m_shout);
    if (result == SHOUTERR_NOCONNECT || result == SHOUTERR_SOCKET)
        ++m_addressTurn;
    return Status::Failed;
}

void IcecastSink::limitUnacknowledged(std::chrono::milliseconds stallLimit) {
#if defined(__linux__) && defined(TCP_USER_TIMEOUT)
    if (m_socket < 0 || stallLimit == m_socketStallLimit)
        return;
    // The kernel ends the connection when what it sent stays unacknowledged this long; the
    // next write then fails. Without it a silent path goes unnoticed until the socket's
    // buffer is full, which at a stream's rate can take minutes.
    const unsigned int ms = unsigned(stallLimit.count());
    if (setsockopt(m_socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms) == 0)
        m_socketStallLimit = stallLimit;
    else
        m_socket = -1;
#else
    Q_UNUSED(stallLimit);
#endif
}

IcecastSink::Status IcecastSink::send(const QByteArray &chunk, const Cancel &cancelled,
                                      std::chrono::milliseconds stallLimit) {
    if (!m_shout || !m_connected) {
        fail(SHOUTERR_UNCONNECTED, QStringLiteral("Not connected"));
        return Status::Failed;
    }
    if (m_broken)
        return Status::Failed; // keeps the error that broke it
    if (chunk.isEmpty())
        return Status::Ok;
    limitUnacknowledged(stallLimit);
    int result = shout_send(m_shout, reinterpret_cast<const unsigned char *>(chunk.constData()),
                            static_cast<size_t>(chunk.size()));
    auto lastProgress = Clock::now();
    ssize_t pending = shout_queuelen(m_shout);
    while (true) {
        if (result != SHOUTERR_SUCCESS && result != SHOUTERR_BUSY) {
            takeError(result);
            m_broken = true;
            return Status::Failed;
        }
        if (pending <= 0)
            return Status::Ok;
        if (cancelled && cancelled()) {
            fail(SHOUTERR_BUSY, QStringLiteral("Sending given up"));
            m_broken = true; // part of the chunk may be on its way: nothing may follow it
            return Status::Cancelled;
        }
        if (Clock::now() - lastProgress > stallLimit) {
            fail(SHOUTERR_SOCKET, QStringLiteral("The server stopped taking data"));
            m_broken = true;
            return Status::Failed;
        }
        std::this_thread::sleep_for(kPollStep);
        // An empty send pushes what libshout holds queued.
        result = shout_send(m_shout, nullptr, 0);
        const ssize_t now = shout_queuelen(m_shout);
        if (now < pending)
            lastProgress = Clock::now();
        pending = now;
    }
}

IcecastSink::Failure IcecastSink::failure() const {
    switch (m_errorCode) {
    case SHOUTERR_NOLOGIN:
        return Failure::LoginRefused;
    case SHOUTERR_TLSBADCERT:
    case SHOUTERR_NOTLS:
        return Failure::Unverified;
    default:
        return Failure::Outage;
    }
}

int IcecastSink::delay() {
    return m_shout && m_connected ? shout_delay(m_shout) : 0;
}

void IcecastSink::close() {
    if (m_shout && m_connected)
        shout_close(m_shout);
    m_connected = false;
    m_broken = false;
    m_socket = -1;
    m_socketStallLimit = std::chrono::milliseconds(0);
}

} // namespace castora::engine
