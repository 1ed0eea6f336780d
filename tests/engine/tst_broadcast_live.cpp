// The whole engine on real parts: RtAudio capturing a PulseAudio virtual microphone that
// plays a 440 Hz tone, a real icecast2, the stand-in backend. A broadcast goes on air, survives
// a 20 s outage of the server, and leaves a complete recording; a second broadcast's file holds
// nothing of the first.
#include "DevServer.h"
#include "LiveBroadcast.h"
#include "LocalServices.h"
#include "ProcessSignals.h"
#include "RtAudioInput.h"
#include "SettingsStore.h"
#include "StreamController.h"
#include "TestMain.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>

using namespace castora;
using castora::test::IcecastServer;
using castora::test::VirtualMicrophone;
namespace audio = castora::test::audio;
namespace live = castora::test::live;

class BroadcastLiveTest : public QObject {
    Q_OBJECT

    dev::DevServer m_backend;
    IcecastServer m_icecast;
    VirtualMicrophone m_microphone;
    QString m_mount;
    std::unique_ptr<engine::RtAudioInput> m_input;
    std::unique_ptr<StreamController> m_controller;

    // The recording holds every captured frame, the encoder's delay and its flushed tail, give
    // or take `slack` frames.
    audio::Decoded recording(const QString &path, std::size_t slack) {
        audio::Decoded decoded;
        const QString problem = live::checkRecording(path, *m_controller, slack, &decoded);
        [&] { QVERIFY2(problem.isEmpty(), qPrintable(problem)); }();
        return decoded;
    }

private slots:
    void initTestCase() {
        engine::ignoreBrokenPipe();
        QVERIFY(m_microphone.start());
        QVERIFY(m_microphone.playTone(440, 900));
        QVERIFY(m_icecast.start());
        QVERIFY(m_backend.listen() != 0);
        m_mount = m_backend.state().demoChannel().mountPoint;
        settings::setToken(m_backend.state().issueToken(dev::DevState::kDemoEmail));
        m_input = std::make_unique<engine::RtAudioInput>();
        m_controller = std::make_unique<StreamController>(
            ServiceConfig::local(m_backend.port(), 0, m_icecast.port()), *m_input);
        m_controller->setMountPoint(m_mount);
        m_controller->setSubStatus(true);
        m_controller->setStreamTitle("Live Test");
        QVERIFY2(m_controller->rowCount() > 0, "PulseAudio lists no input device");
        QCOMPARE(m_controller->currentMic()->micName(), QString("Monitor of Null Output"));
    }

    // A failed check must not leave the next case a broadcast on air.
    void cleanup() {
        if (m_controller->streaming())
            QVERIFY(live::pressStop(*m_controller));
        if (!m_icecast.isRunning())
            QVERIFY(m_icecast.restart());
    }

    void cleanupTestCase() {
        m_controller.reset();
        m_input.reset();
    }

    // On air: the mount is there as MP3 at the Standard bitrate, a listener hears the tone.
    // Then icecast2 is down for 20 s: ten sends 1 s apart, the red bar, a reconnection within
    // 2 s of the server taking sources again, the green bar hiding after 4 s, and listeners
    // hear the tone again. The recording holds every captured buffer and the encoder's tail.
    void broadcastThroughAnOutage() {
        StreamController &c = *m_controller;
        QSignalSpy opened(&c, &StreamController::recordingOpened);
        QSignalSpy closed(&c, &StreamController::recordingClosed);
        QElapsedTimer clock;
        clock.start();
        const live::BarWatch bar(c, clock);

        QVERIFY(live::pressStart(c));
        QCOMPARE(c.sampleRate(), 22050u);
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        const QJsonObject source = m_icecast.source(m_mount);
        QCOMPARE(source.value("server_type").toString(), QString("audio/mpeg"));
        QCOMPARE(source.value("bitrate").toVariant().toInt(), 96);
        // PulseAudio delivers silence for the first 1.3 to 1.8 s.
        QTRY_VERIFY_WITH_TIMEOUT(c.micLevel() > 0.3f, 5000);
        QVERIFY(live::hearsTone(m_icecast, m_mount, c, 4.0));

        // The outage.
        QVERIFY(m_icecast.kill());
        const qint64 killedAt = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(c.networkBarVisible() && c.networkBarIsError(), 20000);
        QCOMPARE(c.engine().sender().failedSends(), 10);
        QCOMPARE(c.networkBarMessage(), QString("No network connection. Retrying..."));
        QVERIFY(!c.internetConnection());
        // The server stays down for 20 s in all.
        QTest::qWait(int(std::max<qint64>(0, 20000 - (clock.elapsed() - killedAt))));
        QVERIFY(c.engine().sender().failedReconnects() >= 3);
        QVERIFY(m_icecast.restart());
        const qint64 acceptingAt = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(c.networkBarVisible() && !c.networkBarIsError(), 10000);
        QCOMPARE(c.networkBarMessage(), QString("Network restored. Stream resumed."));
        QCOMPARE(c.engine().sender().reconnects(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!c.networkBarVisible(), 6000);
        QCOMPARE(bar.states, QStringList({"loss", "restored", "hidden"}));
        const qint64 lostAt = bar.at[0], restoredAt = bar.at[1], hiddenAt = bar.at[2];
        QVERIFY2(lostAt - killedAt >= 9000, qPrintable(QString::number(lostAt - killedAt)));
        QVERIFY2(restoredAt - acceptingAt <= 2500,
                 qPrintable(QString::number(restoredAt - acceptingAt)));
        QVERIFY2(hiddenAt - restoredAt >= 3900 && hiddenAt - restoredAt <= 4600,
                 qPrintable(QString::number(hiddenAt - restoredAt)));
        QTRY_VERIFY(m_icecast.hasMount(m_mount));
        QVERIFY(live::hearsTone(m_icecast, m_mount, c, 4.0));

        QVERIFY(live::pressStop(c));
        QTRY_VERIFY(!m_icecast.hasMount(m_mount));
        QCOMPARE(opened.size(), 1);
        QCOMPARE(closed.size(), 1);

        // Within one buffer of what was captured (the callback may run once more after the
        // count was read), plus the encoder's delay and tail.
        const auto decoded = recording(closed.at(0).at(0).toString(), 16384);
        // The tone runs through the outage in the file: 440 Hz over the whole of it.
        QVERIFY(std::abs(audio::dominantFrequency(decoded.samples, 22050, 22050 * 2) - 440.0) <
                5.0);
        const std::size_t outageStart = std::size_t(double(killedAt) / 1000.0 * 22050);
        QVERIFY(audio::rms(decoded.samples, outageStart + 22050, 22050 * 15) > 5000.0);
    }

    // The next broadcast writes a new file that holds only its own audio.
    void secondBroadcastStartsClean() {
        StreamController &c = *m_controller;
        QSignalSpy closed(&c, &StreamController::recordingClosed);
        QVERIFY(live::pressStart(c));
        QTRY_VERIFY_WITH_TIMEOUT(c.engine().capturedFrames() > 22050 * 4, 10000);
        QVERIFY(live::pressStop(c));
        QCOMPARE(closed.size(), 1);
        recording(closed.at(0).at(0).toString(), 0);
    }
};

CASTORA_TEST_MAIN(BroadcastLiveTest)
#include "tst_broadcast_live.moc"
