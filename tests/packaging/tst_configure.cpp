// Configuring the project (cmake on a scratch build folder): a build that is not a development
// build refuses addresses on this machine and unencrypted ones, whatever its build type, and
// names the options that fix it; the service's own addresses, or the explicit allowance, pass.
#include "TestMain.h"

#include <QProcess>
#include <QTemporaryDir>

namespace {

const QStringList kService{QStringLiteral("-DCASTORA_BACKEND_URL=https://api.example.com"),
                           QStringLiteral("-DCASTORA_CHAT_URL=wss://chat.example.com/app"),
                           QStringLiteral("-DCASTORA_WEBSITE_URL=https://www.example.com"),
                           QStringLiteral("-DCASTORA_PROBE_URL=http://probe.example.com/"),
                           QStringLiteral("-DCASTORA_ICECAST_HOST=stream.example.com")};

QStringList serviceWith(const QString &replacement) {
    const QString name = replacement.section(QLatin1Char('='), 0, 0);
    QStringList options;
    for (const QString &option : kService)
        options << (option.startsWith(name + QLatin1Char('=')) ? replacement : option);
    return options;
}

} // namespace

class TestConfigure : public QObject {
    Q_OBJECT

private slots:
    void addressesOfBuildsForUsers_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("configures");
        QTest::addColumn<QStringList>("expected"); // in cmake's output
        QTest::addColumn<QStringList>("absent");   // named problems that must not be there

        const QStringList remedies{QStringLiteral("-DCASTORA_DEVELOPMENT=ON"),
                                   QStringLiteral("-DCASTORA_ALLOW_INSECURE_ADDRESSES=ON")};
        // The local stack's defaults, in a Debug build: the build type no longer decides.
        QTest::newRow("local defaults")
            << QStringList{QStringLiteral("-DCMAKE_BUILD_TYPE=Debug")} << false
            << remedies +
                   QStringList{QStringLiteral("CASTORA_BACKEND_URL=http://127.0.0.1:8085"),
                               QStringLiteral("CASTORA_CHAT_URL=ws://127.0.0.1:8086/chat"),
                               QStringLiteral("CASTORA_WEBSITE_URL=http://127.0.0.1:8085/site"),
                               QStringLiteral("CASTORA_PROBE_URL=http://127.0.0.1:8085/probe"),
                               QStringLiteral("CASTORA_ICECAST_HOST=127.0.0.1")}
            << QStringList{};
        QStringList unencrypted =
            serviceWith(QStringLiteral("-DCASTORA_BACKEND_URL=http://api.example.com"));
        unencrypted =
            unencrypted.replaceInStrings(QStringLiteral("wss://"), QStringLiteral("ws://"));
        QTest::newRow("unencrypted backend and chat")
            << unencrypted << false
            << remedies +
                   QStringList{
                       QStringLiteral(
                           "CASTORA_BACKEND_URL=http://api.example.com (https:// expected)"),
                       QStringLiteral(
                           "CASTORA_CHAT_URL=ws://chat.example.com/app (wss:// expected)")}
            << QStringList{QStringLiteral("CASTORA_PROBE_URL=http://probe.example.com/ ("),
                           QStringLiteral("CASTORA_WEBSITE_URL=https://www.example.com (")};
        QTest::newRow("encrypted but on this machine")
            << serviceWith(QStringLiteral("-DCASTORA_WEBSITE_URL=https://localhost:8443")) +
                   QStringList{QStringLiteral("-DCASTORA_ICECAST_HOST=[::1]")}
            << false
            << QStringList{QStringLiteral("CASTORA_WEBSITE_URL=https://localhost:8443"),
                           QStringLiteral("CASTORA_ICECAST_HOST=[::1]")}
            << QStringList{QStringLiteral("CASTORA_BACKEND_URL=https://api.example.com (")};
        // A probe page is plain HTTP by design; everything else is the service's own.
        QTest::newRow("the service")
            << kService << true << QStringList{}
            << QStringList{QStringLiteral("CMake Error"), QStringLiteral("CMake Warning")};
        QTest::newRow("local stack, allowed")
            << QStringList{QStringLiteral("-DCASTORA_ALLOW_INSECURE_ADDRESSES=ON")} << true
            << QStringList{QStringLiteral("allowed by CASTORA_ALLOW_INSECURE_ADDRESSES=ON"),
                           QStringLiteral("CASTORA_BACKEND_URL=http://127.0.0.1:8085")}
            << QStringList{QStringLiteral("CMake Error")};
    }

    void addressesOfBuildsForUsers() {
        QFETCH(QStringList, options);
        QFETCH(bool, configures);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, absent);

        QTemporaryDir build;
        QVERIFY(build.isValid());
        // Only what the address rules need: no program, tests or development tools to set up.
        QStringList arguments{QStringLiteral("-S"),
                              QStringLiteral(CASTORA_SOURCE_DIR),
                              QStringLiteral("-B"),
                              build.path(),
                              QStringLiteral("-G"),
                              QStringLiteral(CMAKE_GENERATOR),
                              QStringLiteral("-DBUILD_TESTING=OFF"),
                              QStringLiteral("-DCASTORA_BUILD_UI=OFF")};
        arguments += options;
        QProcess cmake;
        cmake.setProcessChannelMode(QProcess::MergedChannels);
        cmake.start(QStringLiteral(CMAKE_COMMAND), arguments);
        QVERIFY(cmake.waitForFinished(90000));
        // CMake wraps its messages at blanks: compare with the line breaks undone.
        const QString output = QString::fromLocal8Bit(cmake.readAll()).simplified();
        const QByteArray shown = output.toLocal8Bit();
        QCOMPARE(cmake.exitStatus(), QProcess::NormalExit);
        QVERIFY2((cmake.exitCode() == 0) == configures, shown.constData());
        if (!configures)
            QVERIFY2(output.contains(QLatin1String("CASTORA_DEVELOPMENT=OFF")), shown.constData());
        for (const QString &text : expected)
            QVERIFY2(output.contains(text), qPrintable(text + QLatin1String(" in: ") + output));
        for (const QString &text : absent)
            QVERIFY2(!output.contains(text), qPrintable(text + QLatin1String(" in: ") + output));
    }
};

CASTORA_TEST_MAIN(TestConfigure)
#include "tst_configure.moc"
