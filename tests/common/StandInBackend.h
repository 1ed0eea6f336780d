#pragma once

#include "DevServer.h"
#include "NetworkClient.h"
#include "ServiceConfig.h"

#include <QString>

#include <memory>

namespace castora::test {

// The stand-in backend of a test: a dev::DevServer with fresh state on a free port of
// 127.0.0.1, the addresses that lead to it and a NetworkClient for them. start() begins every
// test afresh, without a saved session; the server goes with stop() or the fixture.
class StandInBackend {
public:
    StandInBackend() = default;
    StandInBackend(const StandInBackend &) = delete;
    StandInBackend &operator=(const StandInBackend &) = delete;

    // A new server listening (`options` as dev::DevServer takes them) and another origin, a
    // new client, and no token stored; false when no port was free.
    bool start(const dev::DevServer::Options &options = {});
    // Nothing listens on the port any more: connections are refused. config() and client()
    // still lead there.
    void stop() { m_server.reset(); }
    bool isRunning() const { return bool(m_server); }

    dev::DevServer &server() { return *m_server; }
    dev::DevServer *operator->() const { return m_server.get(); }
    // The backend's address; the chat server's and icecast2's ports where given.
    ServiceConfig config(quint16 chatPort = 0, quint16 icecastPort = 0) const {
        return ServiceConfig::local(m_port, chatPort, icecastPort);
    }
    NetworkClient &client() { return *m_client; }

    // A token of the demo account that the backend takes, stored as the program's saved
    // session; returns it.
    QString signIn();

    // The next request to `path` (any path when empty) fails as `fault` says: "status N" (the
    // status with an error body), "answer N BODY" (that status and body), "drop" (closed
    // unanswered, and Qt's one resend with it), "hang" (read and never answered), "malformed"
    // (200 with a body that is not JSON) or "redirect" (302 to `path` on elsewhere()). Empty:
    // no fault.
    void fail(const QString &fault, const QString &path = QString());

    // The same service on another port: another origin, which must never see the token.
    dev::DevServer &elsewhere() { return *m_elsewhere; }

private:
    // The client goes first: its replies before the servers they talk to.
    std::unique_ptr<dev::DevServer> m_server;
    std::unique_ptr<dev::DevServer> m_elsewhere;
    std::unique_ptr<NetworkClient> m_client;
    quint16 m_port = 0;
};

} // namespace castora::test
