#include "RecordingWriter.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace castora::engine {

namespace {

constexpr int kMaxBaseLength = 120; // characters; leaves room for the time stamp and UTF-8

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
        } else if (c.isHighSurrogate() && i + 1 < title.size()) {
            name += c;
            name += title.at(++i);
        } else {
            name += c;
        }
    }
    if (name.size() > kMaxBaseLength) {
        int cut = kMaxBaseLength;
        if (name.at(cut - 1).isHighSurrogate())
            --cut;
        name.truncate(cut);
    }
    return name;
}

QString recordingFileName(const QString &title, const QDateTime &start) {
    return recordingBaseName(title) + QLatin1Char('_') +
           start.toString(QStringLiteral("yyyyMMdd_HHmmss")) + QStringLiteral(".mp3");
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

bool RecordingWriter::open(const QString &path, bool *created) {
    close();
    m_failed = false;
    m_error.clear();
    m_written = 0;
    m_path = path;
    const QByteArray name = QFile::encodeName(path);
    const bool existed = ::access(name.constData(), F_OK) == 0;
    m_fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        m_error = qt_error_string(errno);
        m_failed = true;
        return false;
    }
    if (created)
        *created = !existed;
    return true;
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
