#pragma once
// Diagnostics of the test process itself, recorded while a capture lives.

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

// Records every diagnostic while alive and passes it on.
class MessageCapture {
public:
    MessageCapture() : m_prev(qInstallMessageHandler(handler)) { s_active = this; }
    ~MessageCapture() {
        qInstallMessageHandler(m_prev);
        s_active = nullptr;
    }
    int count(QtMsgType type, const QString &text) const {
        int n = 0;
        for (const auto &e : entries)
            n += e.first == type && e.second == text;
        return n;
    }
    QStringList texts(QtMsgType type, const QString &prefix) const {
        QStringList out;
        for (const auto &e : entries)
            if (e.first == type && e.second.startsWith(prefix))
                out << e.second;
        return out;
    }
    QVector<QPair<QtMsgType, QString>> entries;

private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &text) {
        if (!s_active)
            return;
        s_active->entries.append({type, text});
        if (s_active->m_prev)
            s_active->m_prev(type, ctx, text);
    }
    static inline MessageCapture *s_active = nullptr;
    QtMessageHandler m_prev;
};
