#pragma once

#include <QByteArray>
#include <QString>

// Text that others wrote (chat messages, release notes, a server's reply bodies) as it goes
// into the log: cut, so that nobody can fill the log or hide a line in it with a long text.
namespace castora::logtext {

inline constexpr int kMaxChars = 300;

// `text` when it has at most `limit` characters, else its first `limit` followed by
// "... (N characters in all)". Line breaks are kept; the debug stream quotes and escapes them.
QString capped(const QString &text, int limit = kMaxChars);
// The same for bytes, read as UTF-8 ("... (N bytes in all)").
QString capped(const QByteArray &text, int limit = kMaxChars);

} // namespace castora::logtext
