#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

namespace castora::dev {

// A parameter of a header value such as `form-data; name="file"; filename="a b.mp3"` or
// `multipart/form-data; boundary=xyz`: quoted strings are unescaped, the name is matched
// case-insensitively. `found` tells an empty value from a missing one.
QByteArray headerParameter(const QByteArray &headerValue, const QByteArray &name,
                           bool *found = nullptr);

// One part of a multipart/form-data body.
struct MultipartPart {
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray name;     // Content-Disposition name
    QByteArray fileName; // Content-Disposition filename (UTF-8), when hasFileName
    bool hasFileName = false;
    QByteArray body;

    QByteArray header(const QByteArray &headerName) const; // case-insensitive
};

// A multipart body split into its parts (RFC 2046 framing, CRLF or bare LF line ends).
class MultipartBody {
public:
    // Invalid when the Content-Type has no boundary or the body is not framed by it.
    static MultipartBody parse(const QByteArray &contentType, const QByteArray &body);

    bool isValid() const { return m_valid; }
    const QList<MultipartPart> &parts() const { return m_parts; }
    // The first part with this name, or nullptr.
    const MultipartPart *part(const QByteArray &name) const;
    bool hasField(const QByteArray &name) const { return part(name) != nullptr; }
    QByteArray field(const QByteArray &name) const;

private:
    bool m_valid = false;
    QList<MultipartPart> m_parts;
};

} // namespace castora::dev
