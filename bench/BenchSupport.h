#pragma once

// What the benchmarks share: CPU time and memory of a process read from /proc, a child process
// started and stopped within bounds, icecast2's list of mounts, DarkIce as the baseline
// streamer, and the result rows that bench/run-all gathers into one table.
#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace castora::bench {

// CPU time (user + system) of the live threads of process `pid`, in seconds, from
// /proc/PID/task/*/schedstat (nanoseconds, unlike the 10 ms ticks of /proc/PID/stat).
double processCpuSeconds(pid_t pid);

// CPU time of the threads of process `pid` called `name` (/proc/PID/task/*/comm).
double threadCpuSeconds(pid_t pid, const QByteArray &name);

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM"); -1 when it cannot be read.
qint64 statusKb(pid_t pid, const QByteArray &field);

// Lets VmHWM of process `pid` start again from its current resident size (Linux 4.0 and later).
bool resetPeak(pid_t pid);

// CLOCK_MONOTONIC in nanoseconds: the clock of the program's start-up probe.
qint64 monotonicNs();

// A child process with its standard output and error merged and kept. Stopped (TERM, a grace
// period, then KILL) at the latest when the object goes away.
class Child {
public:
    explicit Child(QString name);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool start(const QString &program, const QStringList &arguments,
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
    pid_t pid() const;
    bool isRunning() const;
    const QString &name() const { return m_name; }

    // Waits until a line of the output (from its start) matches `pattern`; the match, or
    // nothing when the time ran out or the process ended first.
    std::optional<QRegularExpressionMatch> waitForLine(const QRegularExpression &pattern,
                                                       std::chrono::milliseconds timeout);
    // Reads what the process wrote meanwhile, waiting at most `timeout`.
    void poll(std::chrono::milliseconds timeout);
    QByteArray output() const { return m_output; }
    // How it ended ("crashed", "exited with status 1"), once it has, and its last output.
    QString endReport() const;

    // TERM, up to `grace` to exit, then KILL. Returns the exit code (-1 when it was killed).
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    QString m_name;
    QProcess m_process;
    QByteArray m_output;
};

// One result row. bench/run-all collects the rows of every benchmark into one table; each
// benchmark prints them on standard output as
//   ROW <tab> measure <tab> Castora <tab> baseline <tab> baseline's value <tab> ratio <tab> target
struct Row {
    QString measure;             // what is measured, with the direction of the ratio
    QString value;               // Castora's result, with its unit
    QString baseline;            // what it is measured against
    QString baselineValue;       // the baseline's result, with its unit
    std::optional<double> ratio; // Castora / baseline unless the measure says otherwise
    // Empty, or a bound on the ratio ("<= 1.10") or on Castora's value in its unit ("< 2 MB").
    QString target;
};
void printRow(const Row &row);

// The source password the program was built with (CASTORA_ICECAST_PASSWORD), which bench/run-all's
// icecast2 (scripts/local-service, reading the build's) accepts.
QString sourcePassword();
// "user:password", percent-encoded for the user part of an icecast:// address (ffmpeg's).
QString sourceUserInfo();

// Runs the event loop for `duration`.
void runEventsFor(std::chrono::milliseconds duration);

// Whether the status page of the icecast2 on `port` (status-json.xsl) lists a source on
// `mount`.
bool mountListed(quint16 port, const QString &mount);

// The arguments of DarkIce streaming the default PulseAudio source as MP3 mono (constant
// bitrate, LAME quality `lameQuality`, captured at `sampleRate`) to `mount` on the icecast2 on
// `port`; its configuration file goes into `folder`.
QStringList darkiceArguments(const QString &folder, quint16 port, const QString &mount, int bitrate,
                             int lameQuality, unsigned int sampleRate);

// The value after `option` on the command line, or `fallback`.
QString valueOf(const QStringList &args, const QString &option, const QString &fallback = {});
// The median of a set of measurements (0 for none).
double median(std::vector<double> values);

} // namespace castora::bench
