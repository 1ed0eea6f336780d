// The chat list: room history from the stand-in backend, live and own messages, the model.
#include "ChatController.h"
#include "ChatServer.h"
#include "DevServer.h"
#include "MessageModel.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSignalSpy>

#include <ctime>
#include <memory>

using namespace castora;
using castora::dev::Answer;
using castora::dev::RecordedRequest;
using castora::test::row;

class TestChatController : public QObject {
    Q_OBJECT

    std::unique_ptr<dev::DevServer> m_server;
    std::unique_ptr<ChatController> m_chat;
    std::unique_ptr<QAbstractItemModelTester> m_tester;

    // The room answers `body` as it is.
    void serve(const QString &room, const QByteArray &body) {
        m_server->addRoute("GET", "api/comment/" + room,
                           [body](const RecordedRequest &, const QString &) {
                               return Answer::text(body, 200, "application/json");
                           });
    }

    bool fetch(const QString &room) {
        QSignalSpy done(m_chat.get(), &ChatController::historyFetched);
        m_chat->fetchMessages(room);
        return done.wait() && done.size() == 1;
    }

    // "id|sender|text|createdAt" per row, read through the role names.
    QStringList rows() const {
        QStringList result;
        const QHash<int, QByteArray> roles = m_chat->roleNames();
        for (int row = 0; row < m_chat->rowCount(); ++row) {
            QStringList fields;
            for (const char *role : {"id", "sender", "messageText", "createdAt"})
                fields << m_chat->index(row).data(roles.key(role)).toString();
            result << fields.join('|');
        }
        return result;
    }

private slots:
    // Times are shown in the local zone (POSIX TZ "CET-1": an hour ahead of UTC), in English
    // whatever the system's language ("Mär" must not show).
    void init() {
        qputenv("TZ", "CET-1");
        tzset();
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        m_server = std::make_unique<dev::DevServer>();
        QVERIFY(m_server->listen() != 0);
        m_chat = std::make_unique<ChatController>(ServiceConfig::local(m_server->port()));
        m_tester = std::make_unique<QAbstractItemModelTester>(
            m_chat.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    void cleanup() {
        m_tester.reset();
        m_chat.reset();
        m_server.reset();
    }

    void fetchHistory_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QString>("log");
        const QByteArray list = R"([
            {"id": 1, "sender": "ann", "content": "hi", "created_at": "2024-03-05T15:07:00Z"},
            {"id": 2, "sender": "bob", "content": "", "created_at": "2024-03-05T15:08:00Z"},
            {"id": 3, "sender": "", "content": "who?"},
            {"id": 4, "sender": "cy", "content": "yo"},
            {"sender": "dee", "content": "odd", "created_at": "last week"},
            {"id": 6, "sender": "eve", "content": "ms", "created_at": "2024-03-05T15:10:00.500Z"},
            {"id": 7, "sender": "fay", "content": "tz", "created_at": "2024-12-31T23:30:00-01:00"}])";
        const QStringList shown{"1|ann|hi|Mar 5, 4:07 PM", "4|cy|yo|now", "0|dee|odd|last week",
                                "6|eve|ms|Mar 5, 4:10 PM", "7|fay|tz|Jan 1, 1:30 AM"};
        const QString seven("Fetched 7 chat messages"), none("Fetched 0 chat messages");
        const QString failed("Failed to fetch chat messages:");
        row("data array", "{\"data\":" + list + "}", "", shown, seven);
        row("top-level array", list, "", shown, seven);
        row("data not a list", QByteArray(R"({"data":{"id":1}})"), "", QStringList(), none);
        row("malformed body", QByteArray(), "malformed", QStringList(), none);
        row("server error", QByteArray(), "500", QStringList(), failed);
        row("connection dropped", QByteArray(), "drop", QStringList(), failed);

        // More than the list holds: the newest stay (the live one leaves first), each cut to
        // its limit in characters, an emoji counting as one.
        QJsonArray many;
        QStringList newest;
        for (int id = 1; id <= 600; ++id) {
            const QString sender = id == 599 ? QString(150, 'n') : QString("s");
            const QString text =
                id == 600 ? QString("😀").repeated(2500) : 'm' + QString::number(id);
            many.append(QJsonObject{{"id", id}, {"sender", sender}, {"content", text}});
            newest << QString::number(id) + '|' + (id == 599 ? QString(100, 'n') + "..." : sender) +
                          '|' + (id == 600 ? QString("😀").repeated(2000) + "..." : text) + "|now";
        }
        row("more than the list holds", QJsonDocument(many).toJson(), "", newest,
            QString("Fetched 600 chat messages"));
    }

    void fetchHistory() {
        QFETCH(QByteArray, body);
        QFETCH(QString, fault);
        QFETCH(QStringList, added);
        QFETCH(QString, log);
        const QString path("api/comment/my-show");
        serve("my-show", body);
        if (fault == "500")
            m_server->failNext(1, 500, path);
        else if (fault == "drop")
            m_server->dropNext(3, path); // Qt resends a GET once on a dropped connection
        else if (fault == "malformed")
            m_server->malformNext(1, path);
        m_chat->addMessage(2, "live", "kept");

        QTest::ignoreMessage(QtInfoMsg, QRegularExpression('^' + log));
        if (fault == "malformed" || (fault.isEmpty() && !body.contains('[')))
            QTest::ignoreMessage(QtWarningMsg, "Chat history reply holds no message list");
        QVERIFY(fetch("my-show"));
        const QStringList all = QStringList{"2|live|kept|now"} + added;
        QCOMPARE(rows(), all.mid(qMax(0, all.size() - ChatController::kMaxMessages)));
        QCOMPARE(m_chat->findChildren<MessageModel *>().size(), m_chat->rowCount());
        const RecordedRequest request = m_server->requests(path).value(0);
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void repeatedFetchShowsEachMessageOnce() {
        dev::ChatServer &rooms = m_server->chat();
        rooms.post("castora-demo", "ann", "first");
        rooms.post("castora-demo", "bob", "second");
        QVERIFY(fetch("castora-demo"));
        // Live and own messages carry made-up ids, equal ones included: never compared.
        m_chat->addMessage(2, "cy", "live");
        m_chat->addMessage(2, "cy", "live again");
        rooms.post("castora-demo", "dee", "third");
        QTest::ignoreMessage(QtInfoMsg, "Skipped 2 chat messages already shown");
        QTest::ignoreMessage(QtInfoMsg, "Fetched 3 chat messages");
        QVERIFY(fetch("castora-demo"));
        QStringList texts;
        for (int row = 0; row < m_chat->rowCount(); ++row)
            texts << m_chat->message(row)->messageText();
        QCOMPARE(texts, (QStringList{"first", "second", "live", "live again", "third"}));

        // Ids belong to a room; messages without an id cannot be told apart and come again.
        serve(
            "other",
            R"([{"id": 1, "sender": "x", "content": "one"}, {"sender": "y", "content": "no id"}])");
        QVERIFY(fetch("other"));
        QVERIFY(fetch("other"));
        QCOMPARE(m_chat->rowCount(), 5 + 2 + 1);

        // Signed out, with a history still on its way: the list and the memory of ids go, so
        // the next account sees the room whole, once.
        m_chat->fetchMessages("castora-demo");
        m_chat->resetAccount();
        QCOMPARE(m_chat->rowCount(), 0);
        QVERIFY(fetch("castora-demo"));
        QTRY_COMPARE(m_server->requests("api/comment/castora-demo").size(), 4);
        QCOMPARE(m_chat->rowCount(), 3);
    }
};

CASTORA_TEST_MAIN(TestChatController)
#include "tst_chatcontroller.moc"
