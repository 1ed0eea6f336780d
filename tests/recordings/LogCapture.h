#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

// Collects every log line written while it exists (and still passes them on).
class LogCapture {
public:
    LogCapture() {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

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
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message) {
        LogCapture *capture = s_current;
        if (!capture)
            return;
        {
            QMutexLocker lock(&capture->m_mutex);
            capture->m_lines.append(message);
        }
        if (capture->m_previous)
            capture->m_previous(type, context, message);
    }

    inline static LogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};
