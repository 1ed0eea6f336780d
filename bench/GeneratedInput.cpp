#include "GeneratedInput.h"

#include "BenchSupport.h"

#include <QUuid>

#include <cmath>
#include <ctime>

namespace castora::bench {

using Clock = std::chrono::steady_clock;

namespace {

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

lame_t bareEncoder(unsigned int rate, const engine::EncoderSettings &s) {
    lame_t lame = lame_init();
    lame_set_num_channels(lame, 1);
    lame_set_mode(lame, MONO);
    lame_set_in_samplerate(lame, int(rate));
    lame_set_out_samplerate(lame, int(rate));
    lame_set_brate(lame, s.bitrate);
    lame_set_VBR(lame, vbr_off);
    lame_set_quality(lame, s.quality);
    lame_set_bWriteVbrTag(lame, 0);
    lame_init_params(lame);
    return lame;
}

} // namespace

std::vector<qint16> makeAudio(unsigned int rate, double seconds) {
    std::vector<qint16> samples(std::size_t(rate * seconds));
    quint32 seed = 7;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double noise = double(qint32(seed >> 16) - 32768) / 32768.0;
        const double value = 0.4 * std::sin(2.0 * M_PI * 440.0 * double(i) / rate) +
                             0.2 * std::sin(2.0 * M_PI * 1330.0 * double(i) / rate) + 0.05 * noise;
        samples[i] = qint16(std::lround(value * 32767.0));
    }
    return samples;
}

engine::BroadcastRequest benchRequest(quint16 port, int quality, const QString &folder) {
    engine::BroadcastRequest r;
    r.deviceName = GeneratedInput::device().name;
    r.quality = quality;
    r.bufferFrames = kBufferFrames;
    r.icecast.host = QStringLiteral("127.0.0.1");
    r.icecast.port = port;
    r.icecast.password = sourcePassword();
    r.icecast.mount = QStringLiteral("bench-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    r.recordingsFolder = folder;
    r.title = QStringLiteral("Bench");
    return r;
}

GeneratedInput::GeneratedInput(const std::vector<qint16> &audio,
                               std::optional<engine::EncoderSettings> baseline,
                               std::function<bool()> mayFeed)
    : m_audio(audio)
    , m_baseline(baseline)
    , m_mayFeed(std::move(mayFeed)) {
}

GeneratedInput::~GeneratedInput() {
    close();
    if (m_lame)
        lame_close(m_lame);
}

engine::AudioDevice GeneratedInput::device() {
    engine::AudioDevice d;
    d.name = QStringLiteral("Bench Microphone");
    d.inputChannels = 1;
    d.sampleRates = {22050, 44100, 48000};
    d.preferredRate = 44100;
    d.isDefaultInput = true;
    return d;
}

bool GeneratedInput::open(const engine::AudioDevice &, unsigned int sampleRate,
                          unsigned int &frames, Callback callback) {
    m_rate = sampleRate;
    m_frames = frames;
    m_callback = std::move(callback);
    if (m_baseline) {
        m_lame = bareEncoder(sampleRate, *m_baseline);
        m_out.resize(frames * 5 / 4 + 7200);
    }
    m_open = true;
    return true;
}

bool GeneratedInput::start() {
    m_running = true;
    m_thread = std::thread([this] { feed(); });
    return true;
}

void GeneratedInput::stop() {
    m_running = false;
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void GeneratedInput::close() {
    stop();
    m_open = false;
}

// Waits for the next buffer's turn; false once stopped.
bool GeneratedInput::waitForTurn(Clock::time_point &next, Clock::duration period) {
    std::unique_lock lock(m_mutex);
    if (m_mayFeed) {
        while (m_running && !m_mayFeed())
            m_wake.wait_for(lock, std::chrono::milliseconds(1));
        return m_running;
    }
    if (m_wake.wait_until(lock, next, [this] { return !m_running.load(); }))
        return false;
    next += period;
    return true;
}

void GeneratedInput::feed() {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(double(m_frames) / m_rate));
    auto next = Clock::now() + period;
    while (waitForTurn(next, period)) {
        if (m_position + m_frames > m_audio.size())
            m_position = 0;
        const qint16 *samples = m_audio.data() + m_position;
        const bool lameFirst = m_baseline && (m_delivered / m_frames) % 2 == 0;
        if (lameFirst)
            encodeBaseline(samples);
        const double before = threadCpuSeconds();
        m_callback(samples, m_frames);
        m_callbackCpu = m_callbackCpu.load() + (threadCpuSeconds() - before);
        if (m_baseline && !lameFirst)
            encodeBaseline(samples);
        m_position += m_frames;
        m_delivered += m_frames;
    }
}

void GeneratedInput::encodeBaseline(const qint16 *samples) {
    const double before = threadCpuSeconds();
    lame_encode_buffer(m_lame, samples, samples, int(m_frames), m_out.data(), int(m_out.size()));
    m_baselineCpu = m_baselineCpu.load() + (threadCpuSeconds() - before);
}

} // namespace castora::bench
