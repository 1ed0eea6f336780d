#include "ProcessSignals.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace castora::engine {

namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};
// The pipe's write end, set before the handlers are installed and cleared after they are gone.
volatile std::sig_atomic_t g_signalPipe = -1;

extern "C" void onTerminationSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe, &number, 1);
    errno = saved;
}

} // namespace

void ignoreBrokenPipe() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal, QObject *parent)
    : QObject(parent)
    , m_onSignal(std::move(onSignal)) {
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning() << "Termination signals are not handled:" << std::strerror(errno);
        return;
    }
    g_signalPipe = m_pipe[1];
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        while (::read(m_pipe[0], &number, 1) == 1) {
            if (std::exchange(m_received, true)) {
                qInfo() << "Already closing; signal" << number << "ignored";
                continue;
            }
            if (m_onSignal)
                m_onSignal(number);
        }
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
        struct sigaction current {};
        if (::sigaction(kTerminationSignals[i], nullptr, &current) == 0 &&
            current.sa_handler == SIG_IGN)
            continue;
        m_handled[i] = ::sigaction(kTerminationSignals[i], &action, nullptr) == 0;
    }
}

TerminationSignals::~TerminationSignals() {
    for (std::size_t i = 0; i < std::size(kTerminationSignals); ++i) {
        if (m_handled[i])
            std::signal(kTerminationSignals[i], m_received ? SIG_IGN : SIG_DFL);
    }
    g_signalPipe = -1;
    delete m_notifier;
    for (int &end : m_pipe) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}

} // namespace castora::engine
