#pragma once
// The numbers a monitoring system scrapes, in the Prometheus text exposition
// format. Nothing is counted here: each family reads its values from their
// owners when a scrape comes (plain integers of the hub's thread, atomics or
// locked accessors of other threads), so counting costs the message path
// nothing beyond an increment. Used in the thread that renders.

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <utility>

// The samples of one family, as its collector adds them.
class CorvidMetricSamples {
public:
    using Labels = std::initializer_list<std::pair<const char *, QString>>;
    void add(Labels labels, quint64 value);
    void add(Labels labels, double value);
    void add(quint64 value) { add({}, value); }

private:
    friend class CorvidMetrics;
    void addText(Labels labels, const QByteArray &value);
    const QByteArray *m_name = nullptr;
    QByteArray *m_out = nullptr;
};

class CorvidMetrics {
public:
    enum Type { Counter, Gauge };
    using Collector = std::function<void(CorvidMetricSamples &)>;

    // Families are rendered in the order they were added. `name` follows the
    // conventions (counters end in _total); `help` is one line of text.
    void add(const char *name, Type type, const char *help, Collector collector);
    // A family of one sample without labels.
    void addValue(const char *name, Type type, const char *help, std::function<quint64()> value);

    // The whole exposition, a line feed after every line. A family whose
    // collector added no sample is left out.
    QByteArray render() const;

    static const char *contentType() { return "text/plain; version=0.0.4; charset=utf-8"; }

    // A label value as the format quotes it: backslash, double quote and
    // line feed escaped.
    static QByteArray escapeLabelValue(const QString &value);

private:
    struct Family {
        QByteArray name;
        Type type;
        QByteArray help;
        Collector collector;
    };
    QVector<Family> m_families;
};
