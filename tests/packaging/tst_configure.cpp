// Configuring the project (cmake on a scratch build folder): a build that is not a development
// build refuses addresses on this machine and unencrypted ones, a missing Icecast source
// credential or the development default, and plain transport to Icecast, whatever its build
// type, and names the options that fix it; the service's own addresses and credential over
// TLS, or the explicit allowance, pass.
#include "TestMain.h"

#include <QProcess>
#include <QTemporaryDir>

using castora::test::columns;
using castora::test::row;

namespace {

const QStringList kService{"-DCASTORA_BACKEND_URL=https://api.example.com",
                           "-DCASTORA_CHAT_URL=wss://chat.example.com/app",
                           "-DCASTORA_WEBSITE_URL=https://www.example.com",
                           "-DCASTORA_PROBE_URL=http://probe.example.com/",
                           "-DCASTORA_ICECAST_HOST=stream.example.com",
                           "-DCASTORA_ICECAST_TLS=ON",
                           "-DCASTORA_ICECAST_USER=source",
                           "-DCASTORA_ICECAST_PASSWORD=service-secret"};

// The service's options with those of `replacements` put in their place.
QStringList serviceWith(const QStringList &replacements) {
    QStringList options = kService;
    for (const QString &replacement : replacements) {
        const QString name = replacement.section('=', 0, 0) + '=';
        for (QString &option : options)
            option = option.startsWith(name) ? replacement : option;
    }
    return options;
}

} // namespace

class TestConfigure : public QObject {
    Q_OBJECT

private slots:
    void addressesOfBuildsForUsers_data() {
        // expected: in cmake's output
        // absent: named problems that must not be there
        columns<QStringList, bool, QStringList, QStringList>("options", "configures", "expected",
                                                             "absent");
        const QStringList remedies{"-DCASTORA_DEVELOPMENT=ON",
                                   "-DCASTORA_ALLOW_INSECURE_ADDRESSES=ON"};
        // The local stack's defaults, in a Debug build: the build type no longer decides.
        row("local defaults", QStringList{"-DCMAKE_BUILD_TYPE=Debug"}, false,
            remedies + QStringList{"CASTORA_BACKEND_URL=http://127.0.0.1:8085",
                                   "CASTORA_CHAT_URL=ws://127.0.0.1:8086/chat",
                                   "CASTORA_WEBSITE_URL=http://127.0.0.1:8085/site",
                                   "CASTORA_PROBE_URL=http://127.0.0.1:8085/probe",
                                   "CASTORA_ICECAST_HOST=127.0.0.1",
                                   "CASTORA_ICECAST_PASSWORD (not set)", "CASTORA_ICECAST_TLS=OFF"},
            QStringList{});
        row("unencrypted backend and chat",
            serviceWith({"-DCASTORA_BACKEND_URL=http://api.example.com",
                         "-DCASTORA_CHAT_URL=ws://chat.example.com/app"}),
            false,
            remedies + QStringList{"CASTORA_BACKEND_URL=http://api.example.com (https:// expected)",
                                   "CASTORA_CHAT_URL=ws://chat.example.com/app (wss:// expected)"},
            QStringList{"CASTORA_PROBE_URL=http://probe.example.com/ (",
                        "CASTORA_WEBSITE_URL=https://www.example.com ("});
        row("encrypted but on this machine",
            serviceWith(
                {"-DCASTORA_WEBSITE_URL=https://localhost:8443", "-DCASTORA_ICECAST_HOST=[::1]"}),
            false,
            QStringList{"CASTORA_WEBSITE_URL=https://localhost:8443", "CASTORA_ICECAST_HOST=[::1]"},
            QStringList{"CASTORA_BACKEND_URL=https://api.example.com ("});
        // The source credential: given, not the local stack's, and never in clear.
        QStringList noCredential = serviceWith({"-DCASTORA_ICECAST_TLS=OFF"});
        noCredential.removeIf([](const QString &option) {
            return option.contains("_USER=") || option.contains("_PASSWORD=");
        });
        row("no source credential, plain transport", noCredential, false,
            remedies + QStringList{"CASTORA_ICECAST_USER (not set)",
                                   "CASTORA_ICECAST_PASSWORD (not set)",
                                   "CASTORA_ICECAST_TLS=OFF (plain HTTP"},
            QStringList{"CASTORA_ICECAST_HOST=stream.example.com ("});
        row("the development default password",
            serviceWith({"-DCASTORA_ICECAST_PASSWORD=" CASTORA_DEVELOPMENT_SOURCE_PASSWORD}), false,
            QStringList{"CASTORA_ICECAST_PASSWORD (the local stack's development default)"},
            QStringList{"CASTORA_ICECAST_TLS=OFF", "(not set)"});
        // A probe page is plain HTTP by design; everything else is the service's own.
        row("the service", kService, true, QStringList{},
            QStringList{"CMake Error", "CMake Warning"});
        row("local stack, allowed", QStringList{"-DCASTORA_ALLOW_INSECURE_ADDRESSES=ON"}, true,
            QStringList{"allowed by CASTORA_ALLOW_INSECURE_ADDRESSES=ON",
                        "CASTORA_BACKEND_URL=http://127.0.0.1:8085"},
            QStringList{"CMake Error"});
    }

    void addressesOfBuildsForUsers() {
        QFETCH(QStringList, options);
        QFETCH(bool, configures);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, absent);
        QTemporaryDir build;
        // Only what the address rules need: no program, tests or development tools to set up.
        QProcess cmake;
        cmake.setProcessChannelMode(QProcess::MergedChannels);
        cmake.start(CMAKE_COMMAND,
                    QStringList{"-S", CASTORA_SOURCE_DIR, "-B", build.path(), "-G", CMAKE_GENERATOR,
                                "-DBUILD_TESTING=OFF", "-DCASTORA_BUILD_UI=OFF"} +
                        options);
        QVERIFY(cmake.waitForFinished(90000));
        // CMake wraps its messages at blanks: compare with the line breaks undone.
        const QString output = QString::fromLocal8Bit(cmake.readAll()).simplified();
        QCOMPARE(cmake.exitStatus(), QProcess::NormalExit);
        QVERIFY2((cmake.exitCode() == 0) == configures, qPrintable(output));
        if (!configures)
            QVERIFY2(output.contains("CASTORA_DEVELOPMENT=OFF"), qPrintable(output));
        for (const QString &text : expected)
            QVERIFY2(output.contains(text), qPrintable(text + " in: " + output));
        for (const QString &text : absent)
            QVERIFY2(!output.contains(text), qPrintable(text + " not in: " + output));
    }
};

CASTORA_TEST_MAIN(TestConfigure)
#include "tst_configure.moc"
