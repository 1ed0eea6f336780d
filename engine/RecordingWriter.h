#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace castora::engine {

// The name a recording is listed under: the stream title with blanks turned into "_" and
// every character that would leave the recordings folder or that file systems refuse ("/",
// "\", "..", ":", control characters, and * ? " < > | which Windows refuses) replaced by "_".
// Long titles are cut, between two characters as the reader sees them, so that the whole file
// name (time stamp, ".mp3" and a collision suffix included) stays within kMaxFileNameBytes of
// UTF-8, the limit of Linux file systems.
QString recordingBaseName(const QString &title);
// base name + "_" + start time as yyyyMMdd_HHmmss + ".mp3"
QString recordingFileName(const QString &title, const QDateTime &start);
// A file name's length limit in bytes, and the largest collision suffix kept room for ("_9999").
constexpr int kMaxFileNameBytes = 255;
constexpr int kMaxCollisionSuffix = 9999;
// The per-user local data folder followed by "Castora/" ("./" when there is none). The
// program makes it private (makePrivateFolder) at its start, and each broadcast before it
// writes there.
QString defaultRecordingsFolder();
// Creates `folder` (and its missing parents) for recordings: the folder itself is its user's
// alone (0700) from the moment it exists, whatever the umask, and an existing one that is
// more open is tightened. Its parents are made as usual.
bool makePrivateFolder(const QString &folder);

// Writes a broadcast's MP3 chunks to a file of its own. Every chunk goes straight to the operating
// system (no user-space buffer), so a crash loses at most the chunk being written. The first
// failed write (disk full) closes the file; later writes are refused.
//
// A file removed while it is written (alone or with its folder) takes every later write with it
// without a word from the system. So the writer looks now and then whether its file is still
// the one at its path, and can move on to a new file, carrying over what went into the old one
// since it was last seen in place.
//
// Used by one thread at a time: opened by the start job, written by the record thread, closed
// by the stop job after the record thread has ended.
class RecordingWriter {
public:
    RecordingWriter() = default;
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter &) = delete;
    RecordingWriter &operator=(const RecordingWriter &) = delete;

    // Creates a new file at `path`, never opening one that exists: when the name is taken (two
    // starts with the same title in the same second) "_2", "_3", ... go before the extension.
    // path() is the name actually used. The file is created readable by its user only (0600).
    bool open(const QString &path);
    bool write(const QByteArray &chunk);
    void close();

    // Whether the open file is still the one at path(): not unlinked, and the path names this
    // very file. Remembers how much had been written when it was.
    bool inPlace();
    // Opens a new file at `path` (as open() does) and writes into it what went into the current
    // file after it was last found in place; the current file is closed. On failure nothing is
    // open and errorText() says why.
    bool moveTo(const QString &path);

    bool isOpen() const { return m_fd >= 0; }
    bool failed() const { return m_failed; }
    QString path() const { return m_path; }
    QString errorText() const { return m_error; }
    qint64 bytesWritten() const { return m_written; }

private:
    int m_fd = -1;
    bool m_failed = false;
    QString m_path;
    QString m_error;
    qint64 m_written = 0;
    qint64 m_writtenInPlace = 0; // m_written when the file was last found in place
};

} // namespace castora::engine
