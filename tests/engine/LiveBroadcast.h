#pragma once

#include "LocalServices.h"

#include <QString>

class StreamController;

// Steps and checks shared by the tests that broadcast for real (RtAudio on a PulseAudio
// virtual microphone, a real icecast2, the stand-in backend).
namespace castora::test::live {

// Presses Start and waits until the broadcast is on air and the job is done.
bool pressStart(StreamController &controller, int timeoutMs = 15000);
// Presses Stop and waits until the broadcast is off air and its notices are answered.
bool pressStop(StreamController &controller, int timeoutMs = 20000);

// What a listener of `mount` hears in `seconds`: the dominant frequency of the decoded audio.
double heardFrequency(const IcecastServer &icecast, const QString &mount, double seconds,
                      int sampleRate);

// The recording at `path` of the broadcast the controller just had decodes without errors and
// holds every captured frame, plus the encoder's delay and its flushed tail, give or take
// `slack` frames. An empty string when it does, what is wrong otherwise; `decoded` receives
// the audio.
QString checkRecording(const QString &path, StreamController &controller, std::size_t slack,
                       audio::Decoded *decoded = nullptr);

} // namespace castora::test::live
