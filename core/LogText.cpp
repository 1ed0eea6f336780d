#include "LogText.h"

namespace castora::logtext {

namespace {
// The first `limit` characters of `text`, never half of a surrogate pair.
QString head(const QString &text, int limit) {
    qsizetype cut = qMin<qsizetype>(limit, text.size());
    if (cut > 0 && cut < text.size() && text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut);
}
} // namespace

QString capped(const QString &text, int limit) {
    if (text.size() <= limit)
        return text;
    return head(text, limit) + QStringLiteral("... (%1 characters in all)").arg(text.size());
}

QString capped(const QByteArray &text, int limit) {
    // Only what can be shown is decoded: a reply of megabytes costs a few hundred characters.
    const qsizetype most = qsizetype(limit) * 4;
    const QString decoded = QString::fromUtf8(text.left(most));
    if (text.size() <= most && decoded.size() <= limit)
        return decoded;
    return head(decoded, limit) + QStringLiteral("... (%1 bytes in all)").arg(text.size());
}

} // namespace castora::logtext
