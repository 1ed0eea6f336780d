#include "StandInBackend.h"

#include "SettingsStore.h"

namespace castora::test {

bool StandInBackend::start(const dev::DevServer::Options &options) {
    m_client.reset();
    m_server = std::make_unique<dev::DevServer>(options);
    m_elsewhere = std::make_unique<dev::DevServer>();
    m_port = m_server->listen();
    m_client = std::make_unique<NetworkClient>(config());
    settings::clearToken();
    return m_port != 0 && m_elsewhere->listen() != 0;
}

QString StandInBackend::signIn() {
    const QString token = m_server->state().issueToken(dev::DevState::kDemoEmail);
    settings::setToken(token);
    return token;
}

void StandInBackend::fail(const QString &fault, const QString &path) {
    const QString kind = fault.section(' ', 0, 0);
    const int status = fault.section(' ', 1, 1).toInt();
    if (kind == QLatin1String("status"))
        m_server->failNext(1, status, path);
    else if (kind == QLatin1String("answer"))
        m_server->answerNext(1, dev::Answer::text(fault.section(' ', 2).toUtf8(), status), path);
    else if (kind == QLatin1String("drop"))
        m_server->dropNext(2, path);
    else if (kind == QLatin1String("hang"))
        m_server->hangNext(1, path);
    else if (kind == QLatin1String("malformed"))
        m_server->malformNext(1, path);
    else if (kind == QLatin1String("redirect"))
        m_server->answerNext(1, dev::Answer::redirect(m_elsewhere->baseUrl() + '/' + path), path);
    else if (!fault.isEmpty())
        qFatal("Unknown backend fault: %s", qPrintable(fault));
}

} // namespace castora::test
