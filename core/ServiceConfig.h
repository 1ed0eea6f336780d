#pragma once

#include <QString>
#include <QUrl>

namespace castora {

// Where the program finds the service: backend, chat socket server, Icecast and the
// connectivity probe. Production code takes ServiceConfig::fromBuild(); tests build one that
// points at servers they started on free ports.
struct ServiceConfig {
    QString backendUrl; // scheme://host[:port], no trailing slash
    QString chatUrl;    // ws(s)://host[:port]/path
    QString icecastHost;
    quint16 icecastPort = 8000;
    // The source credential, a build secret, and whether it goes over TLS (RFC 2818, the
    // server's certificate checked against the system's CA store).
    QString icecastUser;
    QString icecastPassword;
    bool icecastTls = false;
    QString probeUrl;
    QString websiteUrl; // sign-up, forgotten password and listen links

    // base URL + "/" + path, path beginning with "api/", read with QUrl's tolerant parsing.
    QUrl endpoint(const QString &path) const;
    // base URL + "/" + prefix + one path segment from the backend (a mount point, a slug),
    // percent-encoded so that "/", "?", "#" and "%" in it stay inside that segment. A segment
    // that is only "." or ".." cannot be addressed at all (it would name another path): the
    // result is then an invalid URL, on which every request fails.
    QUrl endpoint(const QString &prefix, const QString &segment) const;
    // base URL + "/api/" + relative ("auth/login")
    QUrl apiUrl(const QString &relative) const;

    // Whether artwork at `url` (an address from a backend reply) may be fetched: https only,
    // and in a development build whose backend is plain http also that backend's own origin
    // (the stand-in serves its artwork itself). Anything else (file:, qrc:, http: elsewhere)
    // would read local files or tell a third party the user's address.
    bool allowsArtwork(const QUrl &url) const;

    // The compiled-in addresses and credential; in development builds each can be overridden
    // by the environment variable of the same name as its CMake option (CASTORA_BACKEND_URL,
    // CASTORA_ICECAST_TLS, ...).
    static ServiceConfig fromBuild();
    // Loopback addresses for a stand-in backend on `backendPort`, plain transport to Icecast
    // with the compiled-in credential (which the local stack's icecast2 takes).
    static ServiceConfig local(quint16 backendPort, quint16 chatPort = 0, quint16 icecastPort = 0);
};

// The program's own version.
inline constexpr const char *kAppVersion = "1.0.0";

} // namespace castora
