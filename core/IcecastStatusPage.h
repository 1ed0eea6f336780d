#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// icecast2's status page (status-json.xsl), as the program and the local tools read it.
namespace castora::icecast {

// A mount as the status page shows it: listed while a source is on it, with its listeners.
struct MountStatus {
    bool listed = false;
    int listeners = 0;
};

// `mount` (with or without the leading "/") in a status page; nothing when the page is not
// icecast2's JSON status. An empty mount is never listed.
std::optional<MountStatus> mountStatus(const QByteArray &statusJson, const QString &mount);

} // namespace castora::icecast
