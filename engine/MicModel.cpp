#include "MicModel.h"

MicModel::MicModel(QObject *parent)
    : QObject(parent) {
}

MicModel::MicModel(const QString &name, int id, int sampleRate, QObject *parent)
    : QObject(parent)
    , m_micName(name)
    , m_micID(id)
    , m_sampleRate(sampleRate) {
}

void MicModel::setMicName(const QString &name) {
    if (m_micName == name)
        return;
    m_micName = name;
    emit micNameChanged();
}

void MicModel::setMicID(int id) {
    if (m_micID == id)
        return;
    m_micID = id;
    emit micIDChanged();
}

void MicModel::setSampleRate(int rate) {
    if (m_sampleRate == rate)
        return;
    m_sampleRate = rate;
    emit sampleRateChanged();
}
