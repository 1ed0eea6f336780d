#pragma once

#include <QObject>
#include <QString>

// One chat message: who wrote it, what, and when (as display text, not a timestamp).
class MessageModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(int id READ id WRITE setId NOTIFY idChanged)
    Q_PROPERTY(QString sender READ sender WRITE setSender NOTIFY senderChanged)
    Q_PROPERTY(QString messageText READ messageText WRITE setMessageText NOTIFY messageTextChanged)
    Q_PROPERTY(QString createdAt READ createdAt WRITE setCreatedAt NOTIFY createdAtChanged)

public:
    explicit MessageModel(QObject *parent = nullptr);

    int id() const { return m_id; }
    QString sender() const { return m_sender; }
    QString messageText() const { return m_messageText; }
    QString createdAt() const { return m_createdAt; }

    void setId(int id);
    void setSender(const QString &sender);
    void setMessageText(const QString &messageText);
    void setCreatedAt(const QString &createdAt);

signals:
    void idChanged();
    void senderChanged();
    void messageTextChanged();
    void createdAtChanged();

private:
    int m_id = 0;
    QString m_sender;
    QString m_messageText;
    QString m_createdAt;
};
