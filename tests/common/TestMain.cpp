#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace castora::test {

void isolateUserFolders() {
    static QTemporaryDir root(QDir::tempPath() + QStringLiteral("/castora-test-XXXXXX"));
    const QString base = root.path();
    const auto set = [&base](const char *name, const char *sub) {
        const QString dir = base + QLatin1Char('/') + QLatin1String(sub);
        QDir().mkpath(dir);
        qputenv(name, dir.toLocal8Bit());
    };
    set("HOME", "home");
    set("XDG_CONFIG_HOME", "home/.config");
    set("XDG_DATA_HOME", "home/.local/share");
    set("XDG_CACHE_HOME", "home/.cache");
    // A runtime folder already set (a PulseAudio server lives there) is kept.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        set("XDG_RUNTIME_DIR", "runtime");
        QFile::setPermissions(base + QStringLiteral("/runtime"), QFileDevice::ReadOwner |
                                                                     QFileDevice::WriteOwner |
                                                                     QFileDevice::ExeOwner);
    }
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int modeOf(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace castora::test
