// The program as users get it, in two ways checked alike:
//  - tst_install: `cmake --install` of this build tree into a fresh prefix;
//  - tst_package: the Debian package installed on this machine (.ci/run builds it for the local
//    stack, installs it, runs this and purges it), whose compiled-in backend address and source
//    password CASTORA_PACKAGE_BACKEND_URL and CASTORA_PACKAGE_ICECAST_PASSWORD name.
// The program, its desktop entry, icons, AppStream data and manual page land where desktops
// and software centres look for them; the entry and the AppStream data are valid; nothing else
// is installed (no tests, benchmarks, stand-in backend); --help and --version answer without a
// display; and the development features (the CASTORA_BACKEND_URL override, the inspection
// socket, the start-up probe) are there in development builds only, and so is the development
// default of the Icecast source password.
#include "DevServer.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QLocalSocket>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <memory>

#ifndef CASTORA_TEST_PACKAGE
#define CASTORA_TEST_PACKAGE 0
#endif

using castora::test::columns;
using castora::test::row;

namespace {

const QString kProgram = "bin/castora";
const QString kDesktopEntry = "share/applications/" CASTORA_APP_ID ".desktop";
const QString kMetainfo = "share/metainfo/" CASTORA_APP_ID ".metainfo.xml";
const QList<int> kIconSizes{16, 24, 32, 48, 64, 128, 256, 512};

QString iconPath(int size) {
    return QString("share/icons/hicolor/%1x%1/apps/" CASTORA_APP_ID ".png").arg(size);
}

// The environment of a program started away from the build tree: no QML or plugin paths.
QProcessEnvironment installedEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QML_IMPORT_PATH", "QML2_IMPORT_PATH", "QT_PLUGIN_PATH"})
        environment.remove(name);
    return environment;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;
    QString m_root;          // what the relative paths below hang from
    QStringList m_installed; // files under m_root, relative to it
    bool m_development = false;
    QString m_backendUrl; // compiled into the program under test

    QString installed(const QString &relative) const {
        return m_root + QLatin1Char('/') + relative;
    }

    QStringList expectedFiles() const {
        QStringList expected{kProgram, kDesktopEntry, kMetainfo};
        for (int size : kIconSizes)
            expected << iconPath(size);
        if (CASTORA_TEST_PACKAGE) {
            expected << "share/man/man1/castora.1.gz"
                     << "share/doc/castora/changelog.gz"
                     << "share/doc/castora/copyright";
            if (QFileInfo::exists(CASTORA_SOURCE_DIR "/debian/castora.lintian-overrides"))
                expected << "share/lintian/overrides/castora";
        } else {
            expected << "share/man/man1/castora.1";
        }
        expected.sort();
        return expected;
    }

private slots:
    void initTestCase() {
        if (CASTORA_TEST_PACKAGE) {
            m_backendUrl = qEnvironmentVariable("CASTORA_PACKAGE_BACKEND_URL");
            if (m_backendUrl.isEmpty())
                QSKIP("checks the installed Debian package: .ci/run installs one and sets "
                      "CASTORA_PACKAGE_BACKEND_URL to the backend address it was built with");
            m_root = "/usr";
            QProcess dpkg;
            dpkg.start("dpkg", {"-L", "castora"});
            QVERIFY(dpkg.waitForFinished(30000));
            QVERIFY2(dpkg.exitCode() == 0, "the package castora is not installed");
            const QList<QByteArray> paths = dpkg.readAllStandardOutput().split('\n');
            for (const QByteArray &path : paths) {
                const QFileInfo info(QString::fromLocal8Bit(path));
                QVERIFY2(path.startsWith("/usr/") || !info.isFile(), path.constData());
                if (info.isFile())
                    m_installed << QDir(m_root).relativeFilePath(info.filePath());
            }
        } else {
            QVERIFY(m_prefix.isValid());
            m_root = m_prefix.path();
            m_development = CASTORA_DEVELOPMENT_BUILD;
            m_backendUrl = CASTORA_BUILD_BACKEND_URL;
            QProcess install;
            install.setProcessChannelMode(QProcess::MergedChannels);
            install.start(CMAKE_COMMAND, {"--install", CASTORA_BUILD_DIR, "--prefix", m_root});
            QVERIFY(install.waitForFinished(120000));
            QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
                     install.readAll().constData());
            QDirIterator files(m_root, QDir::Files | QDir::Hidden | QDir::System,
                               QDirIterator::Subdirectories);
            while (files.hasNext())
                m_installed << QDir(m_root).relativeFilePath(files.next());
        }
        m_installed.sort();
    }

    // Only the program and what desktops and software centres need: no test, benchmark or
    // stand-in binaries, no static libraries or headers.
    void installedFiles() {
        QCOMPARE(m_installed, expectedFiles());
        const QFileInfo program(installed(kProgram));
        QVERIFY(program.isExecutable());
        QCOMPARE(castora::test::readFile(program.filePath()).left(4), QByteArray("\x7f"
                                                                                 "ELF"));
        for (const QString &path : m_installed) {
            if (path != kProgram)
                QVERIFY2(!QFileInfo(installed(path)).isExecutable(), qPrintable(path));
        }
        // Square at its folder's size, on a transparent background (rounded corners).
        for (int size : kIconSizes) {
            const QImage icon(installed(iconPath(size)));
            QCOMPARE(icon.size(), QSize(size, size));
            QVERIFY(icon.hasAlphaChannel());
            QCOMPARE(icon.pixelColor(0, 0).alpha(), 0);
            QVERIFY(icon.pixelColor(size / 2, size - 1 - size / 8).alpha() > 0);
        }
    }

    // A build for users holds the source password it was built with and nothing of the local
    // stack's development default. Qt keeps string literals as UTF-16: both forms are looked for.
    void sourceCredential() {
        if (m_development)
            QSKIP("a development build is made with the development default");
        const QByteArray program = castora::test::readFile(installed(kProgram));
        QVERIFY(!program.isEmpty());
        const auto holds = [&program](const QString &text) {
            const QByteArray utf16(reinterpret_cast<const char *>(text.utf16()),
                                   text.size() * qsizetype(sizeof(char16_t)));
            return program.contains(text.toUtf8()) || program.contains(utf16);
        };
        QVERIFY(!holds(QStringLiteral(CASTORA_DEVELOPMENT_SOURCE_PASSWORD)));
        const QString given = qEnvironmentVariable("CASTORA_PACKAGE_ICECAST_PASSWORD");
        if (CASTORA_TEST_PACKAGE)
            QVERIFY2(!given.isEmpty() && holds(given),
                     "the package holds the source password it was built with");
    }

    // The desktop entry and the AppStream data pass their validators and point at what was
    // installed: the program, the icon, each other.
    void desktopDataIsValid_data() {
        columns<QString, QStringList>("path", "validator");
        row("desktop entry", kDesktopEntry, QStringList{"desktop-file-validate"});
        // --no-net: the screenshot and home page addresses are checked for their form only.
        row("AppStream", kMetainfo, QStringList{"appstreamcli", "validate", "--no-net"});
    }

    void desktopDataIsValid() {
        QFETCH(QString, path);
        QFETCH(QStringList, validator);
        const QString tool = QStandardPaths::findExecutable(validator.takeFirst());
        QVERIFY2(!tool.isEmpty(), "scripts/lib.sh installs desktop-file-utils and appstream");
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(tool, validator << installed(path));
        QVERIFY(validate.waitForFinished(60000));
        const QByteArray complaints = validate.readAll();
        QVERIFY2(validate.exitCode() == 0, complaints.constData());

        if (path == kDesktopEntry) {
            QVERIFY2(complaints.trimmed().isEmpty(), complaints.constData());
            // What a menu needs to show and start the program.
            QSettings entry(installed(path), QSettings::IniFormat);
            entry.beginGroup("Desktop Entry");
            QCOMPARE(entry.value("Icon").toString(), CASTORA_APP_ID);
            for (const char *key : {"Exec", "TryExec"}) {
                const QString program = entry.value(key).toString().section(' ', 0, 0);
                QCOMPARE(QStandardPaths::findExecutable(program, {installed("bin")}),
                         installed(kProgram));
            }
            // The class of the program's X11 window (WM_CLASS "castora", "Castora") ties the
            // window to the entry.
            QCOMPARE(entry.value("StartupWMClass").toString(), "Castora");
            return;
        }
        // The component a software centre shows for the desktop entry, with its release.
        QXmlStreamReader xml(castora::test::readFile(installed(path)));
        QHash<QString, QString> found;
        int screenshots = 0;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QString name = xml.name().toString();
            if (name == "release")
                found.insert(name, xml.attributes().value("version").toString());
            else if (name == "image")
                ++screenshots;
            else if (name == "id" || name == "launchable")
                found.insert(name, xml.readElementText());
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(found.value("id"), CASTORA_APP_ID);
        QCOMPARE(found.value("launchable"), CASTORA_APP_ID ".desktop");
        QCOMPARE(found.value("release"), "1.0.0");
        QVERIFY(screenshots >= 3);
    }

    // --help and --version print and end without a display (so without a window, an audio
    // device or a controller), and so do commands to the running program (none here: the
    // session bus named cannot be reached); anything else on the command line is refused.
    void commandLine_data() {
        // expected: on standard output, or error when failing
        columns<QStringList, int, QByteArray>("arguments", "exitCode", "expected");
        row("version", QStringList{"--version"}, 0, QByteArray("Castora 1.0.0\n"));
        row("help", QStringList{"--help"}, 0, QByteArray("--version"));
        row("unknown option", QStringList{"--no-such-option"}, 1,
            QByteArray("Unknown option 'no-such-option'."));
        row("stray argument", QStringList{"stray"}, 1, QByteArray("unexpected argument 'stray'"));
        row("status, nothing running", QStringList{"--status"}, 2,
            QByteArray("Castora is not running"));
    }

    void commandLine() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, expected);
        QProcessEnvironment environment = installedEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(name);
        const QTemporaryDir runtime;
        environment.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime.filePath("bus"));
        // A refusal comes from the program proper, which needs a window system to start.
        if (exitCode == 1)
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(installed(kProgram), arguments);
        QVERIFY(program.waitForFinished(60000));
        const QByteArray out = program.readAllStandardOutput();
        const QByteArray err = program.readAllStandardError();
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), exitCode);
        QVERIFY2((exitCode == 0 ? out : err).contains(expected), (out + err).constData());
        if (exitCode == 0)
            QVERIFY2(err.isEmpty(), err.constData());
    }

    // Started from where it was installed, far from the build tree and without import paths,
    // with the development variables set: a development build follows CASTORA_BACKEND_URL,
    // opens the inspection socket and reports its first frame; any other build talks to its
    // compiled-in backend only and has neither socket nor probe.
    void developmentFeatures() {
        castora::dev::DevServer fromEnvironment;
        QVERIFY(fromEnvironment.listen() != 0);
        std::unique_ptr<castora::dev::DevServer> compiledIn;
        if (!m_development) {
            // The compiled-in backend is on this machine (a package for the local stack): a
            // stand-in there sees what the program asks.
            const QUrl url(m_backendUrl);
            if (url.host() != "127.0.0.1" || url.port() <= 0)
                QSKIP("the compiled-in backend is not a port of 127.0.0.1");
            compiledIn = std::make_unique<castora::dev::DevServer>();
            QVERIFY2(compiledIn->listen(quint16(url.port())) == url.port(),
                     qPrintable(m_backendUrl + " is taken"));
        }
        castora::dev::DevServer &expected = m_development ? fromEnvironment : *compiledIn;

        QTemporaryDir runtime;
        const QString socketPath = runtime.filePath("inspect.sock");
        QProcessEnvironment environment = installedEnvironment();
        environment.insert("CASTORA_BACKEND_URL", fromEnvironment.baseUrl());
        environment.insert("CASTORA_INSPECT", socketPath);
        environment.insert("CASTORA_STARTUP_PROBE", "1");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(runtime.path());
        program.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray output;
        connect(&program, &QProcess::readyRead, this, [&] { output += program.readAll(); });
        program.start(installed(kProgram), {});
        QVERIFY(program.waitForStarted(10000));
        auto stop = qScopeGuard([&] {
            program.kill();
            program.waitForFinished(10000);
        });

        // The update check goes out once the event loop runs: after the main window document
        // was loaded and the inspection socket opened.
        QTRY_VERIFY2_WITH_TIMEOUT(!expected.requests("api/app/version").isEmpty() ||
                                      program.state() == QProcess::NotRunning,
                                  output.constData(), 60000);
        QVERIFY2(program.state() == QProcess::Running, output.constData());
        if (m_development) {
            QTRY_VERIFY2_WITH_TIMEOUT(output.contains("castora startup probe: first frame") ||
                                          program.state() == QProcess::NotRunning,
                                      output.constData(), 60000);
            QVERIFY2(output.contains("castora startup probe: first frame"), output.constData());
            QLocalSocket inspection;
            inspection.connectToServer(socketPath);
            QVERIFY2(inspection.waitForConnected(10000), qPrintable(inspection.errorString()));
        } else {
            QCOMPARE(fromEnvironment.requests().size(), 0);
            QVERIFY(!QFileInfo::exists(socketPath));
            QVERIFY2(!output.contains("castora startup probe"), output.constData());
        }
        QVERIFY2(!output.contains("failed to load component"), output.constData());
    }
};

CASTORA_GUI_TEST_MAIN(TestInstall)
#include "tst_install.moc"
