// BroadcastEngine's capture side: the capture stream (for the meter off air, for the encoder on
// air), the capture callback, and the input watch that feeds silence in place of a microphone
// that is lost (unplugged, broken or stalled) and hands over to it again when it is back.
#include "BroadcastEngine.h"

#include <QDebug>

#include <algorithm>
#include <cstring>
#include <thread>

namespace castora::engine {

namespace {

bool sameDevice(const AudioDevice &a, const AudioDevice &b) {
    return a.id == b.id && a.key == b.key && (!a.key.isEmpty() || a.name == b.name);
}

const char *phaseName(CaptureState::Phase phase) {
    switch (phase) {
    case CaptureState::Phase::Closed:
        return "closed";
    case CaptureState::Phase::Waiting:
        return "waiting for its first buffer";
    case CaptureState::Phase::Delivering:
        return "delivering";
    case CaptureState::Phase::Stalled:
        return "stalled";
    case CaptureState::Phase::Gone:
        return "gone";
    case CaptureState::Phase::Reopened:
        return "opened again";
    }
    return "";
}

} // namespace

std::optional<AudioDevice> BroadcastEngine::resolveDevice(const QString &key, const QString &name) {
    std::optional<AudioDevice> device;
    if (!key.isEmpty() || !name.isEmpty())
        device = findInput(m_input.devices(), key, name);
    if (!device)
        device = m_input.defaultInput();
    return device;
}

CaptureState::Phase BroadcastEngine::capturePhase() {
    std::lock_guard lock(m_encodeMutex);
    return m_capture.phase();
}

// The stream is reopened when it is not on this device at this rate or when it broke. While it
// is being replaced the input watch leaves the capture state alone (it only feeds silence).
bool BroadcastEngine::openCapture(const AudioDevice &device, unsigned int rate,
                                  unsigned int frames) {
    if (m_input.isOpen() && !m_input.failed() && sameDevice(m_openDevice, device) &&
        m_openRate == rate)
        return true;
    unsigned int generation = 0;
    {
        std::lock_guard lock(m_encodeMutex);
        m_switching = true;
        // Buffers still on their way from the stream given up are let go from here on.
        generation = ++m_generation;
    }
    m_input.close();
    // No callback of the old stream gets past its generation check from here on, and none of
    // the new one comes before it starts: the processor is ours to set up once a callback
    // that saw the old generation has finished.
    while (m_inCallback.load() != 0)
        std::this_thread::yield();
    m_voice.configure(rate);
    qInfo() << "About to Open Stream ...!" << device.name << rate;
    m_meter.setSampleRate(rate);
    const bool opened = m_input.open(device, rate, frames,
                                     [this, generation](const qint16 *samples, unsigned int count) {
                                         onCapture(samples, count, generation);
                                     });
    if (opened)
        m_processed.assign(frames, 0);
    std::lock_guard lock(m_encodeMutex);
    m_switching = false;
    if (!opened) {
        qInfo() << "Could not open the capture stream:" << m_input.errorText();
        if (m_capture.lost())
            m_capture.gone();
        else
            m_capture.closed();
        m_openDevice = AudioDevice();
        return false;
    }
    m_openDevice = device;
    m_openRate = rate;
    m_openFrames = frames;
    ++m_captureOpens;
    m_capture.opened(device, rate, frames, Clock::now());
    return true;
}

void BroadcastEngine::closeCapture() {
    {
        std::lock_guard lock(m_encodeMutex);
        ++m_generation;
        m_capture.closed();
    }
    m_openDevice = AudioDevice();
    m_input.close();
}

InputResult BroadcastEngine::openInput(const InputRequest &request) {
    std::lock_guard input(m_inputMutex);
    if (m_onAir)
        return switchInputOnAir(request);
    InputResult result;
    const std::optional<AudioDevice> device = resolveDevice(request.deviceKey, request.deviceName);
    if (!device) {
        // Nothing to capture from; a stream left on a vanished device goes too.
        if (m_input.isOpen())
            closeCapture();
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

// On air the capture goes to the device chosen only (never to some other default), at the
// broadcast's rate, which the encoder was set up for. Silence bridges the time until the new
// stream delivers. Every case in which nothing is done is here, at the top.
InputResult BroadcastEngine::switchInputOnAir(const InputRequest &request) {
    InputResult result;
    result.sampleRate = m_openRate;
    const std::optional<AudioDevice> device =
        findInput(m_input.devices(), request.deviceKey, request.deviceName);
    if (!device) {
        result.failure = InputResult::Failure::NoDevice;
        return result;
    }
    result.device = *device;
    {
        std::lock_guard lock(m_encodeMutex);
        const bool same = sameDevice(m_capture.device(), *device);
        const CaptureState::Phase phase = m_capture.phase();
        // The broadcast's microphone is there and delivering (or about to).
        if (same && !m_capture.lost())
            return result;
        // Opened again already, its first audio on its way (PulseAudio takes up to 2 s); or
        // stalled, and its audio may go on: opening it once more would only start over.
        if (same &&
            (phase == CaptureState::Phase::Reopened || phase == CaptureState::Phase::Stalled))
            return result;
        if (!m_capture.lost()) {
            m_capture.gone();
            loseInput(true);
        }
    }
    unsigned int frames = m_openFrames;
    if (!openCapture(*device, m_openRate, frames)) {
        result.failure = InputResult::Failure::Open;
        result.error = m_input.errorText();
        return result;
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
    std::lock_guard input(m_inputMutex);
    m_inputKept = false;
    if (m_onAir || !m_input.isOpen())
        return;
    closeCapture();
}

void BroadcastEngine::onCapture(const qint16 *samples, unsigned int frames,
                                unsigned int generation) {
    m_inCallback.fetch_add(1);
    if (generation == m_generation.load()) {
        // What goes out: the processed samples while voice processing runs (a buffer larger
        // than the stream's, which no sound system has been seen to deliver, passes as it is).
        const qint16 *heard = samples;
        if (m_voice.isActive() && frames <= m_processed.size()) {
            m_voice.process(samples, m_processed.data(), frames);
            heard = m_processed.data();
        }
        m_meter.publish(heard, frames);
        if (m_accepting.load()) {
            const Clock::time_point at = Clock::now();
            // The input watch holds the encoder only to look at the input, feed a buffer of
            // silence or give the microphone up: never wait for it here.
            std::unique_lock lock(m_encodeMutex, std::try_to_lock);
            if (lock.owns_lock()) {
                takeStash();
                takeAudio(samples, heard, frames, generation, at);
            } else {
                stash(samples, heard, frames, generation, at);
            }
        }
    }
    m_inCallback.fetch_sub(1);
}

void BroadcastEngine::stash(const qint16 *raw, const qint16 *heard, unsigned int frames,
                            unsigned int generation, Clock::time_point at) {
    if (m_stashFull.load(std::memory_order_acquire) || frames > m_stash.size() ||
        frames > m_stashHeard.size()) {
        m_droppedBuffers.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::memcpy(m_stash.data(), raw, frames * sizeof(qint16));
    m_stashProcessed = heard != raw;
    if (m_stashProcessed)
        std::memcpy(m_stashHeard.data(), heard, frames * sizeof(qint16));
    m_stashFrames = frames;
    m_stashGeneration = generation;
    m_stashAt = at;
    m_stashFull.store(true, std::memory_order_release);
}

void BroadcastEngine::takeStash() {
    if (!m_stashFull.load(std::memory_order_acquire))
        return;
    takeAudio(m_stash.data(), m_stashProcessed ? m_stashHeard.data() : m_stash.data(),
              m_stashFrames, m_stashGeneration, m_stashAt);
    m_stashFull.store(false, std::memory_order_release);
}

void BroadcastEngine::resetInputState(Clock::time_point now) {
    m_capture.restartClock(now);
    m_lost = false;
    m_stalled = false;
    m_deadAir = false;
    m_devicesChanged = false;
    m_silenceSinceLoss = 0;
    m_silenceFrames = 0;
    m_zeros.assign(m_openFrames, 0);
    if (m_stash.size() < m_openFrames) {
        m_stash.resize(m_openFrames);
        m_stashHeard.resize(m_openFrames);
    }
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
        // Listeners hear the broadcast from the moment it is live; the recording from the press.
        if (m_sender.live())
            m_sendQueue.push(chunk);
        if (m_recording.load())
            m_recordQueue.push(chunk);
    }
    return true;
}

void BroadcastEngine::takeAudio(const qint16 *raw, const qint16 *heard, unsigned int frames,
                                unsigned int generation, Clock::time_point at) {
    if (generation != m_generation.load())
        return; // the stream was given up while this buffer waited
    if (m_capture.lost()) {
        // The microphone is back: silence up to where this buffer begins (it ends now), so
        // that the stream neither skips nor repeats a moment.
        const quint64 due = silenceDue(at);
        const quint64 before = due > frames ? due - frames : 0;
        if (before > m_silenceSinceLoss)
            feedSilence(before - m_silenceSinceLoss);
    }
    if (m_capture.delivered(at)) {
        qInfo() << "Capture delivers again after" << m_silenceSinceLoss << "frames of silence";
        noteLoss();
    }
    if (encodeLocked(heard, frames))
        m_capturedFrames.fetch_add(frames, std::memory_order_relaxed);
    // Dead air is judged on the microphone itself: the leveler's gain must not hide a silent
    // one.
    m_deadAir = m_quiet.feed(raw, frames);
}

// The capture state has just become lost. A stream given up (`giveUp`) is not heard again even
// if it delivers (PulseAudio may have moved it to another source); a stalled one may go on.
void BroadcastEngine::loseInput(bool giveUp) {
    if (giveUp)
        ++m_generation;
    m_silenceSinceLoss = 0;
    m_quiet.reset();
    m_deadAir = false;
    noteLoss();
}

void BroadcastEngine::noteLoss() {
    m_lost = m_capture.lost();
    m_stalled = m_capture.phase() == CaptureState::Phase::Stalled;
}

quint64 BroadcastEngine::silenceDue(Clock::time_point now) const {
    const Clock::time_point from = m_capture.lastAudio();
    if (now <= from)
        return 0;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - from);
    return quint64(elapsed.count()) * m_capture.rate() / 1000000u;
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
        m_watchWake.notify_all();
    }
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

// One look of the watch: has the broadcast's stream broken, stalled or lost its device, and is
// silence due? All of it under the encoder lock, against the stream the capture state tracks
// (an input switch in progress holds the state still meanwhile).
void BroadcastEngine::checkInput() {
    const bool devicesChanged = m_devicesChanged.exchange(false);
    std::vector<AudioDevice> devices;
    if (devicesChanged)
        devices = m_input.devices();
    std::lock_guard lock(m_encodeMutex);
    takeStash();
    if (m_switching) {
        if (devicesChanged)
            m_devicesChanged = true; // looked at once the new stream is in place
    } else {
        const bool wasLost = m_capture.lost();
        const CaptureState::Phase before = m_capture.phase();
        const CaptureState::Phase after =
            m_capture.look(Clock::now(), m_input.failed(), devicesChanged ? &devices : nullptr);
        if (after != before) {
            qInfo() << "Capture stream" << phaseName(after) << "(was" << phaseName(before) << ")";
            if (!wasLost)
                loseInput(after == CaptureState::Phase::Gone);
            else if (after == CaptureState::Phase::Gone)
                ++m_generation;
            noteLoss();
        }
    }
    if (!m_capture.lost())
        return;
    // One buffer behind the clock: the silence ends where a returning microphone's first
    // buffer begins, which is a buffer before it arrives.
    const quint64 block = m_zeros.size();
    const quint64 due = silenceDue(Clock::now());
    while (block > 0 && due >= m_silenceSinceLoss + 2 * block)
        feedSilence(block);
}

} // namespace castora::engine
