#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace castora::settings {

namespace {
const QString kAuth = QStringLiteral("auth");
const QString kDismissCount = QStringLiteral("update/dismissCount");
const QString kPendingVersion = QStringLiteral("update/pendingVersion");
const QString kVoiceProcessing = QStringLiteral("voice/processing");

// `path` no more open than `mode` (its owner's bits): a file or folder made by an earlier
// version, or under another umask, may be readable by others.
void tighten(const QByteArray &path, mode_t mode) {
    struct stat info {};
    if (::stat(path.constData(), &info) == 0 && (info.st_mode & 07777 & ~mode) != 0)
        ::chmod(path.constData(), mode);
}

QSettings store() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Castora"),
                     QStringLiteral("mic"));
}

// Whoever reads the store finds it private, also in a run that writes nothing to it (a saved
// session signed in again).
QVariant read(const QString &key, const QVariant &fallback) {
    QSettings settings = store();
    const QString file = settings.fileName();
    tighten(QFile::encodeName(QFileInfo(file).absolutePath()), S_IRWXU);
    tighten(QFile::encodeName(file), S_IRUSR | S_IWUSR);
    return settings.value(key, fallback);
}

// The store holds the bearer token: its folder is the user's alone (0700) and so is the file
// (0600), whatever the umask. QSettings saves through a temporary file that takes over the
// permissions of the file it replaces, so the file is made private before the first save.
void makePrivate(const QString &file) {
    const QByteArray folder = QFile::encodeName(QFileInfo(file).absolutePath());
    QDir().mkpath(QFileInfo(file).absolutePath());
    ::chmod(folder.constData(), S_IRWXU);
    const QByteArray name = QFile::encodeName(file);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0)
        ::close(fd);
    ::chmod(name.constData(), S_IRUSR | S_IWUSR);
}

void write(const QString &key, const QVariant &value) {
    QSettings settings = store();
    makePrivate(settings.fileName());
    if (value.isValid())
        settings.setValue(key, value);
    else
        settings.remove(key);
}
} // namespace

QString token() {
    return read(kAuth, QString()).toString();
}

void setToken(const QString &token) {
    write(kAuth, token);
}

void clearToken() {
    write(kAuth, QVariant());
}

int dismissCount() {
    return read(kDismissCount, 0).toInt();
}

void setDismissCount(int count) {
    write(kDismissCount, count);
}

QString pendingVersion() {
    return read(kPendingVersion, QString()).toString();
}

void setPendingVersion(const QString &version) {
    write(kPendingVersion, version);
}

bool voiceProcessing() {
    return read(kVoiceProcessing, false).toBool();
}

void setVoiceProcessing(bool on) {
    write(kVoiceProcessing, on);
}

} // namespace castora::settings
