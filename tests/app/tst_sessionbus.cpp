// Where the program and its command line look for the session bus: the session's variable,
// else the bus socket in the user's runtime folder (cron jobs have no variable).
#include "DesktopService.h"
#include "TestMain.h"

#include <QDir>
#include <QLocalServer>
#include <QTemporaryDir>

using castora::test::columns;
using castora::test::row;

class TestSessionBus : public QObject {
    Q_OBJECT

    enum Bus { None, File, Socket };

private slots:
    void sessionBusAddress_data() {
        // runtimeBus: -1: XDG_RUNTIME_DIR not set
        // found: "runtime", "user", the environment's or none
        columns<QString, int, int, QString>("environment", "runtimeBus", "userBus", "found");
        row("the session's variable", "unix:abstract=/tmp/dbus-x", int(Socket), int(Socket),
            "unix:abstract=/tmp/dbus-x");
        row("the runtime folder", "", int(Socket), int(Socket), "runtime");
        row("no runtime folder: the user's", "", -1, int(Socket), "user");
        row("a runtime folder of its own", "", int(None), int(Socket), "");
        row("a file is no bus", "", int(File), int(File), "");
        row("no bus", "", -1, int(None), "");
    }
    void sessionBusAddress() {
        QFETCH(QString, environment);
        QFETCH(int, runtimeBus);
        QFETCH(int, userBus);
        QFETCH(QString, found);
        QTemporaryDir root;
        // A blank in a path is escaped in the address.
        const QString runtime = root.filePath("run time"), user = root.filePath("user");
        QLocalServer runtimeServer, userServer;
        for (const auto &[dir, bus, server] :
             {std::tuple{runtime, runtimeBus, &runtimeServer}, {user, userBus, &userServer}}) {
            QVERIFY(QDir().mkpath(dir));
            if (bus == Socket)
                QVERIFY(server->listen(dir + "/bus"));
            else if (bus == File)
                QVERIFY(castora::test::writeFile(dir + "/bus", "not a socket"));
        }
        const QString expected = found == "runtime" ? "unix:path=" + root.path() + "/run%20time/bus"
                                 : found == "user"  ? "unix:path=" + user + "/bus"
                                                    : found;
        QCOMPARE(
            castora::desktop::sessionBusAddress(environment, runtimeBus < 0 ? "" : runtime, user),
            expected);
    }
};

CASTORA_TEST_MAIN(TestSessionBus)
#include "tst_sessionbus.moc"
