#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <chrono>
#include <functional>
#include <memory>

struct shout;

namespace castora::engine {

// What a start fails with when the server's certificate does not verify (not signed by a CA
// the system trusts, or not for the host's name). The connection never falls back to plain.
inline const QString kUnverifiedConnectionMessage =
    QStringLiteral("The secure connection to the streaming server could not be verified.");

// Where and how the source stream goes: HTTP source protocol, MP3, over TLS or plain TCP.
struct IcecastSettings {
    QString host;
    quint16 port = 8000;
    QString user = QStringLiteral("source");
    QString password;
    QString mount; // with or without the leading "/"
    // TLS for the whole connection as HTTPS does it (RFC 2818): the server's certificate must
    // verify against the system's CA store and name `host`.
    bool tls = false;
    // Announced to the server (listed on its status page).
    int bitrate = 0; // kbit/s
    unsigned int sampleRate = 0;
};

// One Icecast source connection (libshout 2.4), used by one thread at a time.
//
// The connection runs in libshout's non-blocking mode, so that connecting and sending can be
// given up: every wait polls a cancel check, a connection attempt has a deadline, and a
// connection that stops taking data (server frozen, link gone without a reset) counts as failed
// after a stall limit instead of blocking its thread. After any failure the connection is
// broken until it is closed and opened again.
//
// libshout looks the host name up itself, synchronously, and no cancel check reaches it there
// (a resolver that never answers holds it for as long as resolv.conf's time-outs say). Over
// plain TCP each open() looks the name up on a helper thread, waits for it polling the cancel
// check, and hands libshout the numeric address found. Over TLS libshout must have the name
// itself (it sends it as SNI and checks the certificate against it), so the connection's start
// (shout_open(), where the lookup happens) runs on a helper thread instead, with the handle
// lent to it; whoever waits may give up, and the next open() waits for that same attempt
// rather than starting another. The handshake and the login then go on in the non-blocking
// mode on the caller's thread, like everything else.
class IcecastSink {
public:
    using Cancel = std::function<bool()>;
    enum class Status { Ok, Failed, Cancelled };

    IcecastSink();
    ~IcecastSink();
    IcecastSink(const IcecastSink &) = delete;
    IcecastSink &operator=(const IcecastSink &) = delete;

    // A new connection handle with these settings (closing any open connection). A setting
    // the library refuses is reported on the standard output, as libshout users expect.
    bool configure(const IcecastSettings &settings);
    bool isConfigured() const { return m_configured; }
    const IcecastSettings &settings() const { return m_settings; }

    // One connection attempt, the name lookup included, within `timeout`.
    Status open(const Cancel &cancelled,
                std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    // Hands the chunk to the server. Returns once libshout holds nothing back any more. Data
    // the server has not acknowledged for `stallLimit` also fails the connection (Linux), so a
    // path that went silent is noticed even while the socket's buffer still takes data.
    Status send(const QByteArray &chunk, const Cancel &cancelled,
                std::chrono::milliseconds stallLimit = std::chrono::milliseconds(5000));
    // Milliseconds until the audio sent so far is due at real-time pace (<= 0: send now).
    int delay();
    void close();
    bool isOpen() const { return m_connected; }

    int errorCode() const { return m_errorCode; }
    QString errorText() const { return m_errorText; }
    // What the last failure says about the server. libshout 2.4 reports every non-2xx answer
    // to the login as one code, without the status: a wrong credential and a mount in use look
    // the same (the server's status page tells them apart: a mount in use is listed).
    enum class Failure { Outage, LoginRefused, Unverified };
    Failure failure() const;

    struct Lookup;  // a name lookup under way or done (IcecastSink.cpp)
    struct Opening; // a shout_open() under way or done on a helper thread (IcecastSink.cpp)

private:
    using Deadline = std::chrono::steady_clock::time_point;

    void takeError(int code);
    void fail(int code, const QString &text);
    bool applySettings();
    Status resolve(const Cancel &cancelled, Deadline deadline, QByteArray &address);
    Status startByName(const Cancel &cancelled, Deadline deadline, int &result);
    void releaseOpening();
    void limitUnacknowledged(std::chrono::milliseconds stallLimit);

    shout *m_shout = nullptr; // null while a helper thread holds it (m_opening)
    IcecastSettings m_settings;
    QByteArray m_host;                  // as configured: a name or an address
    std::shared_ptr<Lookup> m_lookup;   // the latest lookup of m_host (plain TCP)
    std::shared_ptr<Opening> m_opening; // the latest connection start by name (TLS)
    std::size_t m_addressTurn = 0;      // which of the host's addresses the next attempt takes
    bool m_configured = false;
    bool m_connected = false;
    bool m_broken = false;
    int m_socket = -1; // libshout's socket while connected, when it could be told; else -1
    std::chrono::milliseconds m_socketStallLimit{0};
    int m_errorCode = 0;
    QString m_errorText;
};

} // namespace castora::engine
