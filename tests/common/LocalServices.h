#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>
#include <vector>

// Real services for tests, started through scripts/local-service and stopped again by the
// destructors of these fixtures: an icecast2 on a free loopback port and a PulseAudio server
// whose default source is a virtual microphone.
namespace castora::test {

class IcecastServer {
public:
    // The source password the program was built with (CASTORA_ICECAST_PASSWORD), which the
    // server takes.
    static QString sourcePassword();

    IcecastServer();
    ~IcecastServer();
    IcecastServer(const IcecastServer &) = delete;
    IcecastServer &operator=(const IcecastServer &) = delete;

    // On a free port. With `tlsPem` (a certificate followed by its key), sources can also
    // connect over TLS, on tlsPort() of 127.0.0.1 and ::1.
    bool start(const QString &tlsPem = QString());
    bool isRunning() const { return m_running; }
    quint16 port() const { return m_port; }
    quint16 tlsPort() const { return m_tlsPort; }
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }

    // Outages: killed abruptly, then started again on the same port with the same settings.
    bool kill() {
        m_running = false;
        return service(QStringLiteral("kill"));
    }
    bool restart() { return m_running = service(QStringLiteral("restart")); }
    // Frozen (SIGSTOP) and thawed: the connection stays up but nothing is read any more.
    bool pause();
    bool resume();

    // Every source of status-json.xsl as a list (the page gives an object for one source);
    // empty when the server does not answer.
    QJsonArray sources() const;
    // The source whose listen URL ends in "/" + mount (mount without the leading "/").
    QJsonObject source(const QString &mount) const;
    bool hasMount(const QString &mount) const { return !source(mount).isEmpty(); }
    // Source connections the server has taken since it started (admin statistics); -1 when
    // it does not answer.
    int sourceConnections() const;

    // Listens to `mount` for `seconds` like a player would; the bytes received.
    QByteArray listen(const QString &mount, double seconds) const;
    // A player of `mount` for up to `seconds` (less when the server ends the stream, or once
    // `enough` bytes of audio came where given): the audio and, at every read, when on `clock`
    // it had received how many bytes of it. Blocks; safe to run on a thread of its own.
    struct Reception {
        qint64 joinedAt = -1; // on `clock`, when the answer's head came
        QByteArray audio;
        QList<std::pair<qint64, qint64>> arrivals; // (ms on `clock`, audio bytes so far)
        // When the byte at `offset` of `audio` arrived; -1 when it never did.
        qint64 arrivalOf(qint64 offset) const;
    };
    Reception receive(const QString &mount, double seconds, const QElapsedTimer &clock,
                      qint64 enough = -1) const;
    // Asks for `mount` like a player, again and again until audio comes: the milliseconds
    // until its first bytes arrived, -1 when none came within `timeoutMs`. Blocks; safe to run
    // on a thread of its own.
    qint64 waitForAudio(const QString &mount, int timeoutMs) const;

private:
    qint64 pid() const;
    bool service(const QString &command); // scripts/local-service icecast <command> <folder>

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
    bool m_running = false;
};

// A private certificate authority that this process alone trusts: the system's trusted
// certificates with the authority's added, bind-mounted over /etc/ssl/certs in a mount
// namespace of the process's own (Qt and OpenSSL read that folder; nothing outside sees the
// change). Call first in main(), while the process has one thread, so that every thread
// started later is in the namespace. Empty on success, else why it could not be done (needs
// root and openssl). In `dir`: ca.pem; server.pem and server.key, for "localhost" and
// 127.0.0.1, signed by the authority; server-bundle.pem (both in one file, as icecast2 takes
// them); and stranger-bundle.pem, the same names certified by an authority nobody trusts.
QString trustTestAuthority(const QString &dir);

// A path to a local TCP server that can go silent, as a dead route or a frozen NAT does:
// connections to 127.0.0.1:port() reach the server through the kernel (nftables DNAT), and
// freeze() drops every packet of them on arrival, both ways and those of new connections
// too, so that neither end sees a reset or an error; heal() lets them through again. For a
// private network namespace only (CASTORA_IN_OWN_NAMESPACES("--net")), where no other
// traffic meets its rules and they go with the namespace. Needs root and nft.
class SilentPath {
public:
    explicit SilentPath(quint16 serverPort);
    ~SilentPath();
    SilentPath(const SilentPath &) = delete;
    SilentPath &operator=(const SilentPath &) = delete;

    bool start();
    quint16 port() const { return m_port; }
    bool freeze();
    bool heal();

private:
    bool nft(const QString &script);

    quint16 m_server = 0;
    quint16 m_port = 0;
};

// Runs the current test function and data row again inside namespaces of its own (`unshare`
// options): a private mount namespace lets it bind-mount over /etc/resolv.conf and /etc/hosts,
// a private network namespace (its loopback brought up) lets it drop packets that nothing
// else on the machine sends. Inside is where it runs for real; outside, the verdict is that of
// the run inside. Needs root and util-linux's unshare.
enum class Rerun { Inside, Passed, Failed, Unavailable };
Rerun rerunInNamespaces(const QStringList &unshareOptions, QString *detail);

class VirtualMicrophone {
public:
    VirtualMicrophone();
    ~VirtualMicrophone();
    VirtualMicrophone(const VirtualMicrophone &) = delete;
    VirtualMicrophone &operator=(const VirtualMicrophone &) = delete;

    // Starts PulseAudio and points this process (PULSE_SERVER) at it.
    bool start();
    // Plays a sine of `frequency` Hz into the microphone for `seconds`; quiet() stops it (the
    // microphone hears digital silence).
    bool playTone(int frequency = 440, int seconds = 600) {
        return pulse({"tone", QString::number(frequency), QString::number(seconds)});
    }
    bool quiet() { return pulse({"quiet"}); }
    // The microphone's module unloaded: the server is left with no source and no sink, as when
    // the only sound device is unplugged. plug() loads it again, with its tone.
    bool unplug() { return pulse({"unplug"}); }
    bool plug() { return pulse({"plug"}); }
    // Plays a sound file into the microphone once, in place of the tone.
    bool play(const QString &file) { return pulse({"play", file}); }
    // The microphone stops delivering (PulseAudio suspends it: no error, no change of devices)
    // / goes on.
    bool suspend(bool suspended) { return pulse({"suspend", suspended ? "1" : "0"}); }
    // The sound server killed (SIGKILL), as when the session ends under its programs.
    bool kill() { return pulse({"kill"}); }
    QString pulseServer() const { return m_server; }

private:
    // scripts/local-service pulse <command> <folder> <arguments...>
    bool pulse(QStringList commandAndArguments);

    QTemporaryDir m_dir;
    QString m_server;
    QByteArray m_previousServer;
    bool m_running = false;
};

// Audio checks on MP3 data.
namespace audio {

struct Decoded {
    std::vector<qint16> samples; // mono
    QString errors;              // what the decoder complained about; empty for a clean stream
    bool ok = false;             // the decoder ran
};

// Decodes MP3 (a file or bytes) to mono 16-bit samples at `sampleRate` with ffmpeg.
Decoded decodeMp3File(const QString &path, int sampleRate);
Decoded decodeMp3(const QByteArray &mp3, int sampleRate);
// Dominant frequency by zero crossings over `samples` (after skipping `skip` samples).
double dominantFrequency(const std::vector<qint16> &samples, int sampleRate, std::size_t skip = 0);
double rms(const std::vector<qint16> &samples, std::size_t from = 0, std::size_t count = 0);

// A mono 16-bit WAV file: its samples (empty when it is not one) and rate; one written.
std::vector<qint16> readWav(const QString &path, int *sampleRate = nullptr);
bool writeWav(const QString &path, const std::vector<qint16> &samples, int sampleRate);
// Integrated loudness in LUFS (BS.1770 with its gates, libebur128) from sample `from` on.
// Samples are 16-bit or float (full scale 1.0).
template <typename Sample>
double integratedLoudness(const std::vector<Sample> &samples, int sampleRate, std::size_t from = 0);

// Time marks: a WAV file (mono, 16-bit) of short beeps every kMarkSeconds, mark k (from 1) at
// k * kMarkSeconds with a pitch of its own, digital silence between them.
constexpr double kMarkSeconds = 2.0;
bool writeMarks(const QString &path, int count, int sampleRate = 22050);
// The marks heard in `samples`: where each begins (sample index) and which it is.
QList<std::pair<std::size_t, int>> findMarks(const std::vector<qint16> &samples, int sampleRate);

} // namespace audio

} // namespace castora::test

// The first statement of a test function that must run in namespaces of its own (above).
#define CASTORA_IN_OWN_NAMESPACES(...)                                                             \
    do {                                                                                           \
        QString rerunDetail;                                                                       \
        switch (castora::test::rerunInNamespaces({__VA_ARGS__}, &rerunDetail)) {                   \
        case castora::test::Rerun::Inside:                                                         \
            break;                                                                                 \
        case castora::test::Rerun::Unavailable:                                                    \
            QSKIP(qPrintable(rerunDetail));                                                        \
        case castora::test::Rerun::Failed:                                                         \
            QFAIL(qPrintable(rerunDetail));                                                        \
        case castora::test::Rerun::Passed:                                                         \
            return;                                                                                \
        }                                                                                          \
    } while (false)
