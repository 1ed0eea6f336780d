#pragma once

#include <QMutex>
#include <QStringList>
#include <QtGlobal>

// Collects every log line written while it exists (and still passes them on).
class LogCapture {
public:
    LogCapture() { s_current = this; }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }

    QStringList lines() const {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    // Whether a line contains `text`.
    bool contains(const QString &text) const { return !lines().filter(text).isEmpty(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text) {
        LogCapture *capture = s_current;
        if (!capture)
            return;
        capture->m_mutex.lock();
        capture->m_lines.append(text);
        capture->m_mutex.unlock();
        if (capture->m_previous)
            capture->m_previous(type, context, text);
    }

    inline static LogCapture *s_current = nullptr;
    const QtMessageHandler m_previous = qInstallMessageHandler(&LogCapture::handle);
    mutable QMutex m_mutex;
    QStringList m_lines;
};
