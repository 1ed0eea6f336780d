#pragma once

#include "DevState.h"

#include <QByteArray>
#include <QHash>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

class QHttpServerRequest;
class QTemporaryDir;

namespace castora::dev {

class ChatServer;
class UploadStore;

// One request as the server received it.
struct RecordedRequest {
    QString method; // "GET", "POST", ...
    QString path;   // without the leading "/", percent-decoded ("api/auth/login")
    QString query;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    bool hasHeader(const QByteArray &name) const;
    QByteArray header(const QByteArray &name) const; // case-insensitive name
    QByteArray bearerToken() const;                  // what follows "Bearer " in Authorization
};

// Answer of a route: status, body (JSON or raw) and extra headers.
struct Answer {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;

    static Answer json(const QJsonObject &object, int status = 200);
    static Answer json(const QJsonDocument &document, int status = 200);
    static Answer text(const QByteArray &text, int status = 200,
                       const QByteArray &contentType = "text/plain");
    static Answer error(int status, const QString &message);
    // 302 Found to `location` (another server, for the redirect rules).
    static Answer redirect(const QString &location);
};

class DevServer : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString dataDir;          // uploads and artwork; a temporary folder when empty
        QString icecastStatusUrl; // icecast2's status-json.xsl, for listener counts
        QString publicUrl;        // how clients reach this server (artwork links)
    };

    explicit DevServer(QObject *parent = nullptr);
    DevServer(Options options, QObject *parent = nullptr);
    ~DevServer() override;

    // Listens on 127.0.0.1 (port 0: any free port). Returns the port, 0 on failure.
    quint16 listen(quint16 port = 0);
    quint16 port() const { return m_port; }
    QString baseUrl() const; // http://127.0.0.1:<port>

    DevState &state() { return *m_state; }
    // Recordings received through the upload endpoints (UploadRoutes.h).
    UploadStore &uploads() { return *m_uploads; }
    // Options::dataDir, or a temporary folder owned by the server when none was given.
    QString dataDir();
    // Chat tokens, room histories and the chat socket server (ChatServer.h).
    ChatServer &chat() { return *m_chat; }
    // Starts the chat socket server on 127.0.0.1 (port 0: any free port). Returns the
    // port, 0 on failure.
    quint16 listenChat(quint16 port = 0);

    // Requests received so far, oldest first; `path` without the leading "/".
    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(const QString &path) const;
    void clearRequests() { m_requests.clear(); }

    // Fault injection. Each applies to the next `count` requests (to `path` only, when given).
    void failNext(int count, int status = 500, const QString &path = QString());
    void malformNext(int count, const QString &path = QString()); // 200 with a non-JSON body
    void dropNext(int count, const QString &path = QString());    // close without an answer
    // Reads the request and never answers (the connection stays open): a backend that hangs.
    void hangNext(int count, const QString &path = QString());
    // `answer` instead of the route's own (a reply shape the service might send one day).
    void answerNext(int count, const Answer &answer, const QString &path = QString());
    // Drops every fault still pending: the server answers normally again.
    void clearFaults() { m_faults.clear(); }

    using Handler = std::function<Answer(const RecordedRequest &request, const QString &rest)>;
    // `pattern` is a path; one ending in "/" also takes every path below it, whose remainder
    // is handed to the handler as `rest`. The most specific route answers (exact, then the
    // longest prefix; among equals the one added last).
    void addRoute(const QString &method, const QString &pattern, Handler handler);

signals:
    void requestReceived(const castora::dev::RecordedRequest &request);

private:
    struct Fault {
        enum Kind { Status, Malformed, Drop, Hang, Scripted } kind;
        int remaining;
        int status;
        QString path;
        Answer answer; // Scripted
    };
    struct Route {
        QString method;
        QString pattern;
        Handler handler;
    };

    void handle(const QHttpServerRequest &request, QHttpServerResponder &&responder);
    bool takeFault(const QString &path, Fault &fault);
    Answer dispatch(const RecordedRequest &request);
    void installRoutes();
    void installAuthRoutes();
    void installUploadRoutes();
    void installChatRoutes();
    void installChannelRoutes();

    Options m_options;
    std::unique_ptr<DevState> m_state;
    std::unique_ptr<UploadStore> m_uploads;
    std::unique_ptr<QTemporaryDir> m_tempDataDir;
    ChatServer *m_chat = nullptr; // a child
    QHttpServer m_http;
    quint16 m_port = 0;
    QList<RecordedRequest> m_requests;
    QList<Fault> m_faults;
    QList<Route> m_routes;
};

} // namespace castora::dev

Q_DECLARE_METATYPE(castora::dev::RecordedRequest)
