#pragma once
// Records every diagnostic (type, category, text) written from any thread
// while it lives, then puts the previous handler back. One at a time.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

class DiagnosticCapture {
public:
    struct Entry {
        QtMsgType type;
        QString category;
        QString text;
    };

    // `passOn`: also hand each diagnostic to the handler that was installed before.
    explicit DiagnosticCapture(bool passOn = false) : m_passOn(passOn)
    {
        s_active = this;
        m_previous = qInstallMessageHandler(&DiagnosticCapture::handler);
    }
    ~DiagnosticCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    DiagnosticCapture(const DiagnosticCapture &) = delete;
    DiagnosticCapture &operator=(const DiagnosticCapture &) = delete;

    QVector<Entry> entries() const
    {
        QMutexLocker lock(&m_mutex);
        return m_entries;
    }
    // Texts in order, optionally only of one type and starting with `prefix`.
    QStringList texts(int type = -1, const QString &prefix = QString()) const
    {
        QStringList out;
        for (const Entry &e : entries())
            if ((type < 0 || int(e.type) == type) && e.text.startsWith(prefix))
                out << e.text;
        return out;
    }
    // Operator-facing errors: criticals of the default category, not trace output.
    QStringList criticals() const
    {
        QStringList out;
        for (const Entry &e : entries())
            if (e.type == QtCriticalMsg && e.category == QLatin1String("default"))
                out << e.text;
        return out;
    }
    int count(const QString &text) const { return int(texts().count(text)); }
    int count(QtMsgType type, const QString &text) const { return int(texts(type).count(text)); }
    bool contains(const QString &text) const { return texts().contains(text); }
    int count() const { return entries().size(); }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_entries.clear();
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &text)
    {
        DiagnosticCapture *self = s_active;
        if (!self)
            return;
        {
            QMutexLocker lock(&self->m_mutex);
            self->m_entries.append({type, QString::fromLatin1(ctx.category ? ctx.category : ""), text});
        }
        if (self->m_passOn && self->m_previous)
            self->m_previous(type, ctx, text);
    }

    static inline DiagnosticCapture *s_active = nullptr;
    mutable QMutex m_mutex;
    QVector<Entry> m_entries;
    QtMessageHandler m_previous = nullptr;
    bool m_passOn = false;
};
