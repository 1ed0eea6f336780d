// Audio input devices: the microphone list model, the device watch, the chosen microphone
// and its sample rate.
#include "StreamController.h"

#include <QDebug>
#include <QThreadPool>

using namespace castora::engine;

namespace {
// The rows show these devices already: same devices, same names, same order.
bool sameRows(const QList<MicModel *> &rows, const std::vector<AudioDevice> &inputs) {
    if (rows.size() != qsizetype(inputs.size()))
        return false;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const AudioDevice &device = inputs[std::size_t(i)];
        if (rows[i]->micName() != device.name || rows[i]->micID() != int(device.id) ||
            rows[i]->deviceKey() != device.key)
            return false;
    }
    return true;
}

bool sameMic(const MicModel *mic, const MicModel *other) {
    if (!mic->deviceKey().isEmpty() || !other->deviceKey().isEmpty())
        return mic->deviceKey() == other->deviceKey();
    return mic->micName() == other->micName();
}
} // namespace

int StreamController::rowCount(const QModelIndex &) const {
    return int(m_mics.size());
}

QVariant StreamController::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.column() < 0 || index.row() >= m_mics.size())
        return QVariant();
    const MicModel *mic = m_mics.at(index.row());
    switch (role) {
    case MicNameRole:
        return mic->micName();
    case MicIdRole:
        return mic->micID();
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> StreamController::roleNames() const {
    return {{MicNameRole, QByteArrayLiteral("micName")}, {MicIdRole, QByteArrayLiteral("micID")}};
}

void StreamController::setMicList() {
    const std::vector<AudioDevice> inputs = inputDevices(m_input.devices());
    if (inputs.empty())
        return;
    const int first = int(m_mics.size());
    beginInsertRows(QModelIndex(), first, first + int(inputs.size()) - 1);
    for (const AudioDevice &device : inputs)
        m_mics.append(makeMic(device));
    endInsertRows();
    emit currentMicIndexChanged();
}

int StreamController::currentMicIndex() const {
    if (!m_currentMic)
        return -1;
    for (int row = 0; row < m_mics.size(); ++row) {
        if (sameMic(m_mics.at(row), m_currentMic))
            return row;
    }
    return -1;
}

MicModel *StreamController::makeMic(const AudioDevice &device) {
    auto *mic = new MicModel(device.name, int(device.id), int(device.preferredRate), this);
    mic->setDeviceKey(device.key);
    return mic;
}

MicModel *StreamController::makeDefaultMic() {
    if (const std::optional<AudioDevice> device = m_input.defaultInput())
        return makeMic(*device);
    return new MicModel(this);
}

// Runs when the input announces a change and on the 2 s watch timer; reads the input's list as
// it last saw it (no probing of the hardware). While a start or stop is opening or closing the
// capture stream it waits for the job's end (finishJob).
void StreamController::checkForDeviceChanges() {
    m_engine.noteDevicesChanged(); // on air the engine looks for its microphone itself
    if (m_jobActive)
        return;
    const std::vector<AudioDevice> inputs = inputDevices(m_input.devices());
    if (sameRows(m_mics, inputs)) {
        // An input that could not be opened, or a lost one, is tried again.
        if (!m_inputProblem.isEmpty() || m_microphoneLost)
            refreshInput();
        return;
    }
    qInfo() << "Devices changed, updating mic list";
    const QString current = m_currentMic ? m_currentMic->micName() : QString();
    const QString currentKey = m_currentMic ? m_currentMic->deviceKey() : QString();
    beginResetModel();
    for (MicModel *mic : std::as_const(m_mics)) {
        if (mic != m_currentMic)
            mic->deleteLater();
    }
    MicModel *previous = m_currentMic;
    const bool currentWasRow = m_mics.contains(previous);
    m_mics.clear();
    for (const AudioDevice &device : inputs)
        m_mics.append(makeMic(device));
    endResetModel();
    keepCurrentMicAfterRebuild(currentKey, current);
    if (currentWasRow && previous != m_currentMic)
        previous->deleteLater();
    // The rows moved under the chooser, whether or not the microphone changed.
    emit currentMicIndexChanged();
    refreshInput();
}

// The chosen microphone is kept by its key (by its name where the sound system has no keys):
// the same device under a new row (its index may have moved, or it was renamed) stays chosen
// without a change of configuration; a device that is gone gives way to the default input,
// except on air: there it stays chosen while it is away, and capture resumes on it when it
// comes back (unless the user chooses another).
void StreamController::keepCurrentMicAfterRebuild(const QString &key, const QString &name) {
    for (MicModel *mic : std::as_const(m_mics)) {
        if (key.isEmpty() ? mic->micName() == name : mic->deviceKey() == key) {
            if (m_currentMic != m_defaultMic) {
                // Same device, new record: nothing to configure again.
                m_currentMic = mic;
                emit currentMicChanged();
            } else {
                m_defaultMic->setMicID(mic->micID());
                m_defaultMic->setMicName(mic->micName());
            }
            return;
        }
    }
    if (m_streaming && !name.isEmpty()) {
        // No longer a row: held like the default input's record.
        if (m_currentMic != m_defaultMic) {
            MicModel *previousDefault = m_defaultMic;
            m_defaultMic = m_currentMic;
            if (previousDefault && previousDefault->parent() == this)
                previousDefault->deleteLater();
        }
        return;
    }
    if (!name.isEmpty())
        qInfo() << "Microphone" << name << "is gone; using the default input";
    setCurrentMic(makeDefaultMic());
}

// After a broadcast: a microphone lost on air and still gone gives way to the default input.
void StreamController::dropLostMic() {
    if (m_streaming || !m_currentMic || m_currentMic->micName().isEmpty())
        return;
    if (!findInput(m_input.devices(), m_currentMic->deviceKey(), m_currentMic->micName()))
        keepCurrentMicAfterRebuild(m_currentMic->deviceKey(), m_currentMic->micName());
}

void StreamController::changeMic(int index) {
    // Choosing another input stops a broadcast, except while its microphone is lost: then the
    // broadcast goes on with the input chosen.
    if (m_streaming && !m_microphoneLost)
        startStop();
    if (index < 0 || index >= m_mics.size())
        return;
    setCurrentMic(m_mics.at(index));
}

void StreamController::setCurrentMic(MicModel *mic) {
    if (m_currentMic == mic)
        return;
    MicModel *previousDefault = m_defaultMic;
    m_currentMic = mic;
    if (mic && !m_mics.contains(mic))
        m_defaultMic = mic;
    else if (mic)
        m_defaultMic = nullptr;
    qInfo() << "Mic  has  changed ...!\n";
    setInitialized(false);
    emit currentMicChanged();
    emit currentMicIndexChanged();
    if (previousDefault && previousDefault != m_defaultMic && previousDefault->parent() == this)
        previousDefault->deleteLater();
    refreshInput();
}

unsigned int StreamController::determineSampleRate() {
    if (!m_currentMic)
        return 44100;
    const std::optional<AudioDevice> device =
        findInput(m_input.devices(), m_currentMic->deviceKey(), m_currentMic->micName());
    if (!device || device->sampleRates.empty())
        return 44100;
    for (unsigned int rate : device->sampleRates)
        qInfo() << "Sample Rate: " << rate;
    return chooseSampleRate(device->sampleRates, m_streamQuality);
}

void StreamController::showInputLevel(bool shown) {
    m_levelScreens = std::max(0, m_levelScreens + (shown ? 1 : -1));
    refreshInput();
}

// The capture stream as it should be now: off air, running for the meter while a screen shows
// it and closed when none does any more; on air, opened again while the microphone is lost.
// One input job at a time on the pool (opening may wait for the sound system); a request that
// comes meanwhile runs after it. Start and stop jobs come first: finishJob() asks again.
void StreamController::refreshInput() {
    if (m_jobActive)
        return;
    if (m_inputJobActive) {
        m_inputJobAgain = true;
        return;
    }
    bool open = true;
    if (m_streaming) {
        if (!m_engine.microphoneLost())
            return;
    } else if (m_levelScreens == 0) {
        if (!m_engine.inputKept())
            return;
        open = false;
    }
    InputRequest request;
    request.deviceName = m_currentMic ? m_currentMic->micName() : QString();
    request.deviceKey = m_currentMic ? m_currentMic->deviceKey() : QString();
    request.quality = m_streamQuality;
    request.bufferFrames = m_bufferFrames;
    m_inputJobActive = true;
    runOnPool([this, request, open] {
        InputResult result;
        if (open)
            result = m_engine.openInput(request);
        else
            m_engine.closeInput();
        QMetaObject::invokeMethod(
            this, [this, result, open] { applyInput(result, open); }, Qt::QueuedConnection);
    });
}

void StreamController::applyInput(const InputResult &result, bool opened) {
    m_inputJobActive = false;
    QString problem;
    if (opened && !m_streaming) {
        switch (result.failure) {
        case InputResult::Failure::None:
            break;
        case InputResult::Failure::NoDevice:
            problem = tr("No microphone found. Connect one to check its level here.");
            break;
        case InputResult::Failure::Open:
        case InputResult::Failure::Start:
            problem = tr("The microphone could not be opened. Check that no other program "
                         "holds it.");
            break;
        }
    }
    if (problem != m_inputProblem && !problem.isEmpty())
        qInfo() << "Input check:" << problem << result.error;
    setInputProblem(problem);
    if (m_inputJobAgain) {
        m_inputJobAgain = false;
        refreshInput();
    }
}

void StreamController::runOnPool(std::function<void()> job) {
    {
        std::lock_guard lock(m_poolMutex);
        ++m_poolJobs;
    }
    QThreadPool::globalInstance()->start([this, job = std::move(job)] {
        job();
        std::lock_guard lock(m_poolMutex);
        --m_poolJobs;
        m_poolDone.notify_all();
    });
}
