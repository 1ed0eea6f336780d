#pragma once

#include <QObject>
#include <QString>

// One row of the recordings table as the list shows it.
class RecordingModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(int id READ id WRITE setId NOTIFY idChanged FINAL)
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged FINAL)
    Q_PROPERTY(QString path READ path WRITE setPath NOTIFY pathChanged FINAL)
    Q_PROPERTY(
        QString dateCreated READ dateCreated WRITE setDateCreated NOTIFY dateCreatedChanged FINAL)
    Q_PROPERTY(
        bool uploadStatus READ uploadStatus WRITE setUploadStatus NOTIFY uploadStatusChanged FINAL)

public:
    explicit RecordingModel(QObject *parent = nullptr);

    int id() const { return m_id; }
    QString name() const { return m_name; }
    QString path() const { return m_path; }
    QString dateCreated() const { return m_dateCreated; }
    bool uploadStatus() const { return m_uploadStatus; }

    void setId(int id);
    void setName(const QString &name);
    void setPath(const QString &path);
    void setDateCreated(const QString &dateCreated);
    void setUploadStatus(bool uploadStatus);

signals:
    void idChanged();
    void nameChanged();
    void pathChanged();
    void dateCreatedChanged();
    void uploadStatusChanged();

private:
    int m_id = 0;
    QString m_name;
    QString m_path;
    QString m_dateCreated;
    bool m_uploadStatus = false;
};
