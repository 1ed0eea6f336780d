// Uploads of recordings against the stand-in backend: what goes over the wire, what the
// stand-in stores, and how every failure ends.
#include "LogCapture.h"
#include "Multipart.h"
#include "NetworkAccess.h"
#include "RecordingController.h"
#include "RecordingsDatabase.h"
#include "StandInBackend.h"
#include "TestMain.h"
#include "UploadPlan.h"
#include "UploadRoutes.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <memory>

using castora::dev::DevServer;
using castora::dev::MultipartBody;
using castora::dev::RecordedRequest;
using castora::test::columns;
using castora::test::row;

namespace {

const QString kSmall = "api/upload-small-file";
const QString kStart = "api/start-file-upload";
const QString kChunk = "api/upload-file";
const QString kFinish = "api/finish-file-upload";
// Blanks, reserved characters and letters beyond ASCII, as a title can give them.
const QString kInternational = QStringLiteral("Morning Show – Café 100% Ünï & #1+?.mp3");
const QByteArray kInternationalEncoded("Morning%20Show%20%E2%80%93%20Caf%C3%A9%20100%25%20"
                                       "%C3%9Cn%C3%AF%20%26%20%231%2B%3F.mp3");

// Bytes that differ from chunk to chunk, so a chunk out of place shows.
QByteArray recordingBytes(qint64 size, quint32 seed) {
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char((quint64(i) * 2654435761u + seed) >> 11);
    return data;
}

QString progressValues(const QSignalSpy &progressed) {
    QStringList values;
    for (const QVariantList &signal : progressed)
        values.append(signal.at(1).toString());
    return values.join(' ');
}

} // namespace

class RecordingUploadsTest : public QObject {
    Q_OBJECT

    castora::test::StandInBackend m_backend;
    std::unique_ptr<RecordingController> m_controller;
    std::unique_ptr<QTemporaryDir> m_files;
    QList<RecordedRequest> m_seen; // upload requests the stand-in received, in order
    QString m_signInToken;

    // The upload requests the stand-in received: small, start, chunk or finish each.
    QString seenCalls() const {
        const QHash<QString, QString> calls{
            {kSmall, "small"}, {kStart, "start"}, {kChunk, "chunk"}, {kFinish, "finish"}};
        QStringList seen;
        for (const RecordedRequest &request : m_seen)
            seen.append(calls.value(request.path, request.path));
        return seen.join(' ');
    }

    // Writes a recording file and lists it; returns its id.
    int addRecording(const QString &fileName, const QByteArray &content) {
        if (!castora::test::writeFile(m_files->filePath(fileName), content))
            return -1;
        m_controller->addRecording("Show", m_files->filePath(fileName));
        return m_controller->recordings().at(0)->id();
    }

    // The newest row (the one under test) as the database has it.
    bool rowUploaded() {
        m_controller->loadRecordings();
        return m_controller->recordings().at(0)->uploadStatus();
    }

    // One round trip through the stand-in: whatever the client had left to send is in by then.
    void roundTrip() {
        if (!m_backend.isRunning())
            return;
        QNetworkAccessManager nam;
        std::unique_ptr<QNetworkReply> reply(
            nam.get(QNetworkRequest(QUrl(m_backend->baseUrl() + "/x"))));
        QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::finished).wait());
    }

private slots:
    void initTestCase() {
        QVERIFY(castora::initDatabase());
        // A chunk that makes no progress for this long fails (the program waits 30 s).
        castora::net::setTransferTimeout(std::chrono::milliseconds(3000));
    }

    void init() {
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_backend.start());
        connect(&m_backend.server(), &DevServer::requestReceived, this,
                [this](const RecordedRequest &request) {
                    if (request.path != "x")
                        m_seen.append(request);
                });
        m_signInToken = m_backend.signIn();
        m_controller = std::make_unique<RecordingController>(m_backend.config());
    }

    void cleanup() {
        m_controller.reset();
        m_backend.stop();
        m_seen.clear();
        m_files.reset();
    }

    // Every upload: how it is made to fail (empty: it succeeds; a path and a fault: the
    // backend's, StandInBackend::fail), what the stand-in sees and the one uploadCompleted
    // message (a trailing "*" matches any rest).
    void uploads_data() {
        // progress: the percentages announced
        // requests: small, start, chunk, finish
        columns<QString, QString, qint64, QString, QString, QString>(
            "fault", "fileName", "size", "progress", "requests", "message");

        const qint64 three = 12'345'678;
        const QString single = "Upload successful", chunked = "Upload completed successfully";
        const QString credentials = "Failed to get upload credentials";
        const QString kGarbled = "The server's reply could not be understood, so the upload may "
                                 "not have arrived. Please try again.";
        const QString failed = "Chunk upload failed: *", all = "start chunk chunk chunk finish";
        // clang-format off
        row("empty file", "", "empty.mp3", qint64(0), "", "small", single);
        row("one byte below the threshold", "", "below.mp3", qint64(4'999'999), "", "small", single);
        row("non-ASCII name, single", "", kInternational, qint64(70'000), "", "small", single);
        row("exactly the threshold", "", "exact.mp3", qint64(5'000'000), "100", "start chunk finish", chunked);
        row("three chunks, non-ASCII name", "", kInternational, three, "33 66 100", all, chunked);
        row("start fails", kStart + " status 500", "rec.mp3", three, "", "start", credentials);
        row("chunk 2 refused", "chunk-2", "rec.mp3", three, "33", "start chunk chunk", failed);
        row("chunk 2 never answered", "hang-chunk-2", "rec.mp3", three, "33", "start chunk chunk",
            "Chunk upload failed: The server did not answer in time.");
        row("chunk redirected to another origin", kChunk + " redirect", "rec.mp3", three, "", "start chunk", failed);
        row("finish refused", kFinish + " status 500", "rec.mp3", three, "33 66 100", all, "Failed to finish upload: *");
        row("file deleted after chunk 1", "delete-after-1", "rec.mp3", three, "33", "start chunk", "Failed to open file");
        row("file shrank after chunk 1", "shrink-after-1", "rec.mp3", three, "33", "start chunk", "Failed to read file");
        row("pressed again while going up", "twice", "rec.mp3", three, "33 66 100", all, chunked);
        row("signed out after chunk 1", "signed-out", "rec.mp3", three, "33", "start chunk",
            RecordingController::kSignedOutMessage);
        row("backend down", "unreachable", "rec.mp3", three, "", "", credentials);
        row("single upload refused", kSmall + " status 500", "rec.mp3", qint64(1000), "", "small", "Error transferring *");
        row("single upload answered with garbage", kSmall + " malformed", "rec.mp3", qint64(1000), "", "small", kGarbled);
        row("single upload dropped", kSmall + " drop", "rec.mp3", qint64(1000), "", "small small", "Connection closed");
        row("chunk answered with garbage", kChunk + " malformed", "rec.mp3", three, "33", "start chunk chunk", failed);
        row("chunk dropped", kChunk + " drop", "rec.mp3", three, "", "start chunk chunk",
            "Chunk upload failed: Connection closed");
        row("finish answered with garbage", kFinish + " malformed", "rec.mp3", three, "33 66 100", all, kGarbled);
        // Refused before anything starts.
        row("unknown id", "unknown", "rec.mp3", three, "", "", "Recording not found");
        row("file removed", "removed", "rec.mp3", three, "", "", "File does not exist");
        row("still being recorded", "recording", "rec.mp3", three, "", "", RecordingController::kStillRecordingMessage);
        // clang-format on
    }

    void uploads() {
        QFETCH(QString, fault);
        QFETCH(QString, fileName);
        QFETCH(qint64, size);
        QFETCH(QString, progress);
        QFETCH(QString, requests);
        QFETCH(QString, message);
        const bool chunked = size >= 5'000'000;
        const bool success = fault.isEmpty() || fault == "twice";

        LogCapture log;
        const QByteArray content = recordingBytes(size, quint32(size));
        int id = addRecording(fileName, content);
        QVERIFY(id > 0);
        const QString path = m_controller->recordings().at(0)->path();
        QSignalSpy started(m_controller.get(), &RecordingController::uploadStarted);
        QSignalSpy progressed(m_controller.get(), &RecordingController::uploadProgress);
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);
        bool listedAsUploaded = false;
        connect(m_controller.get(), &RecordingController::uploadCompleted, this, [&] {
            listedAsUploaded =
                m_controller->data(m_controller->index(0), RecordingController::UploadStatusRole)
                    .toBool();
        });
        if (fault.startsWith("api/")) // the backend's fault at that path
            m_backend.fail(fault.section(' ', 1), fault.section(' ', 0, 0));
        else if (fault == "hang-chunk-2")
            connect(m_controller.get(), &RecordingController::uploadProgress, this,
                    [this] { m_backend.fail("hang", kChunk); });
        else if (fault == "chunk-2")
            m_backend->uploads().failChunk(2);
        else if (fault == "delete-after-1")
            connect(m_controller.get(), &RecordingController::uploadProgress, this,
                    [path] { QFile::remove(path); });
        else if (fault == "shrink-after-1") // no short chunk goes out for the missing bytes
            connect(m_controller.get(), &RecordingController::uploadProgress, this,
                    [path] { QFile(path).resize(7'000'000); });
        else if (fault == "signed-out")
            connect(m_controller.get(), &RecordingController::uploadProgress, m_controller.get(),
                    &RecordingController::cancelUploads);
        else if (fault == "unreachable")
            m_backend.stop();
        else if (fault == "unknown")
            id += 100;
        else if (fault == "removed")
            QFile::remove(path);
        else if (fault == "recording")
            m_controller->recordingStarted(path);

        m_controller->uploadRecording(id);
        if (fault == "twice") // a screen that forgot the upload: shown again, not sent again
            m_controller->uploadRecording(id);
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, 60000);
        roundTrip();
        QCOMPARE(completed.count(), 1);
        QCOMPARE(completed.at(0).at(0).toInt(), id);
        QCOMPARE(completed.at(0).at(1).toBool(), success);
        const QString got = completed.at(0).at(2).toString();
        if (message.endsWith('*'))
            QVERIFY2(got.startsWith(message.chopped(1)) && got.size() > message.size(),
                     qPrintable(got));
        else
            QCOMPARE(got, message);
        const bool refusedAtOnce = fault == "unknown" || fault == "removed" || fault == "recording";
        QCOMPARE(started.count(), refusedAtOnce ? 0 : fault == "twice" ? 2 : 1);
        for (const QVariantList &announced : started)
            QCOMPARE(announced, (QVariantList{id, chunked}));
        QCOMPARE(m_controller->uploadsInFlight(), 0);
        QCOMPARE(progressValues(progressed), progress);
        QCOMPARE(seenCalls(), requests);
        QCOMPARE(m_backend.elsewhere().requests().size(), 0); // never sees the sign-in token
        QCOMPARE(listedAsUploaded, success); // reloaded before the success was announced
        QCOMPARE(rowUploaded(), success);
        // Each with the sign-in token: the stand-in refuses any other (and checks what each
        // request of a chunked upload must carry: the credentials, the part, its checksum).
        for (const RecordedRequest &request : std::as_const(m_seen))
            QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        for (const QString &line : log.lines())
            QVERIFY2(!line.contains(m_signInToken), qPrintable(line));
        if (fault == "recording") {
            // Once the broadcast has closed the file, the same recording goes up.
            m_controller->recordingFinished(path);
            m_controller->uploadRecording(id);
            QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 2, 60000);
            QCOMPARE(completed.at(1), (QVariantList{id, true, "Upload completed successfully"}));
            return;
        }
        if (!success) {
            if (m_backend.isRunning())
                QVERIFY(m_backend->uploads().stored().isEmpty());
            return;
        }

        // What the stand-in stored is the recording, byte for byte.
        const castora::dev::StoredUpload *stored = m_backend->uploads().find(fileName);
        QVERIFY(stored);
        QCOMPARE(stored->chunked, chunked);
        QVERIFY(castora::test::readFile(stored->path) == content);
        if (!chunked) {
            const RecordedRequest &post = m_seen.at(0);
            QCOMPARE(post.header("Content-Type"), QByteArray("application/octet-stream"));
            QCOMPARE(post.header("X-filename"),
                     fileName == kInternational ? kInternationalEncoded : fileName.toUtf8());
            return;
        }

        const int chunks = int(progress.count(' ')) + 1;
        const MultipartBody start =
            MultipartBody::parse(m_seen.first().header("Content-Type"), m_seen.first().body);
        QCOMPARE(start.parts().size(), 1);

        // The upload credentials go along with every chunk, but never into the log.
        const QByteArray uploadToken = m_seen.at(1).header("X-Authorization-Token");
        QVERIFY(uploadToken.size() >= 16);
        for (const QString &line : log.lines())
            QVERIFY2(!line.contains(QString::fromUtf8(uploadToken)), qPrintable(line));
        for (int i = 0; i < chunks; ++i) {
            const RecordedRequest &chunk = m_seen.at(1 + i);
            QVERIFY(chunk.body == content.mid(qint64(i) * 5'000'000, 5'000'000));
            QCOMPARE(chunk.header("Content-Type"), QByteArray("application/octet-stream"));
            QCOMPARE(chunk.header("X-Total-Chunks"), QByteArray::number(chunks));
        }
        // The token, the file id and the parts' checksums, in that order (their values: the
        // stand-in).
        QList<QByteArray> finished;
        const MultipartBody finish =
            MultipartBody::parse(m_seen.last().header("Content-Type"), m_seen.last().body);
        for (const auto &part : finish.parts())
            finished.append(part.name);
        QCOMPARE(finished, (QList<QByteArray>{"authorizationToken", "fileId", "partSha1Array"}));
    }

    void controllerGoesAwayMidUpload() {
        const int id = addRecording("gone.mp3", recordingBytes(12'345'678, 5));
        QSignalSpy completed(m_controller.get(), &RecordingController::uploadCompleted);
        connect(m_controller.get(), &RecordingController::uploadProgress, this,
                [this] { m_controller.release()->deleteLater(); });
        QPointer<RecordingController> controller = m_controller.get();
        controller->uploadRecording(id);
        QTRY_VERIFY_WITH_TIMEOUT(controller.isNull(), 60000);
        roundTrip();
        QCOMPARE(completed.count(), 0);
        QVERIFY(m_seen.size() <= 3); // the start and at most the two chunks already under way
        QVERIFY(m_backend->uploads().stored().isEmpty());
    }

    // Chunk arithmetic beyond what a test file can hold: offsets and sizes need 64 bits.
    void planBeyondFourGigabytes() {
        const castora::recordings::UploadPlan plan(20'000'000'001LL);
        QCOMPARE(plan.totalChunks(), 4001);
        QCOMPARE(plan.chunkOffset(4000), 20'000'000'000LL);
        QCOMPARE(plan.chunkLength(4000), qint64(1));
        QCOMPARE(plan.progressAfter(1999), 49);
    }
};

CASTORA_TEST_MAIN(RecordingUploadsTest)
#include "tst_recordinguploads.moc"
