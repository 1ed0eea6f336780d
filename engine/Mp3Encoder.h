#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

struct lame_global_struct;

namespace castora::engine {

// MP3 settings of a quality choice: 0 "Premium" 192 kbit/s, 1 "High" 128, 2 "Standard" 96,
// 3 "Low" 64; any other value is treated as Premium. LAME quality: 0 best .. 9 fastest.
struct EncoderSettings {
    int bitrate = 96; // kbit/s, constant
    int quality = 5;
};
EncoderSettings settingsForQuality(int streamQuality);

// One mono MP3 encoder (LAME). A new encoder is configured for every broadcast: after its
// final flush LAME cannot go on encoding, and a fresh one carries nothing of the last stream.
//
// The output area is sized once per configuration for the largest buffer announced
// (1.25 x samples + 7200 bytes, LAME's worst case), so no buffer is ever refused for lack of
// room and nothing is allocated per buffer except the chunk handed out.
class Mp3Encoder {
public:
    Mp3Encoder();
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder &) = delete;
    Mp3Encoder &operator=(const Mp3Encoder &) = delete;

    // Replaces any earlier encoder. `maxFrames` is the largest buffer expected; longer
    // buffers are still taken, encoded in pieces.
    bool configure(unsigned int sampleRate, const EncoderSettings &settings,
                   unsigned int maxFrames);
    bool isConfigured() const { return m_lame != nullptr; }

    // Encodes `frames` samples; `chunk` receives the MP3 bytes (often a few frames, possibly
    // none while LAME holds samples back). False on an encoder error.
    bool encode(const qint16 *samples, unsigned int frames, QByteArray &chunk);
    // The samples LAME still holds, padded to whole frames. The encoder is spent afterwards.
    QByteArray flush();
    void release();

    // Samples of delay at the start of the decoded stream and samples per MP3 frame.
    int encoderDelay() const { return m_delay; }
    int frameSize() const { return m_frameSize; }
    unsigned int sampleRate() const { return m_sampleRate; }
    QString errorText() const { return m_error; }

    // LAME's worst-case output for `frames` samples.
    static std::size_t outputBound(unsigned int frames);

private:
    lame_global_struct *m_lame = nullptr;
    std::vector<unsigned char> m_output;
    unsigned int m_maxFrames = 0;
    unsigned int m_sampleRate = 0;
    int m_delay = 0;
    int m_frameSize = 0;
    QString m_error;
};

} // namespace castora::engine
