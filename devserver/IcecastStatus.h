#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace castora::dev {

// Listener counts as icecast2 reports them on its status page (status-json.xsl).
class IcecastStatus {
public:
    // Reads the status page at `statusUrl` (plain HTTP) and counts the listeners of `mount`;
    // nothing when the server cannot be reached or does not answer within `timeoutMs`. Blocks:
    // the page is small and icecast2 runs beside the stand-in on the same machine.
    static std::optional<int> fetchListeners(const QUrl &statusUrl, const QString &mount,
                                             int timeoutMs = 2000);
};

} // namespace castora::dev
