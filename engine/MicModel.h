#pragma once

#include <QObject>
#include <QString>

// One audio input device as the device chooser shows it.
class MicModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString micName READ micName WRITE setMicName NOTIFY micNameChanged)
    Q_PROPERTY(int micID READ micID WRITE setMicID NOTIFY micIDChanged)
    Q_PROPERTY(int sampleRate READ sampleRate WRITE setSampleRate NOTIFY sampleRateChanged)

public:
    explicit MicModel(QObject *parent = nullptr);
    MicModel(const QString &name, int id, int sampleRate, QObject *parent = nullptr);

    QString micName() const { return m_micName; }
    int micID() const { return m_micID; }
    int sampleRate() const { return m_sampleRate; }

    void setMicName(const QString &name);
    void setMicID(int id);
    void setSampleRate(int rate);

    // The sound system's own name for the device (AudioDevice::key), by which it is found
    // again when unplugged and plugged in or renamed; empty where the system has none.
    QString deviceKey() const { return m_deviceKey; }
    void setDeviceKey(const QString &key) { m_deviceKey = key; }

signals:
    void micNameChanged();
    void micIDChanged();
    void sampleRateChanged();

private:
    QString m_micName;
    int m_micID = 0;
    int m_sampleRate = 0;
    QString m_deviceKey;
};
