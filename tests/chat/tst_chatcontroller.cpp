// The chat list: room history from the stand-in backend, live and own messages, the model.
#include "ChatController.h"
#include "ChatServer.h"
#include "DevServer.h"
#include "MessageModel.h"
#include "TestMain.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>

#include <ctime>
#include <memory>

using namespace castora;
using castora::dev::Answer;
using castora::dev::DevServer;
using castora::dev::RecordedRequest;

class TestChatController : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevServer> m_server;
    std::unique_ptr<ChatController> m_chat;
    std::unique_ptr<QAbstractItemModelTester> m_tester;

    // The room `room` answers `body` as it is.
    void serve(const QString &room, const QByteArray &body) {
        m_server->addRoute(QStringLiteral("GET"), QStringLiteral("api/comment/") + room,
                           [body](const RecordedRequest &, const QString &) {
                               return Answer::text(body, 200, "application/json");
                           });
    }

    bool fetch(const QString &room) {
        QSignalSpy done(m_chat.get(), &ChatController::historyFetched);
        m_chat->fetchMessages(room);
        return done.wait() && done.size() == 1;
    }

    // "id|sender|text|createdAt" per row, through the model's roles.
    QStringList rows() const {
        QStringList result;
        const QHash<int, QByteArray> roles = m_chat->roleNames();
        for (int row = 0; row < m_chat->rowCount(); ++row) {
            const QModelIndex index = m_chat->index(row);
            QStringList fields;
            for (const char *role : {"id", "sender", "messageText", "createdAt"})
                fields << index.data(roles.key(role)).toString();
            result << fields.join(QLatin1Char('|'));
        }
        return result;
    }

private slots:
    void initTestCase() {
        qputenv("TZ", "CET-1");
        tzset();
    }

    void init() {
        m_server = std::make_unique<DevServer>();
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

    void roles() {
        const QHash<int, QByteArray> expected{
            {257, "sender"}, {258, "messageText"}, {259, "id"}, {260, "createdAt"}};
        QCOMPARE(m_chat->roleNames(), expected);
        m_chat->addMessage(5, QStringLiteral("ann"), QStringLiteral("hi"));
        QVERIFY(!m_chat->data(m_chat->index(0), 261).isValid());
        QVERIFY(!m_chat->data(m_chat->index(1), 257).isValid());
        QVERIFY(!m_chat->data(QModelIndex(), 257).isValid());
        QCOMPARE(m_chat->data(m_chat->index(0), 259).typeId(), QMetaType::Int);
        QCOMPARE(m_chat->message(0)->parent(), m_chat.get());
    }

    void addMessage_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("createdAt"); // "-": left out
        QTest::addColumn<QString>("row");
        QTest::newRow("live message, no time") << 2 << "ann"
                                               << "hello"
                                               << "-"
                                               << "2|ann|hello|now";
        QTest::newRow("empty text is added") << 2 << "bob"
                                             << ""
                                             << "-"
                                             << "2|bob||now";
        QTest::newRow("own message, wrapped id")
            << int(1733500000123LL) << "my-show"
            << "hi all"
            << "" << QStringLiteral("%1|my-show|hi all|now").arg(int(1733500000123LL));
        QTest::newRow("time given") << 9 << "cy"
                                    << "yo"
                                    << "Mar 5, 4:07 PM"
                                    << "9|cy|yo|Mar 5, 4:07 PM";
    }

    void addMessage() {
        QFETCH(int, id);
        QFETCH(QString, sender);
        QFETCH(QString, text);
        QFETCH(QString, createdAt);
        QFETCH(QString, row);
        m_chat->addMessage(1, QStringLiteral("first"), QStringLiteral("already there"));
        QSignalSpy inserted(m_chat.get(), &QAbstractItemModel::rowsInserted);
        if (createdAt == QLatin1String("-"))
            QMetaObject::invokeMethod(m_chat.get(), "addMessage", Q_ARG(int, id),
                                      Q_ARG(QString, sender), Q_ARG(QString, text));
        else
            m_chat->addMessage(id, sender, text, createdAt);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(inserted.at(0).at(1).toInt(), 1);
        QCOMPARE(rows(), (QStringList{QStringLiteral("1|first|already there|now"), row}));
    }

    void fetchHistory_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("fault"); // "", "500", "drop", "malformed"
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QString>("log");
        const QByteArray elements = R"([
            {"id": 1, "sender": "ann", "content": "hi", "created_at": "2024-03-05T15:07:00Z"},
            {"id": 2, "sender": "bob", "content": "", "created_at": "2024-03-05T15:08:00Z"},
            {"id": 3, "sender": "", "content": "who?", "created_at": "2024-03-05T15:09:00Z"},
            {"id": 4, "sender": "cy", "content": "yo"},
            {"sender": "dee", "content": "odd time", "created_at": "last week"},
            {"id": 6, "sender": "eve", "content": "ms", "created_at": "2024-03-05T15:10:00.500Z"}
        ])";
        const QStringList shown{
            QStringLiteral("1|ann|hi|Mar 5, 4:07 PM"), QStringLiteral("4|cy|yo|now"),
            QStringLiteral("0|dee|odd time|last week"), QStringLiteral("6|eve|ms|Mar 5, 4:10 PM")};
        QTest::newRow("data array") << QByteArray("{\"data\":" + elements + "}") << "" << shown
                                    << "Fetched 6 chat messages";
        QTest::newRow("top-level array") << elements << "" << shown << "Fetched 6 chat messages";
        QTest::newRow("empty list")
            << QByteArray(R"({"data":[]})") << "" << QStringList() << "Fetched 0 chat messages";
        QTest::newRow("data is not a list") << QByteArray(R"({"data":{"id":1}})") << ""
                                            << QStringList() << "Fetched 0 chat messages";
        QTest::newRow("malformed body")
            << QByteArray() << "malformed" << QStringList() << "Fetched 0 chat messages";
        QTest::newRow("server error")
            << QByteArray() << "500" << QStringList() << "Failed to fetch chat messages:";
        QTest::newRow("connection dropped")
            << QByteArray() << "drop" << QStringList() << "Failed to fetch chat messages:";
    }

    void fetchHistory() {
        QFETCH(QByteArray, body);
        QFETCH(QString, fault);
        QFETCH(QStringList, added);
        QFETCH(QString, log);
        const QString path = QStringLiteral("api/comment/my-show");
        serve(QStringLiteral("my-show"), body);
        if (fault == QLatin1String("500"))
            m_server->failNext(1, 500, path);
        else if (fault == QLatin1String("drop"))
            m_server->dropNext(3, path); // Qt resends a GET once on a dropped connection
        else if (fault == QLatin1String("malformed"))
            m_server->malformNext(1, path);
        m_chat->addMessage(2, QStringLiteral("live"), QStringLiteral("kept"));

        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QLatin1Char('^') + log));
        if (fault.isEmpty() ? !body.contains("[") : fault == QLatin1String("malformed"))
            QTest::ignoreMessage(QtWarningMsg, "Chat history reply holds no message list");
        QVERIFY(fetch(QStringLiteral("my-show")));

        QCOMPARE(rows(), QStringList{QStringLiteral("2|live|kept|now")} + added);
        const RecordedRequest request = m_server->requests(path).value(0);
        QCOMPARE(request.method, QStringLiteral("GET"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QVERIFY(!request.hasHeader("Authorization"));
    }

    void repeatedFetchShowsEachMessageOnce() {
        dev::ChatServer &rooms = m_server->chat();
        const QString room = QStringLiteral("castora-demo");
        rooms.post(room, QStringLiteral("ann"), QStringLiteral("first"));
        rooms.post(room, QStringLiteral("bob"), QStringLiteral("second"));
        QVERIFY(fetch(room));
        QCOMPARE(m_chat->rowCount(), 2);

        // Live and own messages carry made-up ids, equal ones included: never compared.
        m_chat->addMessage(2, QStringLiteral("cy"), QStringLiteral("live"));
        m_chat->addMessage(2, QStringLiteral("cy"), QStringLiteral("live again"));
        rooms.post(room, QStringLiteral("dee"), QStringLiteral("third"));

        QTest::ignoreMessage(QtInfoMsg, "Skipped 2 chat messages already shown");
        QTest::ignoreMessage(QtInfoMsg, "Fetched 3 chat messages");
        QVERIFY(fetch(room));
        QStringList texts;
        for (int row = 0; row < m_chat->rowCount(); ++row)
            texts << m_chat->message(row)->messageText();
        QCOMPARE(texts, (QStringList{QStringLiteral("first"), QStringLiteral("second"),
                                     QStringLiteral("live"), QStringLiteral("live again"),
                                     QStringLiteral("third")}));

        // Ids belong to a room: the same ids elsewhere are other messages. Messages without an
        // id cannot be told apart and come again.
        serve(
            QStringLiteral("other"),
            R"([{"id": 1, "sender": "x", "content": "one"}, {"sender": "y", "content": "no id"}])");
        QVERIFY(fetch(QStringLiteral("other")));
        QVERIFY(fetch(QStringLiteral("other")));
        QCOMPARE(m_chat->rowCount(), 5 + 2 + 1);
        QCOMPARE(m_chat->message(7)->messageText(), QStringLiteral("no id"));
    }
};

CASTORA_TEST_MAIN(TestChatController)
#include "tst_chatcontroller.moc"
