#include "MessageModel.h"

MessageModel::MessageModel(QObject *parent)
    : QObject(parent) {
}

void MessageModel::setId(int id) {
    if (m_id == id)
        return;
    m_id = id;
    emit idChanged();
}

void MessageModel::setSender(const QString &sender) {
    if (m_sender == sender)
        return;
    m_sender = sender;
    emit senderChanged();
}

void MessageModel::setMessageText(const QString &messageText) {
    if (m_messageText == messageText)
        return;
    m_messageText = messageText;
    emit messageTextChanged();
}

void MessageModel::setCreatedAt(const QString &createdAt) {
    if (m_createdAt == createdAt)
        return;
    m_createdAt = createdAt;
    emit createdAtChanged();
}
