// The real program, signed in to the stand-in backend with the broadcast screen shown, driven
// like a user would (pointer clicks through the X server with xdotool) and read through its
// inspection socket (CASTORA_INSPECT, development builds), against DarkIce streaming the same
// virtual microphone to the same icecast2 at the same settings (Standard: 96 kbit/s MP3 mono
// at 22050 Hz, LAME quality 5):
//
//  1. off air, nothing on screen changing (silence on the input, no chat, no timers shown):
//     frames drawn per second (the inspection socket's frame count), and the program's CPU;
//     then the same with a tone on the input, which plays from then on: 440 Hz, its loudness
//     rising and falling three times a second as a voice's does (a steady tone would hold the
//     level meter still);
//  2. the press of Start to the mount listed by icecast2 (status-json.xsl, polled every
//     10 ms), against DarkIce's own start (the process launched) to listed, median of the
//     presses;
//  3. CPU per second on air (and the frames drawn meanwhile), against DarkIce, median of the
//     rounds;
//  4. what icecast2 itself takes: a bare source connection (the source request written to a
//     socket, audio bytes after its answer) to the mount listed, on a mount of its own, median
//     of as many as there are presses. Whatever a client does, its mount is not listed sooner;
//  5. CPU per second on air with voice processing on against off (its switch clicked like the
//     Start button), the microphone playing speech (espeak-ng) at about the loudness the
//     processing aims at, so that the meter moves alike both ways; on and off taking turns,
//     medians compared (and the frames drawn meanwhile).
//
// The presses take turns with DarkIce's starts. A press is timed from the release of the
// pointer's button on Start (the button acts on the release; the X server has it once the
// `xdotool mouseup` that sends it has ended), a DarkIce start from the launch of its process.
//
//   castora-bench-program --program PATH/castora --icecast-port PORT --mount MOUNT [--rows]
//       [--idle-seconds 60] [--on-air-seconds 15] [--presses 5] [--on-air-rounds 2]
//       [--voice-rounds 3] [--sink vsink]
//
// The environment carries the display (Xvfb), the program's addresses, the saved session and
// the sound server (PULSE_SERVER, whose sink SINK the virtual microphone hears); bench/run-all
// prepares it.
#include "BenchSupport.h"
#include "InputCheckHook.h"
#include "Mp3Encoder.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QRectF>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace castora::bench;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kQuality = 2; // Standard, the program's default
const QString kSpeech = QStringLiteral(
    "Good evening, and welcome to the late show. Tonight we talk about the old harbour, the "
    "boats, and the people who built them. My first guest has spent forty years repairing "
    "wooden hulls by hand.");
constexpr unsigned int kSampleRate = 22050;

// The program under the benchmark: started, asked through its inspection socket, clicked.
class Program {
public:
    explicit Program(const QString &binary)
        : m_binary(binary) {}

    bool launch() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        m_socketPath = m_folder.filePath(QStringLiteral("inspect.sock"));
        environment.insert(QStringLiteral("CASTORA_INSPECT"), m_socketPath);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        if (!m_child.start(m_binary, {}, environment))
            return false;
        const auto deadline = Clock::now() + 30s;
        while (Clock::now() < deadline && m_child.isRunning()) {
            m_socket.connectToServer(m_socketPath);
            if (m_socket.waitForConnected(200))
                return true;
            m_child.poll(100ms);
        }
        return false;
    }
    Child &child() { return m_child; }

    // The first visible item named `name`, as a JSON object (empty when there is none).
    QJsonObject item(const QString &name, const QStringList &properties = {"text"}) {
        const QJsonArray items =
            ask({{"name", name}, {"properties", QJsonArray::fromStringList(properties)}})
                .value(QStringLiteral("items"))
                .toArray();
        for (const QJsonValue &value : items) {
            if (value.toObject().value(QStringLiteral("visible")).toBool())
                return value.toObject();
        }
        return {};
    }
    QString text(const QString &name) {
        return item(name).value(QStringLiteral("properties")).toObject().value("text").toString();
    }
    qint64 frames() {
        return qint64(ask({{"count", "frames"}}).value(QStringLiteral("frames")).toDouble(-1));
    }

    // Waits until `condition` holds, reading the screen every 100 ms.
    bool waitFor(const std::function<bool()> &condition, std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!condition()) {
            if (Clock::now() > deadline || !m_child.isRunning())
                return false;
            runEventsFor(100ms);
        }
        return true;
    }
    // The Start/Stop button, showing `text` and enabled.
    bool buttonReads(const QString &text) {
        const QJsonObject button = item(QStringLiteral("startStopButton"));
        return button.value(QStringLiteral("enabled")).toBool() &&
               button.value(QStringLiteral("properties")).toObject().value("text") == text;
    }
    // Presses the Start/Stop button (or the item `name`) with the pointer and lets go: the
    // button acts on the release. The time the release was made (the tool that sends it has
    // ended, so the X server has it), or nothing when it could not be done.
    std::optional<Clock::time_point>
    clickButton(const QString &name = QStringLiteral("startStopButton")) {
        const QJsonObject button = item(name);
        const QRectF rect(button.value("x").toDouble(), button.value("y").toDouble(),
                          button.value("width").toDouble(), button.value("height").toDouble());
        const QPoint at = rect.center().toPoint();
        if (rect.isEmpty() ||
            !xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "mousedown",
                      "1"}) ||
            !xdotool({"mouseup", "1"}))
            return std::nullopt;
        return Clock::now();
    }
    static bool xdotool(const QStringList &args) {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        tool.start(QStringLiteral("xdotool"), args);
        return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit &&
               tool.exitCode() == 0;
    }

private:
    QJsonObject ask(const QJsonObject &request) {
        if (m_socket.state() != QLocalSocket::ConnectedState)
            return {};
        m_socket.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        m_socket.flush();
        const auto deadline = Clock::now() + 10s;
        while (!m_socket.canReadLine() && Clock::now() < deadline &&
               m_socket.state() == QLocalSocket::ConnectedState)
            m_socket.waitForReadyRead(100);
        return m_socket.canReadLine() ? QJsonDocument::fromJson(m_socket.readLine()).object()
                                      : QJsonObject();
    }

    QString m_binary;
    QTemporaryDir m_folder;
    QString m_socketPath;
    Child m_child{QStringLiteral("Castora")};
    QLocalSocket m_socket;
};

// Polls icecast2's list of mounts until `mount` is on it (or, with `listed` false, gone); the
// time it was first seen so, or nothing after 20 s.
std::optional<Clock::time_point> waitForMount(quint16 port, const QString &mount,
                                              bool listed = true) {
    const auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline) {
        if (mountListed(port, mount) == listed)
            return Clock::now();
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// CPU seconds per second of process `pid` over `window`, serving events meanwhile.
double cpuPerSecond(pid_t pid, std::chrono::milliseconds window) {
    const double before = processCpuSeconds(pid);
    const qint64 startNs = monotonicNs();
    runEventsFor(window);
    return (processCpuSeconds(pid) - before) / (double(monotonicNs() - startNs) / 1e9);
}

// Frames drawn and CPU used per second over a window of time.
struct Idle {
    double framesPerSecond = 0;
    double cpuPerSecond = 0;
};

Idle measureIdle(Program &program, std::chrono::milliseconds window) {
    const qint64 framesBefore = program.frames();
    const qint64 startNs = monotonicNs();
    const double cpu = cpuPerSecond(program.child().pid(), window);
    const double seconds = double(monotonicNs() - startNs) / 1e9;
    return {double(program.frames() - framesBefore) / seconds, cpu};
}

struct Turn {
    double pressToListedMs = 0;
    std::optional<double> cpuOnAir;        // CPU seconds per second
    std::optional<double> framesPerSecond; // the program's, meanwhile
};

void fail(const char *what, Child &child) {
    child.poll(0ms);
    std::fprintf(stderr, "castora-bench-program: %s; %s\n", what, qPrintable(child.endReport()));
}

// One press of Start in the program, measured until the mount is listed; on air for a CPU
// window when `window` is not zero; then Stop.
std::optional<Turn> castoraTurn(Program &program, quint16 port, const QString &mount,
                                std::chrono::milliseconds window) {
    std::optional<Clock::time_point> pressed;
    if (!program.waitFor([&] { return program.buttonReads(QStringLiteral("Start")); }, 30s) ||
        !(pressed = program.clickButton())) {
        fail("the Start button could not be pressed", program.child());
        return std::nullopt;
    }
    Turn turn;
    const auto listed = waitForMount(port, mount);
    if (!listed || !program.waitFor([&] { return program.text("onAirLabel") == "ON AIR"; }, 20s)) {
        fail("the program did not go on air", program.child());
        return std::nullopt;
    }
    turn.pressToListedMs = msBetween(*pressed, *listed);
    if (window.count() > 0) {
        runEventsFor(3s); // past the capture's start-up
        const Idle onAir = measureIdle(program, window);
        turn.cpuOnAir = onAir.cpuPerSecond;
        turn.framesPerSecond = onAir.framesPerSecond;
    }
    if (!program.waitFor([&] { return program.buttonReads(QStringLiteral("Stop")); }, 10s) ||
        !program.clickButton() ||
        !program.waitFor([&] { return program.buttonReads(QStringLiteral("Start")); }, 30s) ||
        !waitForMount(port, mount, false)) {
        fail("the program did not stop", program.child());
        return std::nullopt;
    }
    return turn;
}

// DarkIce started and measured the same way, on a mount of its own.
std::optional<Turn> darkiceTurn(const QString &darkice, const QString &folder, quint16 port,
                                const QString &mount, std::chrono::milliseconds window) {
    const castora::engine::EncoderSettings encoding = castora::engine::settingsForQuality(kQuality);
    const QStringList arguments =
        darkiceArguments(folder, port, mount, encoding.bitrate, encoding.quality, kSampleRate);
    Child child(QStringLiteral("DarkIce"));
    Turn turn;
    const auto started = Clock::now();
    if (!child.start(darkice, arguments))
        return std::nullopt;
    const auto listed = waitForMount(port, mount);
    if (!listed) {
        fail("DarkIce did not go on air", child);
        return std::nullopt;
    }
    turn.pressToListedMs = msBetween(started, *listed);
    if (window.count() > 0) {
        runEventsFor(3s);
        turn.cpuOnAir = cpuPerSecond(child.pid(), window);
    }
    if (!child.isRunning()) {
        fail("DarkIce ended while measured", child);
        return std::nullopt;
    }
    child.stop();
    waitForMount(port, mount, false);
    return turn;
}

// The voice processing switch turned to `on` with the pointer, as the screen shows it.
bool switchVoiceProcessing(Program &program, bool on) {
    const auto shown = [&program] {
        return program.item(QStringLiteral("voiceSwitch"), {QStringLiteral("checked")})
            .value(QStringLiteral("properties"))
            .toObject()
            .value(QStringLiteral("checked"))
            .toBool();
    };
    if (shown() != on && !program.clickButton(QStringLiteral("voiceSwitch")))
        return false;
    return program.waitFor([&] { return shown() == on; }, 10s);
}

// A bare source client: connects, writes the source request for `mount`, waits for the answer,
// writes a little audio (zeros), and times the connection to the mount listed; nothing when
// icecast2 refused or did not list it.
std::optional<double> bareSourceListedMs(quint16 port, const QString &mount) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const auto started = Clock::now();
    std::optional<double> ms;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        const QByteArray request =
            "PUT /" + mount.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
            (QStringLiteral("source:") + sourcePassword()).toUtf8().toBase64() +
            "\r\nContent-Type: audio/mpeg\r\nExpect: 100-continue\r\n\r\n";
        char answer[512];
        const QByteArray audio(4096, '\0');
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) ==
                request.size() &&
            ::recv(fd, answer, sizeof answer, 0) > 0 &&
            ::send(fd, audio.constData(), size_t(audio.size()), MSG_NOSIGNAL) == audio.size()) {
            if (const auto listed = waitForMount(port, mount))
                ms = msBetween(started, *listed);
        }
    }
    ::close(fd);
    waitForMount(port, mount, false);
    return ms;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString binary = valueOf(args, QStringLiteral("--program"));
    const quint16 port = quint16(valueOf(args, QStringLiteral("--icecast-port")).toUInt());
    const QString mount = valueOf(args, QStringLiteral("--mount"));
    const auto number = [&args](const char *option, const char *fallback) {
        return valueOf(args, QLatin1String(option), QLatin1String(fallback)).toInt();
    };
    const std::chrono::seconds idleWindow(number("--idle-seconds", "60"));
    const std::chrono::seconds onAirWindow(number("--on-air-seconds", "15"));
    const int presses = std::max(1, number("--presses", "5"));
    const int onAirRounds = std::clamp(number("--on-air-rounds", "2"), 1, presses);
    const int voiceRounds = std::max(0, number("--voice-rounds", "3"));
    const QString sink = valueOf(args, QStringLiteral("--sink"), QStringLiteral("vsink"));
    const bool rows = args.contains(QStringLiteral("--rows"));
    const QString darkice = QStandardPaths::findExecutable(QStringLiteral("darkice"));
    if (binary.isEmpty() || port == 0 || mount.isEmpty()) {
        std::fprintf(stderr, "usage: castora-bench-program --program PATH --icecast-port PORT "
                             "--mount MOUNT [--rows] [--idle-seconds S] [--on-air-seconds S] "
                             "[--presses N] [--on-air-rounds N] [--voice-rounds N] [--sink "
                             "SINK]\n");
        return 2;
    }
    if (darkice.isEmpty()) {
        std::fprintf(stderr, "castora-bench-program: darkice is needed (Debian package darkice)\n");
        return 1;
    }

    Program program(binary);
    if (!program.launch()) {
        fail("the program did not come up", program.child());
        return 1;
    }
    // Signed in, the channel record in (the mount point set), the screens settled.
    if (!program.waitFor(
            [&] {
                return program.buttonReads(QStringLiteral("Start")) &&
                       !program.text(QStringLiteral("channelCaption")).isEmpty() &&
                       !program.item(QStringLiteral("stackView"), {QStringLiteral("busy")})
                            .value(QStringLiteral("properties"))
                            .toObject()
                            .value(QStringLiteral("busy"))
                            .toBool();
            },
            60s)) {
        fail("the broadcast screen did not come up", program.child());
        return 1;
    }
    runEventsFor(5s); // artwork, chat history and the first listener poll are in

    const QString inputCheck = kInputCheckBuilt ? QStringLiteral("input check running")
                                                : QStringLiteral("no input check in this build");
    std::printf("Off air (%s), %lld s each\n", qPrintable(inputCheck),
                static_cast<long long>(idleWindow.count()));
    const Idle silent = measureIdle(program, idleWindow);
    std::printf("  silence: %.2f frames/s, %.2f ms CPU per second\n", silent.framesPerSecond,
                1e3 * silent.cpuPerSecond);
    std::fflush(stdout);
    Child tone(QStringLiteral("sox"));
    if (!tone.start(QStringLiteral("sox"),
                    {"-q",  "-n",     "-r",  "44100",      "-c", "2",     "-b",   "16",
                     "-e",  "signed", "-t",  "pulseaudio", sink, "synth", "3600", "sine",
                     "440", "vol",    "0.5", "tremolo",    "3",  "90"}))
        return 1;
    runEventsFor(3s);
    const Idle toned = measureIdle(program, idleWindow);
    std::printf("  a tone: %.2f frames/s, %.2f ms CPU per second\n", toned.framesPerSecond,
                1e3 * toned.cpuPerSecond);
    std::fflush(stdout);

    QTemporaryDir folder;
    std::vector<double> castoraListed, darkiceListed, castoraCpu, darkiceCpu, castoraFrames;
    std::printf("Press of Start to listed, then on air (%lld s measured in the first %d "
                "rounds), Standard\n",
                static_cast<long long>(onAirWindow.count()), onAirRounds);
    for (int round = 0; round < presses; ++round) {
        const std::chrono::milliseconds window = round < onAirRounds ? onAirWindow : 0s;
        for (int turn = 0; turn < 2; ++turn) {
            const bool castoraTurnNow = (turn == 0) == (round % 2 == 0);
            const std::optional<Turn> t =
                castoraTurnNow
                    ? castoraTurn(program, port, mount, window)
                    : darkiceTurn(darkice, folder.path(), port,
                                  QStringLiteral("bench-darkice-%1").arg(round + 1), window);
            if (!t)
                return 1;
            (castoraTurnNow ? castoraListed : darkiceListed).push_back(t->pressToListedMs);
            if (t->cpuOnAir)
                (castoraTurnNow ? castoraCpu : darkiceCpu).push_back(*t->cpuOnAir);
            if (t->framesPerSecond)
                castoraFrames.push_back(*t->framesPerSecond);
            QString detail;
            if (t->cpuOnAir)
                detail = QStringLiteral(", on air %1 ms CPU per second")
                             .arg(1e3 * *t->cpuOnAir, 0, 'f', 2);
            if (t->framesPerSecond)
                detail += QStringLiteral(", %1 frames/s").arg(*t->framesPerSecond, 0, 'f', 1);
            std::printf("  round %d  %-8s listed after %4.0f ms%s\n", round + 1,
                        castoraTurnNow ? "Castora" : "DarkIce", t->pressToListedMs,
                        qPrintable(detail));
            std::fflush(stdout);
        }
    }
    // Voice processing on against off, speech on the microphone.
    std::vector<double> voiceCpu[2], voiceFrames[2]; // [off, on]
    if (voiceRounds > 0) {
        tone.stop();
        const QString speech = folder.filePath(QStringLiteral("speech.wav"));
        Child player(QStringLiteral("sox"));
        if (QProcess::execute(QStringLiteral("espeak-ng"),
                              {QStringLiteral("-w"), speech, kSpeech}) != 0 ||
            !player.start(QStringLiteral("sox"), {"-q", speech, "-t", "pulseaudio", sink, "gain",
                                                  "-n", "-3", "repeat", "9999"})) {
            std::fprintf(stderr, "castora-bench-program: no speech (espeak-ng, sox)\n");
            return 1;
        }
        std::printf("Voice processing on and off, on air with speech (%lld s measured each)\n",
                    static_cast<long long>(onAirWindow.count()));
        for (int round = 0; round < voiceRounds; ++round) {
            for (int turn = 0; turn < 2; ++turn) {
                const bool on = (turn == 0) == (round % 2 == 0);
                if (!switchVoiceProcessing(program, on)) {
                    fail("the voice processing switch did not follow", program.child());
                    return 1;
                }
                const std::optional<Turn> t = castoraTurn(program, port, mount, onAirWindow);
                if (!t)
                    return 1;
                voiceCpu[on].push_back(*t->cpuOnAir);
                voiceFrames[on].push_back(*t->framesPerSecond);
                std::printf("  round %d, voice processing %-3s %.2f ms CPU per second, %.1f "
                            "frames/s\n",
                            round + 1, on ? "on" : "off", 1e3 * *t->cpuOnAir, *t->framesPerSecond);
                std::fflush(stdout);
            }
        }
        switchVoiceProcessing(program, false);
    }

    std::vector<double> bareListed;
    for (int i = 0; i < presses; ++i) {
        const std::optional<double> ms =
            bareSourceListedMs(port, QStringLiteral("bench-bare-%1").arg(i + 1));
        if (!ms) {
            std::fprintf(stderr, "castora-bench-program: a bare source connection was not "
                                 "listed\n");
            return 1;
        }
        std::printf("  bare source connection %d listed after %4.0f ms\n", i + 1, *ms);
        bareListed.push_back(*ms);
    }
    const double ownListed = median(castoraListed), peerListed = median(darkiceListed);
    const double ownCpu = median(castoraCpu), peerCpu = median(darkiceCpu);
    std::printf("Medians: press to listed %.0f ms vs DarkIce %.0f ms; on air %.2f vs %.2f ms CPU "
                "per second (ratio %.2fx)\n",
                ownListed, peerListed, 1e3 * ownCpu, 1e3 * peerCpu, ownCpu / peerCpu);
    if (voiceRounds > 0)
        std::printf("Voice processing: on air %.2f ms CPU per second with it on, %.2f with it off "
                    "(ratio %.2fx, target <= 1.10x)\n",
                    1e3 * median(voiceCpu[1]), 1e3 * median(voiceCpu[0]),
                    median(voiceCpu[1]) / median(voiceCpu[0]));
    if (!rows)
        return 0;
    const auto msPerSecond = [](double cpu) {
        return QStringLiteral("%1 ms/s").arg(1e3 * cpu, 0, 'f', 2);
    };
    const QString idleWhat = QStringLiteral("The program off air (%1), under Xvfb, over %2 s")
                                 .arg(inputCheck)
                                 .arg(idleWindow.count());
    printRow({idleWhat + QStringLiteral(": frames drawn per second with nothing on screen "
                                        "changing (silence, no chat, no timers shown)"),
              QStringLiteral("%1 frames/s").arg(silent.framesPerSecond, 0, 'f', 2), QString(),
              QString(), std::nullopt, QStringLiteral("<= 0 frames/s")});
    printRow({idleWhat + QStringLiteral(": CPU, silence on the input"),
              msPerSecond(silent.cpuPerSecond), QString(), QString(), std::nullopt, QString()});
    printRow({idleWhat + QStringLiteral(": CPU, a tone rising and falling like a voice on the "
                                        "input (%1 frames/s drawn)")
                             .arg(toned.framesPerSecond, 0, 'f', 1),
              msPerSecond(toned.cpuPerSecond), QString(), QString(), std::nullopt, QString()});
    const QString darkiceSame = QStringLiteral("DarkIce, same settings, microphone and icecast2");
    printRow({QStringLiteral("Press of Start to the mount listed by icecast2, the program under "
                             "Xvfb at Standard (median of %1)")
                  .arg(presses),
              QStringLiteral("%1 ms").arg(ownListed, 0, 'f', 0),
              darkiceSame + QStringLiteral(", its own start to listed"),
              QStringLiteral("%1 ms").arg(peerListed, 0, 'f', 0), ownListed / peerListed,
              QStringLiteral("<= 150 ms")});
    printRow({QStringLiteral("Connection to the mount listed by icecast2 for a bare source client "
                             "(the source request from a socket, then audio; median of %1): "
                             "icecast2's own share of the row above")
                  .arg(presses),
              QString(), QStringLiteral("bare source connection, same icecast2"),
              QStringLiteral("%1 ms").arg(median(bareListed), 0, 'f', 0), std::nullopt, QString()});
    printRow({QStringLiteral("The real program on air, CPU per second: signed in, Standard from "
                             "the virtual microphone (the same tone), under Xvfb without a GPU "
                             "driver (median of %1 x %2 s; %3 frames/s drawn)")
                  .arg(onAirRounds)
                  .arg(onAirWindow.count())
                  .arg(median(castoraFrames), 0, 'f', 1),
              msPerSecond(ownCpu), darkiceSame, msPerSecond(peerCpu), ownCpu / peerCpu,
              QStringLiteral("<= 2.00")});
    if (voiceRounds > 0)
        printRow({QStringLiteral("The real program on air with voice processing on, CPU per "
                                 "second: Standard, speech from the virtual microphone, under "
                                 "Xvfb (median of %1 x %2 s, on and off taking turns; %3 frames/s "
                                 "drawn, %4 with it off)")
                      .arg(voiceRounds)
                      .arg(onAirWindow.count())
                      .arg(median(voiceFrames[1]), 0, 'f', 1)
                      .arg(median(voiceFrames[0]), 0, 'f', 1),
                  msPerSecond(median(voiceCpu[1])),
                  QStringLiteral("the same with voice processing off"),
                  msPerSecond(median(voiceCpu[0])), median(voiceCpu[1]) / median(voiceCpu[0]),
                  QStringLiteral("<= 1.10")});
    return 0;
}
