#include "Multipart.h"

namespace castora::dev {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

// Splits `value` at `;` outside quoted strings.
QList<QByteArray> splitParameters(const QByteArray &value) {
    QList<QByteArray> pieces;
    QByteArray current;
    bool quoted = false;
    for (int i = 0; i < value.size(); ++i) {
        const char c = value.at(i);
        if (quoted && c == '\\' && i + 1 < value.size()) {
            current += c;
            current += value.at(++i);
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            pieces.append(current.trimmed());
            current.clear();
            continue;
        }
        current += c;
    }
    pieces.append(current.trimmed());
    return pieces;
}

QByteArray unquote(const QByteArray &value) {
    if (value.size() < 2 || !value.startsWith('"') || !value.endsWith('"'))
        return value;
    QByteArray plain;
    for (int i = 1; i < value.size() - 1; ++i) {
        char c = value.at(i);
        if (c == '\\' && i + 1 < value.size() - 1)
            c = value.at(++i);
        plain += c;
    }
    return plain;
}

// Line end at `pos`: 2 for CRLF, 1 for LF, 0 for none.
int lineEnd(const QByteArray &data, qsizetype pos) {
    if (data.mid(pos, 2) == "\r\n")
        return 2;
    if (pos < data.size() && data.at(pos) == '\n')
        return 1;
    return 0;
}

} // namespace

QByteArray headerParameter(const QByteArray &headerValue, const QByteArray &name, bool *found) {
    const QList<QByteArray> pieces = splitParameters(headerValue);
    for (qsizetype i = 1; i < pieces.size(); ++i) {
        const QByteArray &piece = pieces.at(i);
        const qsizetype eq = piece.indexOf('=');
        if (eq <= 0)
            continue;
        if (piece.left(eq).trimmed().compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (found)
            *found = true;
        return unquote(piece.mid(eq + 1).trimmed());
    }
    if (found)
        *found = false;
    return QByteArray();
}

QByteArray MultipartPart::header(const QByteArray &headerName) const {
    for (const auto &h : headers) {
        if (h.first.compare(headerName, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

MultipartBody MultipartBody::parse(const QByteArray &contentType, const QByteArray &body) {
    MultipartBody result;
    if (!contentType.trimmed().toLower().startsWith("multipart/"))
        return result;
    const QByteArray boundary = headerParameter(contentType, "boundary");
    if (boundary.isEmpty() || boundary.size() > 200)
        return result;
    const QByteArray delimiter = "--" + boundary;

    // The first delimiter opens the body or follows the preamble on a line of its own.
    qsizetype pos = body.startsWith(delimiter) ? 0 : body.indexOf("\n" + delimiter);
    if (pos < 0)
        return result;
    if (pos > 0)
        pos += 1;

    for (;;) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--") {
            result.m_valid = true; // closing delimiter; the epilogue is ignored
            return result;
        }
        while (pos < body.size() && isSpace(body.at(pos)))
            ++pos;
        const int eol = lineEnd(body, pos);
        if (eol == 0)
            return result;
        pos += eol;

        // The part ends at the line end that precedes the next delimiter.
        const qsizetype next = body.indexOf("\n" + delimiter, pos);
        if (next < 0)
            return result;
        qsizetype partEnd = next;
        if (partEnd > pos && body.at(partEnd - 1) == '\r')
            --partEnd;
        const QByteArray part = body.mid(pos, partEnd - pos);

        MultipartPart parsed;
        qsizetype cursor = 0;
        for (;;) {
            const int blank = lineEnd(part, cursor);
            if (blank > 0) {
                cursor += blank;
                break;
            }
            const qsizetype newline = part.indexOf('\n', cursor);
            if (newline < 0)
                return result; // headers never end
            QByteArray line = part.mid(cursor, newline - cursor);
            if (line.endsWith('\r'))
                line.chop(1);
            cursor = newline + 1;
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                return result;
            parsed.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        parsed.body = part.mid(cursor);
        const QByteArray disposition = parsed.header("Content-Disposition");
        parsed.name = headerParameter(disposition, "name");
        parsed.fileName = headerParameter(disposition, "filename", &parsed.hasFileName);
        result.m_parts.append(parsed);

        pos = next + 1;
    }
}

const MultipartPart *MultipartBody::part(const QByteArray &name) const {
    for (const MultipartPart &p : m_parts) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

QByteArray MultipartBody::field(const QByteArray &name) const {
    const MultipartPart *p = part(name);
    return p ? p->body : QByteArray();
}

} // namespace castora::dev
