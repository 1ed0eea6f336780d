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
    // Index of the first line that contains `text`, -1 when none does.
    int indexOf(const QString &text) const {
        const QStringList all = lines();
        for (int i = 0; i < all.size(); ++i) {
            if (all.at(i).contains(text))
                return i;
        }
        return -1;
    }
    bool contains(const QString &text) const { return indexOf(text) >= 0; }

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
