// `cmake --install` of this build tree into a fresh prefix: the program, its desktop entry and
// its icons land where desktops look for them, the entry is valid and points at them, nothing
// else (tests, benchmarks, the stand-in backend) is installed, and the installed program starts
// and shows its window from outside the build tree.
#include "DevServer.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

const QString kDesktopEntry = QStringLiteral("share/applications/" CASTORA_APP_ID ".desktop");
const QList<int> kIconSizes{16, 24, 32, 48, 64, 128, 256, 512};

QString iconPath(int size) {
    return QStringLiteral("share/icons/hicolor/%1x%1/apps/" CASTORA_APP_ID ".png").arg(size);
}

// The keys of a desktop file's [Desktop Entry] group.
QHash<QString, QString> desktopEntry(const QString &path) {
    QFile file(path);
    QHash<QString, QString> keys;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inGroup = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inGroup = line == QLatin1String("[Desktop Entry]");
        else if (inGroup && line.contains(QLatin1Char('=')) && !line.startsWith(QLatin1Char('#')))
            keys.insert(line.section(QLatin1Char('='), 0, 0).trimmed(),
                        line.section(QLatin1Char('='), 1).trimmed());
    }
    return keys;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;
    QStringList m_installed; // files under the prefix, relative to it

    QString installed(const QString &relative) const { return m_prefix.filePath(relative); }

private slots:
    void initTestCase() {
        QVERIFY(m_prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(CASTORA_BUILD_DIR),
                       QStringLiteral("--prefix"), m_prefix.path()});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0,
                 install.readAll().constData());
        QDirIterator files(m_prefix.path(), QDir::Files | QDir::Hidden | QDir::System,
                           QDirIterator::Subdirectories);
        while (files.hasNext())
            m_installed << QDir(m_prefix.path()).relativeFilePath(files.next());
        m_installed.sort();
    }

    void installedFiles_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("iconSize"); // 0: not an icon
        QTest::newRow("program") << QStringLiteral("bin/castora") << 0;
        QTest::newRow("desktop entry") << kDesktopEntry << 0;
        for (int size : kIconSizes)
            QTest::addRow("icon %d", size) << iconPath(size) << size;
    }

    void installedFiles() {
        QFETCH(QString, path);
        QFETCH(int, iconSize);
        QVERIFY2(m_installed.contains(path), qPrintable(m_installed.join(QLatin1Char('\n'))));
        const QFileInfo info(installed(path));
        if (path.startsWith(QLatin1String("bin/"))) {
            QVERIFY(info.isExecutable());
            QFile binary(info.filePath());
            QVERIFY(binary.open(QIODevice::ReadOnly));
            QCOMPARE(binary.read(4), QByteArray("\x7f"
                                                "ELF"));
        } else {
            QVERIFY(!info.isExecutable());
        }
        if (iconSize > 0) {
            // Square at its folder's size, on a transparent background (rounded corners).
            const QImage icon(info.filePath());
            QCOMPARE(icon.size(), QSize(iconSize, iconSize));
            QVERIFY(icon.hasAlphaChannel());
            QCOMPARE(icon.pixelColor(0, 0).alpha(), 0);
            QVERIFY(icon.pixelColor(iconSize / 2, iconSize - 1 - iconSize / 8).alpha() > 0);
        }
    }

    // Only the program and what the desktop needs: no test, benchmark or stand-in binaries,
    // no static libraries or headers.
    void nothingElse() {
        QStringList expected{QStringLiteral("bin/castora"), kDesktopEntry};
        for (int size : kIconSizes)
            expected << iconPath(size);
        expected.sort();
        QCOMPARE(m_installed, expected);
    }

    void desktopEntryIsValid() {
        const QString path = installed(kDesktopEntry);
        const QString validator =
            QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validator.isEmpty()) {
            qWarning("desktop-file-validate is not installed (Debian package desktop-file-utils): "
                     "only the keys are checked");
        } else {
            QProcess validate;
            validate.setProcessChannelMode(QProcess::MergedChannels);
            validate.start(validator, {path});
            QVERIFY(validate.waitForFinished(30000));
            const QByteArray complaints = validate.readAll();
            QVERIFY2(validate.exitCode() == 0 && complaints.trimmed().isEmpty(),
                     complaints.constData());
        }
        // What a menu needs to show and start the program, pointing at what was installed.
        const QHash<QString, QString> entry = desktopEntry(path);
        QCOMPARE(entry.value(QStringLiteral("Type")), QStringLiteral("Application"));
        QCOMPARE(entry.value(QStringLiteral("Name")), QStringLiteral("Castora"));
        QCOMPARE(entry.value(QStringLiteral("Icon")), QStringLiteral(CASTORA_APP_ID));
        const QStringList binDir{m_prefix.filePath(QStringLiteral("bin"))};
        for (const QString &key : {QStringLiteral("Exec"), QStringLiteral("TryExec")}) {
            const QString program = entry.value(key).section(QLatin1Char(' '), 0, 0);
            QCOMPARE(QStandardPaths::findExecutable(program, binDir), installed("bin/castora"));
        }
        // The class of the program's X11 window (WM_CLASS "castora", "Castora") ties the window
        // to the entry.
        QCOMPARE(entry.value(QStringLiteral("StartupWMClass")), QStringLiteral("Castora"));
    }

    // The program carries its QML inside: started from the prefix, far from the build tree and
    // without import paths, it loads its main window and draws a first frame.
    void installedProgramShowsItsWindow() {
        if (!CASTORA_STARTUP_PROBE_BUILT)
            QSKIP("release build: no start-up probe to tell the first frame");
        castora::dev::DevServer backend;
        QVERIFY(backend.listen() != 0);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &name :
             {QStringLiteral("QML_IMPORT_PATH"), QStringLiteral("QML2_IMPORT_PATH"),
              QStringLiteral("QT_PLUGIN_PATH")})
            environment.remove(name);
        environment.insert(QStringLiteral("CASTORA_STARTUP_PROBE"), QStringLiteral("1"));
        environment.insert(QStringLiteral("CASTORA_BACKEND_URL"), backend.baseUrl());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(m_prefix.path());
        program.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray output;
        connect(&program, &QProcess::readyRead, this, [&] { output += program.readAll(); });
        program.start(installed(QStringLiteral("bin/castora")), {});
        QVERIFY(program.waitForStarted(10000));
        QTRY_VERIFY2_WITH_TIMEOUT(output.contains("castora startup probe: first frame") ||
                                      program.state() == QProcess::NotRunning,
                                  output.constData(), 60000);
        const bool drawn = output.contains("castora startup probe: first frame");
        program.kill();
        program.waitForFinished(10000);
        QVERIFY2(drawn, output.constData());
        QVERIFY2(!output.contains("failed to load component"), output.constData());
    }
};

CASTORA_GUI_TEST_MAIN(TestInstall)
#include "tst_install.moc"
