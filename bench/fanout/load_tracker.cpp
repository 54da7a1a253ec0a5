#include "bench/fanout/load_tracker.h"

#include "bench/common/bench_clock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
void putU32(char *p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((v >> (8 * i)) & 0xFF);
}
quint32 getU32(const char *p)
{
    quint32 v = 0;
    for (int i = 0; i < 4; ++i)
        v |= quint32(quint8(p[i])) << (8 * i);
    return v;
}
char patternByte(quint32 seq, int i) { return char((seq * 31u + quint32(i)) & 0xFF); }
} // namespace

QByteArray makeLoadPayload(quint32 seq, quint32 sendUs, int size)
{
    QByteArray b(std::max(size, 8), Qt::Uninitialized);
    putU32(b.data(), seq);
    putU32(b.data() + 4, sendUs);
    for (int i = 8; i < b.size(); ++i)
        b[i] = patternByte(seq, i);
    return b;
}

bool parseLoadPayload(const char *data, int len, int size, quint32 *seq, quint32 *sendUs)
{
    if (len < 8)
        return false;
    *seq = getU32(data);
    *sendUs = getU32(data + 4);
    if (len != std::max(size, 8))
        return false;
    for (int i = 8; i < len; ++i)
        if (data[i] != patternByte(*seq, i))
            return false;
    return true;
}

quint32 percentileUs(std::vector<quint32> &samples, double pct)
{
    if (samples.empty())
        return 0;
    size_t rank = size_t(std::ceil(pct / 100.0 * double(samples.size())));
    size_t idx = rank == 0 ? 0 : rank - 1;
    idx = std::min(idx, samples.size() - 1);
    std::nth_element(samples.begin(), samples.begin() + long(idx), samples.end());
    return samples[idx];
}

LoadTracker::LoadTracker(int receivers, quint32 count, int window, int payloadSize, quint32 startUs)
    : m_receivers(receivers), m_count(count), m_window(std::max(window, 1)), m_size(payloadSize), m_startUs(startUs),
      m_nextExpected(size_t(receivers), 0), m_passed(count, 0)
{
    m_latUs.reserve(size_t(count) * size_t(receivers));
}

bool LoadTracker::canSend() const
{
    if (m_sent >= m_count)
        return false;
    if (m_rate > 0)
        return double(quint32(benchNowUs() - m_startUs)) * m_rate / 1e6 >= double(m_sent);
    return m_sent - m_complete < quint32(m_window);
}

void LoadTracker::pass(quint32 seq)
{
    ++m_passed[seq];
    while (m_complete < m_sent && m_passed[m_complete] == m_receivers)
        ++m_complete;
}

void LoadTracker::deliver(int r, const char *data, int len, quint32 nowUs)
{
    quint32 seq = 0, sendUs = 0;
    bool ok = parseLoadPayload(data, len, m_size, &seq, &sendUs);
    if (len >= 8 && sendUs < m_startUs) {
        ++m_stale;
        return;
    }
    if (r < 0 || r >= m_receivers || seq >= m_sent) {
        // Not a message of this run (or a receiver we do not know).
        ++m_corrupt;
        return;
    }
    quint32 &next = m_nextExpected[size_t(r)];
    if (seq < next) {
        ++m_duplicates;
        return;
    }
    for (quint32 s = next; s < seq; ++s) {
        ++m_skipped;
        pass(s);
    }
    next = seq + 1;
    if (ok) {
        ++m_delivered;
        m_latUs.push_back(nowUs - sendUs);
        m_lastUs = nowUs;
    } else {
        ++m_corrupt;
    }
    pass(seq);
}

quint64 LoadTracker::lost() const
{
    return expected() - m_delivered;
}
