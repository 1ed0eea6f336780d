#include "StartupProbe.h"

#include <QByteArray>
#include <QFile>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>

namespace castora {

#if CASTORA_STARTUP_PROBE_BUILT
namespace {

qint64 clockNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// When this process started, on CLOCK_BOOTTIME, in ns: field 22 of /proc/self/stat (clock
// ticks); -1 when unknown. The command name (field 2) may hold blanks: count after its ')'.
qint64 processStartBoottimeNs() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    bool ok = false;
    const qint64 ticks = fields.value(19).toLongLong(&ok); // field 22 is the 20th after ')'
    return ok ? ticks * (1000000000 / sysconf(_SC_CLK_TCK)) : -1;
}

} // namespace
#endif

void reportFirstFrame(const QQmlApplicationEngine &engine) {
#if CASTORA_STARTUP_PROBE_BUILT
    if (qEnvironmentVariableIsEmpty("CASTORA_STARTUP_PROBE"))
        return;
    const QList<QObject *> roots = engine.rootObjects();
    QQuickWindow *window = nullptr;
    for (QObject *root : roots) {
        if ((window = qobject_cast<QQuickWindow *>(root)))
            break;
    }
    if (!window) {
        std::fprintf(stderr, "castora startup probe: no window to watch\n");
        return;
    }
    // frameSwapped comes from the render thread when the scene graph has one: the report is a
    // direct call, made once, and the connection is then dropped.
    auto connection = std::make_shared<QMetaObject::Connection>();
    auto reported = std::make_shared<std::atomic<bool>>(false);
    *connection = QObject::connect(
        window, &QQuickWindow::frameSwapped, window,
        [connection, reported] {
            if (reported->exchange(true))
                return;
            const qint64 monotonic = clockNs(CLOCK_MONOTONIC);
            const qint64 started = processStartBoottimeNs();
            const double sinceStart =
                started < 0 ? -1.0 : double(clockNs(CLOCK_BOOTTIME) - started) / 1e6;
            std::fprintf(stderr,
                         "castora startup probe: first frame at %lld ns (CLOCK_MONOTONIC), %.0f "
                         "ms after process start\n",
                         static_cast<long long>(monotonic), sinceStart);
            std::fflush(stderr);
            QObject::disconnect(*connection);
        },
        Qt::DirectConnection);
#else
    Q_UNUSED(engine);
#endif
}

} // namespace castora
