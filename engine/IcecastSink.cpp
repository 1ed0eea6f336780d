#include "IcecastSink.h"

#include <shout/shout.h>

#include <cstdio>
#include <thread>

namespace castora::engine {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollStep = std::chrono::milliseconds(5);

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
    if (m_shout)
        shout_free(m_shout);
}

void IcecastSink::takeError(int code) {
    m_errorCode = code;
    m_errorText = describe(code);
}

void IcecastSink::fail(int code, const QString &text) {
    m_errorCode = code;
    m_errorText = text;
}

bool IcecastSink::configure(const IcecastSettings &settings) {
    close();
    // One handle for the sink's whole life, its settings applied again for each broadcast:
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
    const QByteArray host = settings.host.toUtf8();
    const QByteArray password = settings.password.toUtf8();
    const QByteArray mount = settings.mount.toUtf8();
    const QByteArray user = settings.user.toUtf8();
    const bool ok =
        applied(m_shout, shout_set_host(m_shout, host.constData()), "hostname") &&
        applied(m_shout, shout_set_protocol(m_shout, SHOUT_PROTOCOL_HTTP), "protocol") &&
        applied(m_shout, shout_set_port(m_shout, settings.port), "port") &&
        applied(m_shout, shout_set_password(m_shout, password.constData()), "password") &&
        applied(m_shout, shout_set_mount(m_shout, mount.constData()), "mount") &&
        applied(m_shout, shout_set_user(m_shout, user.constData()), "user") &&
        applied(m_shout,
                shout_set_content_format(m_shout, SHOUT_FORMAT_MP3, SHOUT_USAGE_AUDIO, nullptr),
                "format") &&
        applied(m_shout, shout_set_nonblocking(m_shout, SHOUT_BLOCKING_NONE), "non-blocking mode");
    if (!ok) {
        takeError(shout_get_errno(m_shout));
        m_configured = false;
        return false;
    }
    // What the server lists for the mount; refusals here change nothing of the stream.
    if (settings.bitrate > 0)
        (void)shout_set_audio_info(m_shout, SHOUT_AI_BITRATE,
                                   QByteArray::number(settings.bitrate).constData());
    if (settings.sampleRate > 0)
        (void)shout_set_audio_info(m_shout, SHOUT_AI_SAMPLERATE,
                                   QByteArray::number(settings.sampleRate).constData());
    (void)shout_set_audio_info(m_shout, SHOUT_AI_CHANNELS, "1");
    m_configured = true;
    m_errorCode = 0;
    m_errorText.clear();
    return true;
}

IcecastSink::Status IcecastSink::open(const Cancel &cancelled, std::chrono::milliseconds timeout) {
    if (!m_shout || !m_configured) {
        fail(SHOUTERR_INSANE, QStringLiteral("The connection is not configured"));
        return Status::Failed;
    }
    close();
    const auto deadline = Clock::now() + timeout;
    int result = shout_open(m_shout);
    // Non-blocking: the connection and the login go on in the background; each
    // shout_get_connected() call moves them forward.
    while (result == SHOUTERR_BUSY || result == SHOUTERR_UNCONNECTED || result == SHOUTERR_RETRY) {
        if (cancelled && cancelled()) {
            shout_close(m_shout);
            fail(SHOUTERR_UNCONNECTED, QStringLiteral("Connection attempt given up"));
            return Status::Cancelled;
        }
        if (Clock::now() >= deadline) {
            shout_close(m_shout);
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
        return Status::Ok;
    }
    takeError(result);
    shout_close(m_shout);
    return Status::Failed;
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

int IcecastSink::delay() {
    return m_shout && m_connected ? shout_delay(m_shout) : 0;
}

void IcecastSink::close() {
    if (m_shout && m_connected)
        shout_close(m_shout);
    m_connected = false;
    m_broken = false;
}

} // namespace castora::engine
