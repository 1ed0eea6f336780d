#include "RecordingWriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextBoundaryFinder>

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace castora::engine {

namespace {

// What follows the base name: "_yyyyMMdd_HHmmss", a collision suffix and ".mp3".
constexpr int kStampBytes = 16;
constexpr int kSuffixBytes = 5; // "_" + up to four digits (kMaxCollisionSuffix)
constexpr int kExtensionBytes = 4;
constexpr int kMaxBaseBytes = kMaxFileNameBytes - kStampBytes - kSuffixBytes - kExtensionBytes;

bool refused(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0))
        return true; // control characters
    switch (u) {
    case '/':
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
        return true;
    default:
        return false;
    }
}

int utf8Size(QStringView text) {
    return int(text.toUtf8().size());
}

// The longest start of `name` that takes at most `maxBytes` of UTF-8 and ends between two
// characters as the reader sees them (a base letter stays with its accents, an emoji sequence
// stays whole). Only a single such character longer than the whole budget is cut inside, and
// then between code points, never inside a surrogate pair.
QString cutToBytes(const QString &name, int maxBytes) {
    if (utf8Size(name) <= maxBytes)
        return name;
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, name);
    qsizetype cut = 0;
    int bytes = 0;
    for (qsizetype next = graphemes.toNextBoundary(); next > cut;
         next = graphemes.toNextBoundary()) {
        const int size = utf8Size(QStringView(name).mid(cut, next - cut));
        if (bytes + size > maxBytes)
            break;
        bytes += size;
        cut = next;
    }
    if (cut == 0) {
        while (cut < name.size()) {
            const qsizetype step = name.at(cut).isHighSurrogate() ? 2 : 1;
            const int size = utf8Size(QStringView(name).mid(cut, step));
            if (bytes + size > maxBytes)
                break;
            bytes += size;
            cut += step;
        }
    }
    return name.left(cut);
}

} // namespace

QString recordingBaseName(const QString &title) {
    QString name;
    name.reserve(title.size());
    for (int i = 0; i < title.size(); ++i) {
        const QChar c = title.at(i);
        if (c == QLatin1Char('.') && i + 1 < title.size() && title.at(i + 1) == QLatin1Char('.')) {
            // ".." and longer runs of dots become one "_"
            while (i + 1 < title.size() && title.at(i + 1) == QLatin1Char('.'))
                ++i;
            name += QLatin1Char('_');
        } else if (c == QLatin1Char(' ') || refused(c)) {
            name += QLatin1Char('_');
        } else if (c.isHighSurrogate() && i + 1 < title.size() &&
                   title.at(i + 1).isLowSurrogate()) {
            name += c;
            name += title.at(++i);
        } else if (c.isSurrogate()) {
            name += QLatin1Char('_'); // half a pair has no UTF-8 form
        } else {
            name += c;
        }
    }
    return cutToBytes(name, kMaxBaseBytes);
}

QString recordingFileName(const QString &title, const QDateTime &start) {
    return recordingBaseName(title) + QLatin1Char('_') +
           start.toString(QStringLiteral("yyyyMMdd_HHmmss")) + QStringLiteral(".mp3");
}

bool makePrivateFolder(const QString &folder) {
    // Without a trailing "/", so that the parent is the parent.
    const QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), S_IRWXU) == 0)
        return true;
    struct stat existing {};
    if (errno != EEXIST || ::stat(name.constData(), &existing) != 0 || !S_ISDIR(existing.st_mode))
        return false;
    return (existing.st_mode & 077) == 0 || ::chmod(name.constData(), S_IRWXU) == 0;
}

QString defaultRecordingsFolder() {
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        return QStringLiteral("./");
    return base + QStringLiteral("/Castora/");
}

RecordingWriter::~RecordingWriter() {
    close();
}

namespace {
// "a/b.mp3" with suffix 2 is "a/b_2.mp3".
QString withSuffix(const QString &path, int suffix) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash + 1)
        dot = path.size();
    return path.left(dot) + QLatin1Char('_') + QString::number(suffix) + path.mid(dot);
}
} // namespace

bool RecordingWriter::open(const QString &path) {
    close();
    m_failed = false;
    m_error.clear();
    m_written = 0;
    m_writtenInPlace = 0;
    m_path = path;
    for (int suffix = 1; suffix <= kMaxCollisionSuffix; ++suffix) {
        const QString candidate = suffix == 1 ? path : withSuffix(path, suffix);
        // Readable too: what was written can be carried over to a new file when this one is
        // removed while open (moveTo()).
        m_fd = ::open(QFile::encodeName(candidate).constData(),
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (m_fd >= 0) {
            m_path = candidate;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    m_error = qt_error_string(errno);
    m_failed = true;
    return false;
}

bool RecordingWriter::write(const QByteArray &chunk) {
    if (m_fd < 0)
        return false;
    const char *data = chunk.constData();
    qsizetype left = chunk.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            m_error = qt_error_string(errno);
            m_failed = true;
            close();
            return false;
        }
        data += written;
        left -= written;
        m_written += written;
    }
    return true;
}

bool RecordingWriter::inPlace() {
    if (m_fd < 0)
        return true; // nothing open, nothing lost
    struct stat open {};
    struct stat named {};
    if (::fstat(m_fd, &open) != 0 || open.st_nlink == 0)
        return false;
    if (::stat(QFile::encodeName(m_path).constData(), &named) != 0 || named.st_dev != open.st_dev ||
        named.st_ino != open.st_ino)
        return false;
    m_writtenInPlace = m_written;
    return true;
}

bool RecordingWriter::moveTo(const QString &path) {
    const int old = m_fd;
    const qint64 from = m_writtenInPlace;
    const qint64 to = m_written;
    m_fd = -1; // open() must not close the old file: what is not carried over yet is in it
    const bool opened = open(path);
    if (old >= 0) {
        if (opened) {
            char buffer[65536];
            for (qint64 at = from; at < to;) {
                const ssize_t got =
                    ::pread(old, buffer, size_t(std::min<qint64>(sizeof buffer, to - at)), at);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0 || !write(QByteArray::fromRawData(buffer, qsizetype(got))))
                    break;
                at += got;
            }
            m_writtenInPlace = m_written;
        }
        ::close(old);
    }
    return opened && m_fd >= 0;
}

void RecordingWriter::close() {
    if (m_fd >= 0) {
        if (::close(m_fd) != 0 && !m_failed) {
            m_error = qt_error_string(errno);
            m_failed = true;
        }
        m_fd = -1;
    }
}

} // namespace castora::engine
