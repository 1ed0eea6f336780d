// The channel calls of StreamController against the stand-in backend and a real icecast2: the
// channel record, stream details with artwork, usage reports, listener counts and the chat
// token, each also with failing and malformed replies.
#include "ChatServer.h"
#include "DevServer.h"
#include "LocalServices.h"
#include "LogCapture.h"
#include "Multipart.h"
#include "ProcessSignals.h"
#include "ScriptedAudioInput.h"
#include "SettingsStore.h"
#include "StreamController.h"
#include "TestMain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpSocket>

using namespace castora;

namespace {

const QString kUpdated = QStringLiteral("Event details updated successfully");
const QString kFailed =
    QStringLiteral("Failed to update stream details, please ensure file is not more than 2MB");
const QString kUnreadable =
    QStringLiteral("The selected image could not be read. Please choose another image.");

} // namespace

class ChannelTest : public QObject {
    Q_OBJECT

    test::IcecastServer m_icecast;
    std::unique_ptr<dev::DevServer> m_backend;
    test::ScriptedAudioInput m_input;
    QTemporaryDir m_files;
    QString m_token;

    dev::Channel &channel() { return m_backend->state().demoChannel(); }

    std::unique_ptr<StreamController> controller() {
        return std::make_unique<StreamController>(
            ServiceConfig::local(m_backend->port(), 0, m_icecast.port()), m_input);
    }

    // "status N", "answer N BODY" or "drop", for the next request to `path`.
    void inject(const QString &fault, const QString &path) {
        const QStringList words = fault.split(QLatin1Char(' '));
        if (words[0] == QLatin1String("status"))
            m_backend->failNext(1, words[1].toInt(), path);
        else if (words[0] == QLatin1String("answer"))
            m_backend->answerNext(
                1, dev::Answer::text(fault.section(QLatin1Char(' '), 2).toUtf8(), words[1].toInt()),
                path);
        else if (words[0] == QLatin1String("drop"))
            m_backend->dropNext(2, path); // Qt sends a dropped request once more
    }

    static bool answered(StreamController &c) {
        return QTest::qWaitFor([&] { return c.pendingRequests() == 0; }, 10000);
    }
    bool onAir(StreamController &c, bool on) {
        c.setMountPoint(channel().mountPoint);
        c.setSubStatus(true);
        c.startStop();
        return QTest::qWaitFor(
            [&] { return c.streaming() == on && !c.jobInProgress() && c.pendingNotices() == 0; },
            15000);
    }

private slots:
    void initTestCase() {
        engine::ignoreBrokenPipe();
        QVERIFY(m_icecast.start());
        dev::DevServer::Options options;
        options.icecastStatusUrl = m_icecast.baseUrl() + QStringLiteral("/status-json.xsl");
        m_backend = std::make_unique<dev::DevServer>(options);
        QVERIFY(m_backend->listen() != 0);
        m_token = m_backend->state().issueToken(QString::fromLatin1(dev::DevState::kDemoEmail));
        settings::setToken(m_token);
        m_input.setTone(440.0);
    }

    void init() { m_backend->clearRequests(); }

    // Each call answered well, failing or malformed: the stated log line, and its property set
    // or kept (a listener count that is not a number reads 0). A record sets the slug before
    // the mount point.
    void replies_data() {
        QTest::addColumn<QByteArray>("call");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QVariant>("value"); // invalid: as the stand-in has it
        const char *const rows[][5] = {
            // clang-format off
            {"record", "fetchChannel", "", "Title and Name are set", ""},
            {"record 401", "fetchChannel", "status 401", "QNetworkReply::AuthenticationRequiredError", "held"},
            {"record 203", "fetchChannel", "answer 203 {\"data\":[{\"uuid\":\"x\"}]}", "203", "held"},
            {"record error page", "fetchChannel", "answer 200 <html>", "Channel record without", "held"},
            {"record {}", "fetchChannel", "answer 200 {}", "Channel record without", "held"},
            {"record, data []", "fetchChannel", "answer 200 {\"data\":[]}", "Channel record without", "held"},
            {"record, data [1]", "fetchChannel", "answer 200 {\"data\":[1]}", "Channel record without", "held"},
            {"record dropped", "fetchChannel", "drop", "QNetworkReply::RemoteHostClosedError", "held"},
            {"token", "fetchChatToken", "", "Chat token fetched successfully", ""},
            {"token 401", "fetchChatToken", "status 401", "Failed to fetch chat token:", "held"},
            {"token dropped", "fetchChatToken", "drop", "Failed to fetch chat token:", "held"},
            {"token {}", "fetchChatToken", "answer 200 {}", "Chat token reply without a token", "held"},
            {"listeners 17", "fetchListeners", "answer 200 17", "", "17"},
            {"listeners, not live", "fetchListeners", "", "", "0"},
            {"listeners, 17 and a word", "fetchListeners", "answer 200 17 listeners", "", "0"},
            {"listeners, JSON", "fetchListeners", "answer 200 {}", "", "0"},
            {"listeners 502", "fetchListeners", "status 502", "", "5"},
            {"usage", "updateUsageDuration", "", "Usage duration updated successfully", ""},
            {"usage 500", "updateUsageDuration", "status 500", "Failed to update usage duration:", ""},
            // clang-format on
        };
        for (const auto &row : rows) {
            QTest::newRow(row[0]) << QByteArray(row[1]) << QString::fromUtf8(row[2]) << row[3]
                                  << (*row[4] ? QVariant(row[4]) : QVariant());
        }
    }
    void replies() {
        QFETCH(QByteArray, call);
        QFETCH(QString, fault);
        QFETCH(QString, log);
        QFETCH(QVariant, value);
        const QHash<QByteArray, QPair<QString, QByteArray>> endpoints = {
            {"fetchChannel", {"api/channel/user-channel", "mountPoint"}},
            {"fetchChatToken", {"api/comment/fetch-chat-token", "chatToken"}},
            {"fetchListeners", {"api/stats/held", "listeners"}},
            {"updateUsageDuration", {"api/channel/update-usage-duration", ""}}};
        const auto [path, property] = endpoints.value(call);
        LogCapture logged;
        auto c = controller();
        c->setMountPoint(QStringLiteral("held")); // polls the listener count at once
        c->setChatToken(QStringLiteral("held"));
        QVERIFY(answered(*c));
        c->setListeners(5);
        QString slugAtMountChange;
        connect(c.get(), &StreamController::mountPointChanged, this,
                [&] { slugAtMountChange = c->ChannelSlug(); });
        m_backend->clearRequests();
        inject(fault, path);
        if (call == "fetchListeners") // the poll's own call, not one for the UI
            c->fetchListeners();
        else
            QVERIFY(QMetaObject::invokeMethod(c.get(), call.constData()));
        QVERIFY(answered(*c));
        QVERIFY2(logged.contains(log), qPrintable(logged.lines().join(QLatin1Char('\n'))));
        const bool stats = call == "fetchListeners";
        const dev::RecordedRequest sent = m_backend->requests(path).value(0);
        QCOMPARE(sent.hasHeader("Accept"), !stats);
        QCOMPARE(sent.header("Authorization"), stats ? QByteArray() : "Bearer " + m_token.toUtf8());
        if (value.isValid())
            QCOMPARE(c->property(property).toString(), value.toString());
        const bool newRecord = call == "fetchChannel" && !value.isValid();
        QCOMPARE(slugAtMountChange, newRecord ? channel().slug : QString());
        if (newRecord) {
            QCOMPARE(c->mountPoint(), channel().mountPoint);
            QCOMPARE(c->channelArt(),
                     m_backend->baseUrl() + QStringLiteral("/artwork/channel-1.png"));
            QVERIFY(c->subStatus() && c->isSubscriber());
        } else if (call == "fetchChatToken" && !value.isValid()) {
            QVERIFY(m_backend->chat().isValidToken(c->chatToken()));
            QVERIFY(!logged.contains(c->chatToken())); // a secret: never in the log
        }
    }

    // The title alone goes as JSON; a chosen image as multipart with its own file name, stored
    // by the service and served as the stream art. An image that cannot be read sends nothing.
    void streamDetails_data() {
        QTest::addColumn<QString>("image"); // below the test's folder; "": none
        QTest::addColumn<QString>("form");  // how the file dialog hands it over
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        const char *png = "Cover art \u00e9t\u00e9 #1 100%.png";
        const QString rows[][5] = {
            // clang-format off
            {"title only", "", "path", "", kUpdated},
            {"png, path", png, "path", "", kUpdated},
            {"png, encoded URL", png, "encoded", "", kUpdated},
            {"png, URL as QML has it", png, "as QML has it", "", kUpdated},
            {"image missing", "gone.png", "encoded", "", kUnreadable},
            {"image is a folder", "folder", "path", "", kUnreadable},
            {"image too large", "large.png", "path", "", kFailed},
            {"backend fails", "", "path", "status 500", kFailed},
            // clang-format on
        };
        for (const auto &row : rows)
            QTest::newRow(qPrintable(row[0])) << row[1] << row[2] << row[3] << row[4];
    }
    void streamDetails() {
        QFETCH(QString, image);
        QFETCH(QString, form);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        LogCapture logged;
        const QString path = m_files.filePath(image);
        QByteArray bytes("\x89PNG\r\n\x1a\n\0\r\n--\r\n", 16);
        bytes += QByteArray(image == QLatin1String("large.png") ? 3000000 : 20000, '\x7f');
        QFile file(path);
        if (image == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        else if (image != QLatin1String("gone.png") && !image.isEmpty())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        const QHash<QString, QString> forms = {
            {"path", path},
            {"encoded", QString::fromUtf8(QUrl::fromLocalFile(path).toEncoded())},
            {"as QML has it", QUrl::fromLocalFile(path).toString()}};
        auto c = controller();
        c->fetchChannel();
        QVERIFY(answered(*c));
        const QString title = c->streamTitle() + QStringLiteral(" \u00e0 \"deux\"");
        QStringList order;
        connect(
            c.get(), &StreamController::requestCompleted, this,
            [&](const QString &text, bool error) { order << text << QVariant(error).toString(); });
        connect(c.get(), &StreamController::isLoadingChanged, this,
                [&] { order << QVariant(c->isLoading()).toString(); });
        inject(fault, QStringLiteral("api/channel/update/stream-details"));
        c->updateStreamDetails(title, image.isEmpty() ? QString() : forms[form]);
        QVERIFY(answered(*c));
        QCOMPARE(order,
                 QStringList({"true", message, QVariant(message != kUpdated).toString(), "false"}));
        const QList<dev::RecordedRequest> sent =
            m_backend->requests(QStringLiteral("api/channel/update/stream-details"));
        QCOMPARE(sent.isEmpty(), message == kUnreadable);
        const QHash<QString, QString> logs = {{kUpdated, "Stream Detail Updated"},
                                              {kFailed, "Error updating stream details:"},
                                              {kUnreadable, "Stream image cannot be read:"}};
        QVERIFY(logged.contains(logs[message]));
        QCOMPARE(c->streamTitle() == title, message == kUpdated); // from the record fetched again
        if (sent.isEmpty())
            return;
        const dev::MultipartBody body =
            dev::MultipartBody::parse(sent[0].header("Content-Type"), sent[0].body);
        if (image.isEmpty()) {
            QCOMPARE(sent[0].header("Content-Type"), QByteArray("application/json"));
            QCOMPARE(QJsonDocument::fromJson(sent[0].body).object(),
                     QJsonObject({{"channel_id", channel().id}, {"stream_title", title}}));
            return;
        }
        const QList<QByteArray> parts = {"channel_id",   QByteArray::number(channel().id),
                                         "stream_title", title.toUtf8(),
                                         "stream_art",   bytes};
        QCOMPARE(body.parts().size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(body.parts()[i].name, parts[2 * i]);
            QCOMPARE(body.parts()[i].body, parts[2 * i + 1]);
        }
        QCOMPARE(body.parts()[2].fileName, image.toUtf8());
        QCOMPARE(body.parts()[2].header("Content-Type"), QByteArray("image/jpeg"));
        if (message != kUpdated)
            return;
        QNetworkAccessManager nam;
        std::unique_ptr<QNetworkReply> art(nam.get(QNetworkRequest(QUrl(c->streamArt()))));
        QVERIFY(QSignalSpy(art.get(), &QNetworkReply::finished).wait(5000));
        QCOMPARE(art->readAll(), bytes);
    }

    // On air: usage reports at the usage interval, the first one interval after going on air,
    // none once off air; the listener poll follows the mount point on the real icecast2, where
    // a player that connects is counted and one that leaves is not. A later mount point is
    // polled from the next tick on.
    void broadcast() {
        constexpr int interval = 400;
        const QString usage = QStringLiteral("api/channel/update-usage-duration");
        auto c = controller();
        c->setUsageInterval(interval);
        c->setListenerPollInterval(300);
        QElapsedTimer sinceOnAir;
        connect(c.get(), &StreamController::streamingChanged, this, [&] { sinceOnAir.start(); });
        QVERIFY(onAir(*c, true));
        QVERIFY(c->listenerPollTimer().isActive());
        QTRY_VERIFY_WITH_TIMEOUT(m_backend->requests(usage).size() == 1, 5000);
        QVERIFY(sinceOnAir.elapsed() >= interval * 9 / 10);
        QCOMPARE(m_backend->requests(usage)[0].body, QByteArray("{\n}\n"));
        QTcpSocket player;
        player.connectToHost(QStringLiteral("127.0.0.1"), m_icecast.port());
        QVERIFY(player.waitForConnected(5000));
        player.write("GET /" + channel().mountPoint.toUtf8() + " HTTP/1.0\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(c->listeners(), 1, 10000);
        player.abort();
        QTRY_COMPARE_WITH_TIMEOUT(c->listeners(), 0, 10000);
        QVERIFY(m_backend->requests(usage).size() >= 2);
        QVERIFY(onAir(*c, false));
        QVERIFY(!c->usageTimer().isActive());
        const qsizetype reports = m_backend->requests(usage).size();
        QVERIFY(!QTest::qWaitFor([&] { return m_backend->requests(usage).size() > reports; },
                                 3 * interval));
        QVERIFY(answered(*c));
        c->setListeners(3);
        c->setMountPoint(QStringLiteral("not-live"));
        QCOMPARE(c->pendingRequests(), 0);
        QTRY_VERIFY(!m_backend->requests(QStringLiteral("api/stats/not-live")).isEmpty());
        QVERIFY(answered(*c));
        QCOMPARE(c->listeners(), 0);
    }
};

CASTORA_TEST_MAIN(ChannelTest)
#include "tst_channel.moc"
