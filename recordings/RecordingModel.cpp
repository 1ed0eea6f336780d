#include "RecordingModel.h"

RecordingModel::RecordingModel(QObject *parent)
    : QObject(parent) {
}

void RecordingModel::setId(int id) {
    if (m_id == id)
        return;
    m_id = id;
    emit idChanged();
}

void RecordingModel::setName(const QString &name) {
    if (m_name == name)
        return;
    m_name = name;
    emit nameChanged();
}

void RecordingModel::setPath(const QString &path) {
    if (m_path == path)
        return;
    m_path = path;
    emit pathChanged();
}

void RecordingModel::setDateCreated(const QString &dateCreated) {
    if (m_dateCreated == dateCreated)
        return;
    m_dateCreated = dateCreated;
    emit dateCreatedChanged();
}

void RecordingModel::setUploadStatus(bool uploadStatus) {
    if (m_uploadStatus == uploadStatus)
        return;
    m_uploadStatus = uploadStatus;
    emit uploadStatusChanged();
}
