// Audio input devices: the microphone list model, the device watch, the chosen microphone
// and its sample rate.
#include "StreamController.h"

#include <QDebug>

using namespace castora::engine;

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
        m_mics.append(new MicModel(device.name, int(device.id), int(device.preferredRate), this));
    endInsertRows();
    emit currentMicIndexChanged();
}

int StreamController::currentMicIndex() const {
    if (!m_currentMic)
        return -1;
    for (int row = 0; row < m_mics.size(); ++row) {
        if (m_mics.at(row)->micName() == m_currentMic->micName())
            return row;
    }
    return -1;
}

MicModel *StreamController::makeDefaultMic() {
    auto *mic = new MicModel(this);
    if (const std::optional<AudioDevice> device = m_input.defaultInput()) {
        mic->setMicName(device->name);
        mic->setMicID(int(device->id));
        mic->setSampleRate(int(device->preferredRate));
    }
    return mic;
}

// Runs when the input announces a change and on the 2 s watch timer; reads the input's list as
// it last saw it (no probing of the hardware). While a start or stop is opening or closing the
// capture stream it waits for the job's end (finishJob).
void StreamController::checkForDeviceChanges() {
    if (m_jobActive)
        return;
    const std::vector<AudioDevice> inputs = inputDevices(m_input.devices());
    if (int(inputs.size()) == m_mics.size())
        return;
    qInfo() << "Device count changed, updating mic list";
    const QString current = m_currentMic ? m_currentMic->micName() : QString();
    beginResetModel();
    for (MicModel *mic : std::as_const(m_mics)) {
        if (mic != m_currentMic)
            mic->deleteLater();
    }
    MicModel *previous = m_currentMic;
    const bool currentWasRow = m_mics.contains(previous);
    m_mics.clear();
    for (const AudioDevice &device : inputs)
        m_mics.append(new MicModel(device.name, int(device.id), int(device.preferredRate), this));
    endResetModel();
    keepCurrentMicAfterRebuild(current);
    if (currentWasRow && previous != m_currentMic)
        previous->deleteLater();
    // The rows moved under the chooser, whether or not the microphone changed.
    emit currentMicIndexChanged();
}

// The chosen microphone is kept by its name: the same device under a new row (its index may
// have moved) stays chosen without a change of configuration; a device that is gone gives way
// to the default input.
void StreamController::keepCurrentMicAfterRebuild(const QString &name) {
    const std::vector<AudioDevice> devices = m_input.devices();
    for (MicModel *mic : std::as_const(m_mics)) {
        if (mic->micName() == name) {
            if (m_currentMic != m_defaultMic) {
                // Same device, new record: nothing to configure again.
                m_currentMic = mic;
                emit currentMicChanged();
            } else if (const auto device = findInput(devices, name)) {
                m_defaultMic->setMicID(int(device->id));
            }
            return;
        }
    }
    if (!name.isEmpty())
        qInfo() << "Microphone" << name << "is gone; using the default input";
    setCurrentMic(makeDefaultMic());
}

void StreamController::changeMic(int index) {
    if (m_streaming)
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
}

unsigned int StreamController::determineSampleRate() {
    if (!m_currentMic)
        return 44100;
    const std::optional<AudioDevice> device = findInput(m_input.devices(), m_currentMic->micName());
    if (!device || device->sampleRates.empty())
        return 44100;
    for (unsigned int rate : device->sampleRates)
        qInfo() << "Sample Rate: " << rate;
    return chooseSampleRate(device->sampleRates, m_streamQuality);
}
