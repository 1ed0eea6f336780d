#include "Mp3Encoder.h"

#include <lame/lame.h>

#include <algorithm>

namespace castora::engine {

EncoderSettings settingsForQuality(int streamQuality) {
    switch (streamQuality) {
    case 1:
        return {128, 2};
    case 2:
        return {96, 5};
    case 3:
        return {64, 7};
    default:
        return {192, 2};
    }
}

std::size_t Mp3Encoder::outputBound(unsigned int frames) {
    return static_cast<std::size_t>(frames) * 5 / 4 + 7200 + 1;
}

Mp3Encoder::Mp3Encoder() = default;

Mp3Encoder::~Mp3Encoder() {
    release();
}

void Mp3Encoder::release() {
    if (m_lame) {
        lame_close(m_lame);
        m_lame = nullptr;
    }
}

bool Mp3Encoder::configure(unsigned int sampleRate, const EncoderSettings &settings,
                           unsigned int maxFrames) {
    release();
    m_error.clear();
    m_sampleRate = sampleRate;
    m_maxFrames = std::max(1u, maxFrames);
    m_lame = lame_init();
    if (!m_lame) {
        m_error = QStringLiteral("The MP3 encoder could not be created");
        return false;
    }
    lame_set_num_channels(m_lame, 1);
    lame_set_mode(m_lame, MONO);
    lame_set_in_samplerate(m_lame, static_cast<int>(sampleRate));
    lame_set_out_samplerate(m_lame, static_cast<int>(sampleRate));
    lame_set_brate(m_lame, settings.bitrate);
    lame_set_VBR(m_lame, vbr_off);
    lame_set_quality(m_lame, settings.quality);
    // A stream has no place for the Xing/Info frame LAME would reserve at its head.
    lame_set_bWriteVbrTag(m_lame, 0);
    if (lame_init_params(m_lame) < 0) {
        m_error = QStringLiteral("The MP3 encoder refused %1 Hz at %2 kbit/s")
                      .arg(sampleRate)
                      .arg(settings.bitrate);
        release();
        return false;
    }
    m_delay = lame_get_encoder_delay(m_lame);
    m_frameSize = lame_get_framesize(m_lame);
    // Room for the largest buffer; also covers the flush, which needs 7200 bytes.
    m_output.assign(outputBound(m_maxFrames), 0);
    return true;
}

bool Mp3Encoder::encode(const qint16 *samples, unsigned int frames, QByteArray &chunk) {
    chunk.clear();
    if (!m_lame)
        return false;
    unsigned int done = 0;
    while (done < frames) {
        const unsigned int piece = std::min(frames - done, m_maxFrames);
        const int bytes =
            lame_encode_buffer(m_lame, samples + done, samples + done, static_cast<int>(piece),
                               m_output.data(), static_cast<int>(m_output.size()));
        if (bytes < 0)
            return false;
        if (bytes > 0) {
            const char *data = reinterpret_cast<const char *>(m_output.data());
            if (chunk.isEmpty())
                chunk = QByteArray(data, bytes);
            else
                chunk.append(data, bytes);
        }
        done += piece;
    }
    return true;
}

QByteArray Mp3Encoder::flush() {
    if (!m_lame)
        return QByteArray();
    const int bytes = lame_encode_flush(m_lame, m_output.data(), static_cast<int>(m_output.size()));
    release();
    if (bytes <= 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(m_output.data()), bytes);
}

} // namespace castora::engine
