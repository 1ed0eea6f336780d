// Uploads of recordings against the stand-in backend: what goes over the wire, what the
// stand-in stores, and how every failure ends.
#include "DevServer.h"
#include "LogCapture.h"
#include "Multipart.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "SettingsStore.h"
#include "TestMain.h"
#include "UploadRoutes.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

using castora::dev::DevServer;
using castora::dev::MultipartBody;
using castora::dev::RecordedRequest;

namespace {

const QString kSmall = QStringLiteral("api/upload-small-file");
const QString kStart = QStringLiteral("api/start-file-upload");
const QString kChunk = QStringLiteral("api/upload-file");
const QString kFinish = QStringLiteral("api/finish-file-upload");

QByteArray recordingBytes(qint64 size, quint32 seed) {
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qint64 i = 0; i < size; i += 4) {
        const quint32 word = generator.generate();
        memcpy(data.data() + i, &word, size_t(qMin<qint64>(4, size - i)));
    }
    return data;
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class RecordingUploadsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevServer> m_server;
    std::unique_ptr<RecordingController> m_controller;
    std::unique_ptr<QTemporaryDir> m_files;
    QList<RecordedRequest> m_seen; // upload requests the stand-in received, in order
    QString m_signInToken;

    QStringList seenPaths() const {
        QStringList paths;
        for (const RecordedRequest &request : m_seen)
            paths.append(request.path);
        return paths;
    }

    // Writes a recording file and lists it; returns its id.
    int addRecording(const QString &fileName, const QByteArray &content) {
        const QString path = m_files->filePath(fileName);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return -1;
        file.close();
        m_controller->addRecording(QStringLiteral("Show"), path);
        return m_controller->recordings().isEmpty() ? -1 : m_controller->recordings().at(0)->id();
    }

    bool rowUploaded(int id) {
        m_controller->loadRecordings();
        for (const RecordingModel *recording : m_controller->recordings()) {
            if (recording->id() == id)
                return recording->uploadStatus();
        }
        return false;
    }

    // One round trip through the stand-in: whatever the client had left to send is in by then.
    void roundTrip() {
        if (!m_server)
            return;
        QNetworkAccessManager nam;
        std::unique_ptr<QNetworkReply> reply(
            nam.get(QNetworkRequest(QUrl(m_server->baseUrl() + QStringLiteral("/probe")))));
        QSignalSpy done(reply.get(), &QNetworkReply::finished);
        QVERIFY(done.wait());
    }

private slots:
    void initTestCase() { QVERIFY(castora::initDatabase()); }

    void init() {
        m_files = std::make_unique<QTemporaryDir>();
        m_server = std::make_unique<DevServer>();
        QVERIFY(m_server->listen() != 0);
        connect(m_server.get(), &DevServer::requestReceived, this,
                [this](const RecordedRequest &request) {
                    if (request.path != QLatin1String("probe"))
                        m_seen.append(request);
                });
        m_signInToken =
            m_server->state().issueToken(QLatin1String(castora::dev::DevState::kDemoEmail));
        castora::settings::setToken(m_signInToken);
        m_controller =
            std::make_unique<RecordingController>(castora::ServiceConfig::local(m_server->port()));
    }

    void cleanup() {
        m_controller.reset();
        m_server.reset();
        m_seen.clear();
        m_files.reset();
    }

    void uploads_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<int>>("progress"); // empty: one single POST
        QTest::addColumn<QByteArray>("encodedName");

        const QString international = QStringLiteral("Morning Show – Café Ünï.mp3");
        const QByteArray encoded("Morning%20Show%20%E2%80%93%20Caf%C3%A9%20%C3%9Cn%C3%AF.mp3");
        QTest::newRow("empty file")
            << QStringLiteral("empty.mp3") << qint64(0) << QList<int>{} << QByteArray("empty.mp3");
        QTest::newRow("one byte below the threshold")
            << QStringLiteral("below.mp3") << qint64(4'999'999) << QList<int>{}
            << QByteArray("below.mp3");
        QTest::newRow("non-ASCII name, single")
            << international << qint64(70'000) << QList<int>{} << encoded;
        QTest::newRow("exactly the threshold")
            << QStringLiteral("exact.mp3") << qint64(5'000'000) << QList<int>{100} << QByteArray();
        QTest::newRow("one byte over") << QStringLiteral("over.mp3") << qint64(5'000'001)
                                       << QList<int>{50, 100} << QByteArray();
        QTest::newRow("three chunks, non-ASCII name")
            << international << qint64(12'345'678) << QList<int>{33, 66, 100} << QByteArray();
    }

    void uploads() {
        QFETCH(QString, fileName);
        QFETCH(qint64, size);
        QFETCH(QList<int>, progress);
        QFETCH(QByteArray, encodedName);
        const bool chunked = !progress.isEmpty();

        const QByteArray content = recordingBytes(size, quint32(size));
        const int id = addRecording(fileName, content);
        QVERIFY(id > 0);
        QSignalSpy started(m_controller.get(), &RecordingController::uploadStarted);
        QSignalSpy progressed(m_controller.get(), &RecordingController::uploadProgress);
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);
        bool listedAsUploaded = false;
        connect(m_controller.get(), &RecordingController::uploadCompleted, this, [&] {
            listedAsUploaded =
                m_controller->data(m_controller->index(0), RecordingController::UploadStatusRole)
                    .toBool();
        });

        m_controller->uploadRecording(id);
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, 60000);
        roundTrip();
        QCOMPARE(completed.at(0).at(0).toInt(), id);
        QCOMPARE(completed.at(0).at(2).toString(),
                 chunked ? QStringLiteral("Upload completed successfully")
                         : QStringLiteral("Upload successful"));
        QVERIFY(completed.at(0).at(1).toBool());
        QCOMPARE(completed.count(), 1);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.at(0), (QVariantList{id, chunked}));
        QList<int> reported;
        for (const QVariantList &signal : std::as_const(progressed))
            reported.append(signal.at(1).toInt());
        QCOMPARE(reported, progress);
        QVERIFY(listedAsUploaded); // reloaded before the success was announced
        QVERIFY(rowUploaded(id));

        // What the stand-in stored is the recording, byte for byte.
        const castora::dev::StoredUpload *stored = m_server->uploads().find(fileName);
        QVERIFY(stored);
        QCOMPARE(stored->chunked, chunked);
        QVERIFY(readAll(stored->path) == content);

        const QByteArray bearer = "Bearer " + m_signInToken.toUtf8();
        for (const RecordedRequest &request : std::as_const(m_seen)) {
            QCOMPARE(request.header("Authorization"), bearer);
            QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        }
        if (!chunked) {
            QCOMPARE(seenPaths(), QStringList{kSmall});
            const RecordedRequest &post = m_seen.at(0);
            QCOMPARE(post.header("Content-Type"), QByteArray("application/octet-stream"));
            QCOMPARE(post.header("Content-Length"), QByteArray::number(size));
            QCOMPARE(post.header("X-filename"), encodedName);
            return;
        }

        const int chunks = int(progress.size());
        QStringList expectedPaths{kStart};
        for (int i = 0; i < chunks; ++i)
            expectedPaths.append(kChunk);
        expectedPaths.append(kFinish);
        QCOMPARE(seenPaths(), expectedPaths);

        const MultipartBody start =
            MultipartBody::parse(m_seen.first().header("Content-Type"), m_seen.first().body);
        QVERIFY(start.isValid());
        QCOMPARE(start.parts().size(), 1);
        QCOMPARE(start.field("filename"), fileName.toUtf8());

        const QByteArray uploadToken = m_seen.at(1).header("X-Authorization-Token");
        QVERIFY(!uploadToken.isEmpty());
        QStringList sha1s;
        for (int i = 0; i < chunks; ++i) {
            const RecordedRequest &chunk = m_seen.at(1 + i);
            const QByteArray slice = content.mid(qint64(i) * 5'000'000, 5'000'000);
            const QByteArray sha1 =
                QCryptographicHash::hash(slice, QCryptographicHash::Sha1).toHex();
            sha1s.append(QString::fromLatin1(sha1));
            QVERIFY(chunk.body == slice);
            QCOMPARE(chunk.header("Content-Type"), QByteArray("application/octet-stream"));
            QCOMPARE(chunk.header("X-File-Name"), fileName.toUtf8());
            QCOMPARE(chunk.header("X-Part-Number"), QByteArray::number(i + 1));
            QCOMPARE(chunk.header("X-Total-Chunks"), QByteArray::number(chunks));
            QCOMPARE(chunk.header("X-Content-Sha1"), sha1);
            QCOMPARE(chunk.header("X-Authorization-Token"), uploadToken);
            QCOMPARE(chunk.header("X-Upload-Url"), m_seen.at(1).header("X-Upload-Url"));
            QCOMPARE(chunk.header("X-Start"), QByteArray(i == 0 ? "1" : "0"));
            QCOMPARE(chunk.header("X-End"), QByteArray(i == chunks - 1 ? "1" : "0"));
        }
        const MultipartBody finish =
            MultipartBody::parse(m_seen.last().header("Content-Type"), m_seen.last().body);
        QVERIFY(finish.isValid());
        QCOMPARE(finish.parts().size(), 3);
        QCOMPARE(finish.parts().at(0).name, QByteArray("authorizationToken"));
        QCOMPARE(finish.field("authorizationToken"), uploadToken);
        QCOMPARE(finish.field("fileId"), stored->fileId.toUtf8());
        QCOMPARE(finish.field("partSha1Array"),
                 QJsonDocument(QJsonArray::fromStringList(sha1s)).toJson(QJsonDocument::Compact));
    }

    void failures_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QList<int>>("progress");
        QTest::addColumn<QStringList>("requests"); // what the stand-in sees, in order
        QTest::addColumn<QString>("message");      // a trailing "*" matches any rest

        const qint64 three = 12'345'678;
        const QString credentials = QStringLiteral("Failed to get upload credentials");
        const QString cannotOpen = QStringLiteral("Failed to open file");
        QTest::newRow("signed out: start refused")
            << QStringLiteral("signed-out") << three << QList<int>{} << QStringList{kStart}
            << credentials;
        QTest::newRow("start fails") << QStringLiteral("start-500") << three << QList<int>{}
                                     << QStringList{kStart} << credentials;
        QTest::newRow("start reply not JSON") << QStringLiteral("start-garbled") << three
                                              << QList<int>{} << QStringList{kStart} << credentials;
        QTest::newRow("chunk 2 refused")
            << QStringLiteral("chunk-2") << three << QList<int>{33}
            << QStringList{kStart, kChunk, kChunk} << QStringLiteral("Chunk upload failed: *");
        QTest::newRow("finish refused")
            << QStringLiteral("finish-500") << three << QList<int>{33, 66, 100}
            << QStringList{kStart, kChunk, kChunk, kChunk, kFinish}
            << QStringLiteral("Failed to finish upload: *");
        QTest::newRow("file deleted after the start")
            << QStringLiteral("delete-at-start") << three << QList<int>{} << QStringList{kStart}
            << cannotOpen;
        QTest::newRow("file deleted after chunk 1")
            << QStringLiteral("delete-after-1") << three << QList<int>{33}
            << QStringList{kStart, kChunk} << cannotOpen;
        QTest::newRow("file shrank after chunk 1")
            << QStringLiteral("shrink-after-1") << three << QList<int>{33}
            << QStringList{kStart, kChunk} << QStringLiteral("Failed to read file");
        QTest::newRow("backend down") << QStringLiteral("unreachable") << three << QList<int>{}
                                      << QStringList{} << credentials;
        QTest::newRow("backend gone after chunk 1")
            << QStringLiteral("gone-after-1") << three << QList<int>{33}
            << QStringList{kStart, kChunk} << QStringLiteral("Chunk upload failed: *");
        QTest::newRow("single upload refused")
            << QStringLiteral("small-500") << qint64(1000) << QList<int>{} << QStringList{kSmall}
            << QStringLiteral("Error transferring *");
        QTest::newRow("single upload, backend down")
            << QStringLiteral("unreachable") << qint64(1000) << QList<int>{} << QStringList{}
            << QStringLiteral("Connection refused");
    }

    void failures() {
        QFETCH(QString, fault);
        QFETCH(qint64, size);
        QFETCH(QList<int>, progress);
        QFETCH(QStringList, requests);
        QFETCH(QString, message);

        const int id = addRecording(QStringLiteral("rec.mp3"), recordingBytes(size, 7));
        const QString path = m_controller->recordings().at(0)->path();
        QSignalSpy started(m_controller.get(), &RecordingController::uploadStarted);
        QSignalSpy progressed(m_controller.get(), &RecordingController::uploadProgress);
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);

        std::unique_ptr<DevServer> survivor; // keeps the database rows readable below
        if (fault == QLatin1String("signed-out")) {
            castora::settings::setToken(QString());
        } else if (fault == QLatin1String("start-500")) {
            m_server->failNext(1, 500, kStart);
        } else if (fault == QLatin1String("start-garbled")) {
            m_server->malformNext(1, kStart);
        } else if (fault == QLatin1String("chunk-2")) {
            m_server->uploads().failChunk(2);
        } else if (fault == QLatin1String("finish-500")) {
            m_server->failNext(1, 500, kFinish);
        } else if (fault == QLatin1String("small-500")) {
            m_server->failNext(1, 500, kSmall);
        } else if (fault == QLatin1String("delete-at-start")) {
            connect(m_server.get(), &DevServer::requestReceived, this,
                    [path](const RecordedRequest &) { QFile::remove(path); });
        } else if (fault == QLatin1String("delete-after-1")) {
            connect(m_controller.get(), &RecordingController::uploadProgress, this,
                    [path] { QFile::remove(path); });
        } else if (fault == QLatin1String("shrink-after-1")) {
            connect(m_controller.get(), &RecordingController::uploadProgress, this,
                    [path] { QFile(path).resize(7'000'000); });
        } else if (fault == QLatin1String("gone-after-1")) {
            connect(m_controller.get(), &RecordingController::uploadProgress, this,
                    [this] { m_server.reset(); });
        } else if (fault == QLatin1String("unreachable")) {
            m_server.reset(); // nothing listens on its port any more
        }

        m_controller->uploadRecording(id);
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, 60000);
        roundTrip();
        QCOMPARE(completed.count(), 1);
        QCOMPARE(started.count(), 1);
        QCOMPARE(completed.at(0).at(0).toInt(), id);
        QCOMPARE(completed.at(0).at(1).toBool(), false);
        const QString got = completed.at(0).at(2).toString();
        if (message.endsWith(QLatin1Char('*')))
            QVERIFY2(got.startsWith(message.chopped(1)) && got.size() > message.size(),
                     qPrintable(got));
        else
            QCOMPARE(got, message);
        QList<int> reported;
        for (const QVariantList &signal : std::as_const(progressed))
            reported.append(signal.at(1).toInt());
        QCOMPARE(reported, progress);
        QCOMPARE(seenPaths(), requests);
        QVERIFY(!rowUploaded(id));
        if (m_server) {
            QVERIFY(m_server->uploads().stored().isEmpty());
        }
    }

    void refusedBeforeStart_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown id")
            << QStringLiteral("unknown") << QStringLiteral("Recording not found");
        QTest::newRow("file removed")
            << QStringLiteral("removed") << QStringLiteral("File does not exist");
        QTest::newRow("still being recorded")
            << QStringLiteral("recording") << RecordingController::kStillRecordingMessage;
    }

    void refusedBeforeStart() {
        QFETCH(QString, situation);
        QFETCH(QString, message);
        int id = addRecording(QStringLiteral("Live.mp3"), recordingBytes(6'000'000, 3));
        const QString path = m_controller->recordings().at(0)->path();
        if (situation == QLatin1String("unknown"))
            id += 100;
        else if (situation == QLatin1String("removed"))
            QFile::remove(path);
        else
            m_controller->recordingStarted(path);
        QSignalSpy started(m_controller.get(), &RecordingController::uploadStarted);
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);

        m_controller->uploadRecording(id);
        roundTrip();
        QCOMPARE(completed.count(), 1);
        QCOMPARE(completed.at(0), (QVariantList{id, false, message}));
        QCOMPARE(started.count(), 0);
        QVERIFY(m_seen.isEmpty());

        if (situation == QLatin1String("recording")) {
            // Once the broadcast has closed the file, the same recording goes up.
            m_controller->recordingFinished(path);
            m_controller->uploadRecording(id);
            QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 2, 60000);
            QCOMPARE(completed.at(1),
                     (QVariantList{id, true, QStringLiteral("Upload completed successfully")}));
        }
    }

    void controllerGoesAwayMidUpload() {
        const int id = addRecording(QStringLiteral("gone.mp3"), recordingBytes(12'345'678, 5));
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);
        connect(m_controller.get(), &RecordingController::uploadProgress, this,
                [this] { m_controller.release()->deleteLater(); });
        QPointer<RecordingController> controller = m_controller.get();
        controller->uploadRecording(id);
        QTRY_VERIFY_WITH_TIMEOUT(controller.isNull(), 60000);
        roundTrip();
        QCOMPARE(completed.count(), 0);
        QVERIFY(m_seen.size() <= 3); // the start and at most the two chunks already under way
        QVERIFY(m_server->uploads().stored().isEmpty());
    }

    void uploadCredentialsStayOutOfTheLog() {
        LogCapture log;
        const int id = addRecording(QStringLiteral("secret.mp3"), recordingBytes(5'000'001, 9));
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);
        m_controller->uploadRecording(id);
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, 60000);
        QVERIFY(completed.at(0).at(1).toBool());

        const QString uploadToken = QString::fromUtf8(m_seen.at(1).header("X-Authorization-Token"));
        QVERIFY(uploadToken.size() >= 16);
        QVERIFY(log.contains(QStringLiteral("Upload credentials received")));
        for (const QString &line : log.lines()) {
            QVERIFY2(!line.contains(uploadToken), qPrintable(line));
            QVERIFY2(!line.contains(m_signInToken), qPrintable(line));
        }
    }
};

CASTORA_TEST_MAIN(RecordingUploadsTest)
#include "tst_recordinguploads.moc"
