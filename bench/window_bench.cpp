// The program's start-up time and idle memory, against a minimal Qt Quick window of the same Qt
// (castora-bench-qtquick-window) on the same display:
//
//  - process start to the first frame of the window: the clock (CLOCK_MONOTONIC) is read here
//    right before the process is started; the program's start-up probe (CASTORA_STARTUP_PROBE,
//    development builds) prints when the window's first frame was swapped;
//  - idle resident memory: VmRSS once it has settled (within 1% or 256 kB over 3 s). Castora
//    runs signed in (a saved session that the stand-in backend accepts), with the broadcast
//    screen shown and not on air; the baseline with its window shown.
//
// A first launch of each warms the file cache and is not counted; then the two take turns and
// the medians are reported.
//
//   castora-bench-window --program PATH/castora --baseline PATH/castora-bench-qtquick-window
//                        [--runs N] [--rows]
//
// The environment carries what the program needs (DISPLAY, XDG folders with the saved session,
// the CASTORA_* addresses of the stand-in); bench/run-all prepares it.
#include "BenchSupport.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <thread>
#include <vector>

using namespace castora::bench;
using namespace std::chrono_literals;

namespace {

struct Subject {
    QString name;
    QString program;
    QString ready; // a log line that says the state to measure is reached; empty: first frame
};

struct Launch {
    bool ok = false;
    double firstFrameMs = 0;
    qint64 rssKb = 0;
    QString problem;
};

// VmRSS once it stays within 1% (at least 256 kB) over 12 readings 250 ms apart; -1 when it
// does not settle within `limit` or the process ends.
qint64 settledRssKb(Child &child, std::chrono::seconds limit) {
    std::deque<qint64> recent;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline && child.isRunning()) {
        std::this_thread::sleep_for(250ms);
        child.poll(0ms);
        recent.push_back(statusKb(child.pid(), "VmRSS"));
        if (recent.size() > 12)
            recent.pop_front();
        const auto [low, high] = std::minmax_element(recent.begin(), recent.end());
        if (recent.size() == 12 && *low > 0 && *high - *low <= std::max<qint64>(256, *high / 100))
            return recent.back();
    }
    return -1;
}

Launch launch(const Subject &subject) {
    Launch result;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CASTORA_STARTUP_PROBE"), QStringLiteral("1"));
    Child child(subject.name);
    const qint64 startedNs = monotonicNs();
    if (!child.start(subject.program, {}, environment)) {
        result.problem = QStringLiteral("did not start");
        return result;
    }
    const auto frame = child.waitForLine(
        QRegularExpression(QStringLiteral("castora startup probe: first frame at (\\d+) ns")), 60s);
    if (!frame) {
        result.problem =
            QStringLiteral("no first frame reported (a development build is needed): ") +
            QString::fromUtf8(child.output().right(600)).trimmed();
        return result;
    }
    result.firstFrameMs = double(frame->captured(1).toLongLong() - startedNs) / 1e6;
    if (!subject.ready.isEmpty() &&
        !child.waitForLine(QRegularExpression(QRegularExpression::escape(subject.ready)), 30s)) {
        result.problem = QStringLiteral("never reached \"%1\": ").arg(subject.ready) +
                         QString::fromUtf8(child.output().right(600)).trimmed();
        return result;
    }
    result.rssKb = settledRssKb(child, 30s);
    if (!child.isRunning()) {
        child.poll(0ms);
        result.problem = QStringLiteral("it ended while idle: ") + child.endReport();
        return result;
    }
    if (result.rssKb < 0) {
        result.problem = QStringLiteral("its memory did not settle within 30 s");
        return result;
    }
    child.stop();
    result.ok = true;
    return result;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString program = valueOf(args, QStringLiteral("--program"));
    const QString baselineProgram = valueOf(args, QStringLiteral("--baseline"));
    const int runs =
        std::max(1, valueOf(args, QStringLiteral("--runs"), QStringLiteral("3")).toInt());
    const bool rows = args.contains(QStringLiteral("--rows"));
    if (program.isEmpty() || baselineProgram.isEmpty()) {
        std::fprintf(stderr, "usage: castora-bench-window --program PATH --baseline PATH "
                             "[--runs N] [--rows]\n");
        return 2;
    }
    // Signed in with a saved session: the broadcast screen follows this line.
    const Subject castora{QStringLiteral("Castora"), program,
                          QStringLiteral("Token has not expired")};
    const Subject baseline{QStringLiteral("Qt Quick baseline"), baselineProgram, QString()};

    std::vector<double> frame[2], rssMb[2];
    for (int run = 0; run <= runs; ++run) {
        const Subject *order[2] = {&castora, &baseline};
        if (run % 2)
            std::swap(order[0], order[1]);
        for (const Subject *subject : order) {
            const Launch l = launch(*subject);
            if (!l.ok) {
                std::fprintf(stderr, "castora-bench-window: %s: %s\n", qPrintable(subject->name),
                             qPrintable(l.problem));
                return 1;
            }
            std::printf("  %s %-18s first frame %6.0f ms   idle RSS %6.1f MB\n",
                        run == 0 ? "warm-up" : qPrintable(QStringLiteral("run %1  ").arg(run)),
                        qPrintable(subject->name), l.firstFrameMs, l.rssKb / 1024.0);
            std::fflush(stdout);
            if (run == 0)
                continue;
            const int i = subject == &castora ? 0 : 1;
            frame[i].push_back(l.firstFrameMs);
            rssMb[i].push_back(l.rssKb / 1024.0);
        }
    }
    const double ownFrame = median(frame[0]), baseFrame = median(frame[1]);
    const double ownRss = median(rssMb[0]), baseRss = median(rssMb[1]);
    std::printf("Median of %d run(s): first frame %.0f ms vs %.0f ms (ratio %.2fx); idle RSS %.1f "
                "MB vs %.1f MB (ratio %.2fx)\n",
                runs, ownFrame, baseFrame, ownFrame / baseFrame, ownRss, baseRss, ownRss / baseRss);
    if (rows) {
        // Under Xvfb (xcb) the window is what a desktop without a GPU driver gets; the idle
        // memory's target is set there.
        const bool xvfb =
            qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb")) == QLatin1String("xcb");
        const QString where = xvfb ? QStringLiteral("under Xvfb (Mesa llvmpipe)")
                                   : QStringLiteral("on the offscreen platform");
        const QString baselineName = QStringLiteral("minimal Qt Quick window, same Qt and display");
        printRow({QStringLiteral("Process start to first frame of the window, %1 (median of %2)")
                      .arg(where)
                      .arg(runs),
                  QStringLiteral("%1 ms").arg(ownFrame, 0, 'f', 0), baselineName,
                  QStringLiteral("%1 ms").arg(baseFrame, 0, 'f', 0), ownFrame / baseFrame,
                  QStringLiteral("<= 1.50")});
        printRow({QStringLiteral("Idle RSS: signed in, broadcast screen shown, not on air, %1")
                      .arg(where),
                  QStringLiteral("%1 MB").arg(ownRss, 0, 'f', 1), baselineName,
                  QStringLiteral("%1 MB").arg(baseRss, 0, 'f', 1), ownRss / baseRss,
                  xvfb ? QStringLiteral("<= 1.30") : QString()});
    }
    return 0;
}
