#include "server/CorvidMetrics.h"

#include <cmath>

namespace {

QByteArray escapeHelp(const char *help)
{
    QByteArray out;
    for (const char *p = help; *p; ++p) {
        if (*p == '\\')
            out += "\\\\";
        else if (*p == '\n')
            out += "\\n";
        else
            out += *p;
    }
    return out;
}

} // namespace

QByteArray CorvidMetrics::escapeLabelValue(const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    QByteArray out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void CorvidMetricSamples::addText(Labels labels, const QByteArray &value)
{
    QByteArray &out = *m_out;
    out += *m_name;
    if (labels.size() != 0) {
        out += '{';
        bool first = true;
        for (const auto &label : labels) {
            if (!first)
                out += ',';
            first = false;
            out += label.first;
            out += "=\"";
            out += CorvidMetrics::escapeLabelValue(label.second);
            out += '"';
        }
        out += '}';
    }
    out += ' ';
    out += value;
    out += '\n';
}

void CorvidMetricSamples::add(Labels labels, quint64 value)
{
    addText(labels, QByteArray::number(value));
}

void CorvidMetricSamples::add(Labels labels, double value)
{
    if (std::isnan(value))
        addText(labels, "NaN");
    else if (std::isinf(value))
        addText(labels, value > 0 ? "+Inf" : "-Inf");
    else
        addText(labels, QByteArray::number(value, 'g', 15));
}

void CorvidMetrics::add(const char *name, Type type, const char *help, Collector collector)
{
    m_families.append({QByteArray(name), type, escapeHelp(help), std::move(collector)});
}

void CorvidMetrics::addValue(const char *name, Type type, const char *help, std::function<quint64()> value)
{
    add(name, type, help, [value = std::move(value)](CorvidMetricSamples &s) { s.add(value()); });
}

QByteArray CorvidMetrics::render() const
{
    QByteArray out;
    QByteArray samples;
    for (const Family &f : m_families) {
        samples.clear();
        CorvidMetricSamples s;
        s.m_name = &f.name;
        s.m_out = &samples;
        f.collector(s);
        if (samples.isEmpty())
            continue;
        out += "# HELP " + f.name + ' ' + f.help + '\n';
        out += "# TYPE " + f.name + (f.type == Counter ? " counter\n" : " gauge\n");
        out += samples;
    }
    return out;
}
