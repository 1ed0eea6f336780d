#pragma once

#include "BroadcastEngine.h"
#include "LocalServices.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class StreamController;

// Steps and checks shared by the tests that broadcast for real (RtAudio on a PulseAudio
// virtual microphone, a real icecast2, the stand-in backend).
namespace castora::test::live {

// Presses Start and waits until the broadcast records (and, `untilLive`, the server has taken
// it) and the job is done.
bool pressStart(StreamController &controller, int timeoutMs = 15000, bool untilLive = true);
// Presses Stop and waits until the broadcast is off air and its notices are answered.
bool pressStop(StreamController &controller, int timeoutMs = 20000);

// A listener of `mount` hears the 440 Hz tone the tests play, within `seconds`.
bool hearsTone(const IcecastServer &icecast, const QString &mount, StreamController &controller,
               double seconds = 3.0);

// The recording at `path` of the broadcast `engine` just had decodes at `rate` without errors
// and holds every frame encoded (captured, and silence for a lost microphone), plus the
// encoder's delay and its flushed tail, give or take
// `slack` frames. An empty string when it does, what is wrong otherwise; `decoded` receives
// the audio.
QString checkRecording(const QString &path, const engine::BroadcastEngine &engine, int rate,
                       std::size_t slack, audio::Decoded *decoded = nullptr);

// The network bar's states as the GUI thread sees them change ("loss", "restored", "hidden"):
// when on `clock` each began, every time it did; nothing is noted before the bar first shows.
struct BarWatch : QObject {
    BarWatch(StreamController &controller, const QElapsedTimer &clock);
    QList<qint64> times(const QString &state) const { return m_times.value(state); }

private:
    QHash<QString, QList<qint64>> m_times;
    QString m_state = QStringLiteral("hidden");
};

} // namespace castora::test::live
