// BroadcastEngine's capture side: the capture stream (for the meter off air, for the encoder on
// air), the capture callback, and the input watch that feeds silence in place of a lost
// microphone and hands over to it again when it is back.
#include "BroadcastEngine.h"

#include <QDebug>

#include <algorithm>
#include <cstring>

namespace castora::engine {

std::optional<AudioDevice> BroadcastEngine::resolveDevice(const QString &name) {
    std::optional<AudioDevice> device;
    if (!name.isEmpty())
        device = findInput(m_input.devices(), name);
    if (!device)
        device = m_input.defaultInput();
    return device;
}

bool BroadcastEngine::openCapture(const AudioDevice &device, unsigned int rate,
                                  unsigned int frames) {
    if (m_input.isOpen() && !m_input.failed() && m_openDeviceName == device.name &&
        m_openDeviceId == device.id && m_openRate == rate)
        return true;
    // Buffers still on their way from the stream given up are let go from here on.
    const unsigned int generation = ++m_generation;
    m_input.close();
    qInfo() << "About to Open Stream ...!" << device.name << rate;
    m_meter.setSampleRate(rate);
    if (!m_input.open(device, rate, frames,
                      [this, generation](const qint16 *samples, unsigned int count) {
                          onCapture(samples, count, generation);
                      })) {
        qInfo() << "Could not open the capture stream:" << m_input.errorText();
        return false;
    }
    m_openDeviceName = device.name;
    m_openDeviceId = device.id;
    m_openRate = rate;
    m_openFrames = frames;
    ++m_captureOpens;
    return true;
}

InputResult BroadcastEngine::openInput(const InputRequest &request) {
    std::lock_guard job(m_jobMutex);
    if (m_onAir)
        return switchInputOnAir(request);
    InputResult result;
    const std::optional<AudioDevice> device = resolveDevice(request.deviceName);
    if (!device) {
        // Nothing to capture from; a stream left on a vanished device goes too.
        if (m_input.isOpen()) {
            ++m_generation;
            m_input.close();
        }
        result.failure = InputResult::Failure::NoDevice;
        return result;
    }
    result.device = *device;
    result.sampleRate = chooseSampleRate(device->sampleRates, request.quality);
    if (!openCapture(*device, result.sampleRate, request.bufferFrames)) {
        result.failure = InputResult::Failure::Open;
        result.error = m_input.errorText();
        return result;
    }
    // A stream that runs is left running: stopping and starting it again costs PulseAudio's
    // first-data delay once more.
    if (!m_input.isRunning() && !m_input.start()) {
        result.failure = InputResult::Failure::Start;
        result.error = m_input.errorText();
        qInfo() << "Could not start the capture stream:" << result.error;
        return result;
    }
    m_inputKept = true;
    return result;
}

// On air the capture goes to the device of that name only (never to some other default), at
// the broadcast's rate, which the encoder was set up for. Silence bridges the time until the new
// stream delivers.
InputResult BroadcastEngine::switchInputOnAir(const InputRequest &request) {
    InputResult result;
    result.sampleRate = m_openRate;
    const std::optional<AudioDevice> device = findInput(m_input.devices(), request.deviceName);
    if (!device) {
        result.failure = InputResult::Failure::NoDevice;
        return result;
    }
    result.device = *device;
    {
        std::lock_guard lock(m_encodeMutex);
        if (!m_lost && m_watchedName == device->name && !m_input.failed())
            return result; // the broadcast's microphone is there and delivering
        // Opened again already: its first audio is on its way (PulseAudio takes up to 1.8 s),
        // and opening it once more would only start that wait over.
        if (m_lost && m_reopenedGeneration == m_generation.load() &&
            m_watchedName == device->name && m_input.isRunning() && !m_input.failed())
            return result;
        if (!m_lost)
            loseInput();
    }
    unsigned int frames = m_openFrames;
    m_input.close();
    if (!openCapture(*device, m_openRate, frames)) {
        result.failure = InputResult::Failure::Open;
        result.error = m_input.errorText();
        return result;
    }
    {
        std::lock_guard lock(m_encodeMutex);
        takeStash(); // whatever the old stream left is let go (its generation is gone)
        if (m_stash.size() < m_openFrames)
            m_stash.resize(m_openFrames);
        m_watchedName = device->name;
        m_reopenedGeneration = m_generation.load();
    }
    if (!m_input.start()) {
        result.failure = InputResult::Failure::Start;
        result.error = m_input.errorText();
        qInfo() << "Could not start the capture stream:" << result.error;
        return result;
    }
    qInfo() << "Capture reopened on air on" << device->name << "at" << m_openRate;
    return result;
}

void BroadcastEngine::closeInput() {
    std::lock_guard job(m_jobMutex);
    m_inputKept = false;
    if (m_onAir || !m_input.isOpen())
        return;
    ++m_generation;
    m_input.close();
}

void BroadcastEngine::onCapture(const qint16 *samples, unsigned int frames,
                                unsigned int generation) {
    m_inCallback.fetch_add(1);
    if (generation == m_generation.load()) {
        m_meter.publish(samples, frames);
        if (m_accepting.load()) {
            const Clock::time_point at = Clock::now();
            // The input watch holds the encoder only to feed a buffer of silence or to give
            // the microphone up: never wait for it here.
            std::unique_lock lock(m_encodeMutex, std::try_to_lock);
            if (lock.owns_lock()) {
                takeStash();
                takeAudio(samples, frames, generation, at);
            } else {
                stash(samples, frames, generation, at);
            }
        }
    }
    m_inCallback.fetch_sub(1);
}

void BroadcastEngine::stash(const qint16 *samples, unsigned int frames, unsigned int generation,
                            Clock::time_point at) {
    if (m_stashFull.load(std::memory_order_acquire) || frames > m_stash.size()) {
        m_droppedBuffers.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::memcpy(m_stash.data(), samples, frames * sizeof(qint16));
    m_stashFrames = frames;
    m_stashGeneration = generation;
    m_stashAt = at;
    m_stashFull.store(true, std::memory_order_release);
}

void BroadcastEngine::takeStash() {
    if (!m_stashFull.load(std::memory_order_acquire))
        return;
    takeAudio(m_stash.data(), m_stashFrames, m_stashGeneration, m_stashAt);
    m_stashFull.store(false, std::memory_order_release);
}

void BroadcastEngine::resetInputState(Clock::time_point now) {
    m_lost = false;
    m_deadAir = false;
    m_devicesChanged = false;
    m_audioAt = now;
    m_silenceSinceLoss = 0;
    m_silenceFrames = 0;
    m_watchedName = m_openDeviceName;
    m_watchRate = m_openRate;
    m_zeros.assign(m_openFrames, 0);
    if (m_stash.size() < m_openFrames)
        m_stash.resize(m_openFrames);
    m_stashFull = false;
    m_quiet.setSampleRate(m_openRate);
    m_quiet.reset();
}

bool BroadcastEngine::encodeLocked(const qint16 *samples, unsigned int frames) {
    QByteArray chunk;
    if (!m_encoder.encode(samples, frames, chunk)) {
        m_droppedBuffers.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (!chunk.isEmpty()) {
        m_sendQueue.push(chunk);
        if (m_recording.load())
            m_recordQueue.push(chunk);
    }
    return true;
}

void BroadcastEngine::takeAudio(const qint16 *samples, unsigned int frames, unsigned int generation,
                                Clock::time_point at) {
    if (generation != m_generation.load())
        return; // the stream was given up while this buffer waited
    if (m_lost) {
        // The microphone is back: silence up to where its first buffer begins (it ends now),
        // so that the stream neither skips nor repeats a moment.
        const quint64 due = silenceDue(at);
        const quint64 before = due > frames ? due - frames : 0;
        if (before > m_silenceSinceLoss)
            feedSilence(before - m_silenceSinceLoss);
        m_lost = false;
    }
    if (encodeLocked(samples, frames))
        m_capturedFrames.fetch_add(frames, std::memory_order_relaxed);
    m_deadAir = m_quiet.feed(samples, frames);
    m_audioAt = at;
}

void BroadcastEngine::loseInput() {
    m_lost = true;
    ++m_generation; // a stream still delivering (PulseAudio moved it elsewhere) is not heard
    m_silenceSinceLoss = 0;
    m_quiet.reset();
    m_deadAir = false;
}

quint64 BroadcastEngine::silenceDue(Clock::time_point now) const {
    if (now <= m_audioAt)
        return 0;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_audioAt);
    return quint64(elapsed.count()) * m_watchRate / 1000000u;
}

void BroadcastEngine::feedSilence(quint64 frames) {
    while (frames > 0 && !m_zeros.empty()) {
        const unsigned int piece = unsigned(std::min<quint64>(frames, m_zeros.size()));
        if (encodeLocked(m_zeros.data(), piece))
            m_silenceFrames.fetch_add(piece, std::memory_order_relaxed);
        m_silenceSinceLoss += piece;
        frames -= piece;
    }
}

void BroadcastEngine::startWatch() {
    {
        std::lock_guard lock(m_watchMutex);
        m_watching = true;
    }
    m_watch = std::thread([this] { watchInput(); });
}

void BroadcastEngine::stopWatch() {
    {
        std::lock_guard lock(m_watchMutex);
        m_watching = false;
    }
    m_watchWake.notify_all();
    if (m_watch.joinable())
        m_watch.join();
}

void BroadcastEngine::watchInput() {
    std::unique_lock lock(m_watchMutex);
    while (m_watching) {
        m_watchWake.wait_for(lock, m_lost.load() ? kWatchTick : kWatchLook, [this] {
            return !m_watching || (!m_lost.load() && m_devicesChanged.load());
        });
        if (!m_watching)
            break;
        lock.unlock();
        checkInput();
        lock.lock();
    }
}

// One look of the watch: is the broadcast's microphone still there, and is silence due?
void BroadcastEngine::checkInput() {
    // What is seen here is acted on only if nothing changed while waiting for the encoder: the
    // microphone may come back (its first buffer ends the loss) or be opened again meanwhile,
    // and giving up that new stream would leave the broadcast on silence for good.
    const unsigned int generation = m_generation.load();
    const bool lost = m_lost.load();
    if (!lost) {
        // A stream that broke delivers nothing more; a device that went away may leave its
        // stream moved to another input by PulseAudio, which is not what the user chose.
        bool gone = m_input.failed();
        if (!gone && m_devicesChanged.exchange(false)) {
            QString name;
            {
                std::lock_guard lock(m_encodeMutex);
                name = m_watchedName;
            }
            gone = !findInput(m_input.devices(), name).has_value();
        }
        if (!gone)
            return;
    }
    std::lock_guard lock(m_encodeMutex);
    takeStash();
    if (m_generation.load() != generation || m_lost.load() != lost)
        return;
    if (!lost) {
        loseInput();
        return;
    }
    // One buffer behind the clock: the silence ends where a returning microphone's first
    // buffer begins, which is a buffer before it arrives.
    const quint64 block = m_zeros.size();
    const quint64 due = silenceDue(Clock::now());
    while (block > 0 && due >= m_silenceSinceLoss + 2 * block)
        feedSilence(block);
}

} // namespace castora::engine
