#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace castora::engine {

// A server that drops the source connection must not end the program: with SIGPIPE ignored a
// write to the dead socket fails with EPIPE and the send loop reconnects.
void ignoreBrokenPipe();

// SIGTERM, SIGINT and SIGHUP (a desktop session ending, Ctrl-C in a terminal, the terminal
// closing) end the program the way closing its window does, instead of killing it in the
// middle of a broadcast. The handler only writes the signal's number into a pipe; `onSignal`
// runs from the event loop of the thread that made this object, for the first signal only:
// the ones after it (a session manager that sends another, an impatient Ctrl-C) are ignored
// while the program closes, so they can neither kill it nor cut its bounded stop short. A
// signal that was ignored when the program started (nohup) stays ignored. One instance at a
// time; its destructor restores the default actions when no signal came, and otherwise leaves
// them ignored for the rest of the process's life.
class TerminationSignals : public QObject {
public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal,
                                QObject *parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals &) = delete;
    TerminationSignals &operator=(const TerminationSignals &) = delete;

private:
    std::function<void(int)> m_onSignal;
    int m_pipe[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    bool m_handled[3] = {false, false, false};
    bool m_received = false;
};

} // namespace castora::engine
