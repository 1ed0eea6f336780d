#include "DevServer.h"

#include "UploadRoutes.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrl>

namespace castora::dev {

bool RecordedRequest::hasHeader(const QByteArray &name) const {
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray RecordedRequest::header(const QByteArray &name) const {
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

QByteArray RecordedRequest::bearerToken() const {
    const QByteArray value = header("Authorization");
    return value.startsWith("Bearer ") ? value.mid(7) : QByteArray();
}

Answer Answer::json(const QJsonObject &object, int status) {
    return json(QJsonDocument(object), status);
}

Answer Answer::json(const QJsonDocument &document, int status) {
    Answer answer;
    answer.status = status;
    answer.body = document.toJson(QJsonDocument::Compact);
    return answer;
}

Answer Answer::text(const QByteArray &text, int status, const QByteArray &contentType) {
    Answer answer;
    answer.status = status;
    answer.body = text;
    answer.contentType = contentType;
    return answer;
}

Answer Answer::error(int status, const QString &message) {
    return json(QJsonObject{{QStringLiteral("status"), QStringLiteral("error")},
                            {QStringLiteral("message"), message}},
                status);
}

Answer Answer::redirect(const QString &location) {
    Answer answer = text(QByteArray(), 302);
    answer.headers.append({"Location", location.toUtf8()});
    return answer;
}

DevServer::DevServer(QObject *parent)
    : DevServer(Options{}, parent) {
}

DevServer::DevServer(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_state(std::make_unique<DevState>()) {
    qRegisterMetaType<castora::dev::RecordedRequest>();
    m_http.setMissingHandler(
        [this](const QHttpServerRequest &request, QHttpServerResponder &&responder) {
            handle(request, std::move(responder));
        });
    installRoutes();
}

DevServer::~DevServer() = default;

quint16 DevServer::listen(quint16 port) {
    m_port = m_http.listen(QHostAddress::LocalHost, port);
    return m_port;
}

QString DevServer::baseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QString DevServer::dataDir() {
    if (!m_options.dataDir.isEmpty())
        return m_options.dataDir;
    if (!m_tempDataDir)
        m_tempDataDir = std::make_unique<QTemporaryDir>();
    return m_tempDataDir->path();
}

QList<RecordedRequest> DevServer::requests(const QString &path) const {
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

void DevServer::failNext(int count, int status, const QString &path) {
    m_faults.append(Fault{Fault::Status, count, status, path, {}});
}

void DevServer::malformNext(int count, const QString &path) {
    m_faults.append(Fault{Fault::Malformed, count, 200, path, {}});
}

void DevServer::dropNext(int count, const QString &path) {
    m_faults.append(Fault{Fault::Drop, count, 0, path, {}});
}

void DevServer::hangNext(int count, const QString &path) {
    m_faults.append(Fault{Fault::Hang, count, 0, path, {}});
}

void DevServer::answerNext(int count, const Answer &answer, const QString &path) {
    m_faults.append(Fault{Fault::Scripted, count, answer.status, path, answer});
}

void DevServer::addRoute(const QString &method, const QString &pattern, Handler handler) {
    m_routes.append(Route{method, pattern, std::move(handler)});
}

bool DevServer::takeFault(const QString &path, Fault &fault) {
    for (int i = 0; i < m_faults.size(); ++i) {
        Fault &candidate = m_faults[i];
        if (!candidate.path.isEmpty() && candidate.path != path)
            continue;
        fault = candidate;
        if (--candidate.remaining <= 0)
            m_faults.removeAt(i);
        return true;
    }
    return false;
}

static QString methodName(QHttpServerRequest::Method method) {
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return QStringLiteral("GET");
    case QHttpServerRequest::Method::Put:
        return QStringLiteral("PUT");
    case QHttpServerRequest::Method::Delete:
        return QStringLiteral("DELETE");
    case QHttpServerRequest::Method::Post:
        return QStringLiteral("POST");
    case QHttpServerRequest::Method::Head:
        return QStringLiteral("HEAD");
    case QHttpServerRequest::Method::Options:
        return QStringLiteral("OPTIONS");
    case QHttpServerRequest::Method::Patch:
        return QStringLiteral("PATCH");
    default:
        return QStringLiteral("OTHER");
    }
}

void DevServer::handle(const QHttpServerRequest &request, QHttpServerResponder &&responder) {
    RecordedRequest recorded;
    recorded.method = methodName(request.method());
    recorded.path = request.url().path(QUrl::FullyDecoded);
    if (recorded.path.startsWith(QLatin1Char('/')))
        recorded.path.remove(0, 1);
    recorded.query = request.url().query(QUrl::FullyDecoded);
    recorded.headers = request.headers();
    recorded.body = request.body();
    m_requests.append(recorded);
    emit requestReceived(recorded);

    Answer answer;
    Fault fault{};
    if (takeFault(recorded.path, fault)) {
        switch (fault.kind) {
        case Fault::Drop:
            if (QTcpSocket *socket = responder.socket())
                socket->abort();
            return;
        case Fault::Hang:
            return; // the responder goes without a word; the connection stays open
        case Fault::Malformed:
            answer = Answer::text("<html><body>502 Bad Gateway</body>", 200, "application/json");
            break;
        case Fault::Status:
            answer = Answer::error(fault.status, QStringLiteral("Injected failure"));
            break;
        case Fault::Scripted:
            answer = fault.answer;
            break;
        }
    } else {
        answer = dispatch(recorded);
    }

    QHttpServerResponse response(answer.contentType, answer.body,
                                 QHttpServerResponse::StatusCode(answer.status));
    for (const auto &header : std::as_const(answer.headers))
        response.addHeader(header.first, header.second);
    response.write(std::move(responder));
}

Answer DevServer::dispatch(const RecordedRequest &request) {
    // The most specific route answers: an exact path before any prefix, a longer prefix before
    // a shorter one, and among equals the one added last (so a test can answer one path of a
    // prefix route, "api/comment/<room>", in its own way).
    bool pathKnown = false;
    const Route *best = nullptr;
    qsizetype bestRank = -1;
    for (const Route &route : std::as_const(m_routes)) {
        const bool prefix = route.pattern.endsWith(QLatin1Char('/'));
        if (prefix ? !request.path.startsWith(route.pattern) : request.path != route.pattern)
            continue;
        pathKnown = true;
        const qsizetype rank = prefix ? route.pattern.size() : request.path.size() + 1;
        if (route.method == request.method && rank >= bestRank) {
            best = &route;
            bestRank = rank;
        }
    }
    if (best) {
        const bool prefix = best->pattern.endsWith(QLatin1Char('/'));
        return best->handler(request, prefix ? request.path.mid(best->pattern.size()) : QString());
    }
    return pathKnown ? Answer::error(405, QStringLiteral("Method not allowed"))
                     : Answer::error(404, QStringLiteral("Not found"));
}

void DevServer::installRoutes() {
    addRoute(QStringLiteral("GET"), QStringLiteral("probe"),
             [](const RecordedRequest &, const QString &) { return Answer::text("ok"); });
    installAuthRoutes();
    installUploadRoutes();
    installChatRoutes();
    installChannelRoutes();
}

} // namespace castora::dev
