#pragma once
// Window accounting, payload checking and latency samples for one load run.
// A message is complete once every receiver has either taken it or taken a
// later one (then it counts as lost for that receiver), so a lost message
// never stalls the window.

#include <QByteArray>
#include <cstdint>
#include <vector>

// Payload: seq (u32 LE), send time in microseconds (u32 LE), then a pattern
// derived from seq so corrupted or mixed-up data is caught.
QByteArray makeLoadPayload(quint32 seq, quint32 sendUs, int size);
// Returns false when the data is not a payload of that size; seq and sendUs
// are filled when the header fits.
bool parseLoadPayload(const char *data, int len, int size, quint32 *seq, quint32 *sendUs);

// Percentile (0..100) of the samples, nearest-rank; reorders the vector.
quint32 percentileUs(std::vector<quint32> &samples, double pct);

class LoadTracker
{
public:
    // Payloads stamped before startUs belong to an earlier run and are ignored.
    LoadTracker(int receivers, quint32 count, int window, int payloadSize, quint32 startUs);

    // With a rate the sender offers messages on a fixed schedule from startUs
    // (open loop, no window); without one it keeps `window` in flight.
    void setRate(double perSec) { m_rate = perSec; }
    double rate() const { return m_rate; }
    bool canSend() const;
    quint32 takeSeq() { return m_sent++; }

    // One message seen by receiver r. Bad payloads count as corrupt.
    void deliver(int r, const char *data, int len, quint32 nowUs);
    // For transports that carry the sequence number outside the data as well.
    void noteTagMismatch() { ++m_corrupt; }

    bool done() const { return m_complete == m_count; }
    quint32 sent() const { return m_sent; }
    quint32 complete() const { return m_complete; }
    quint64 delivered() const { return m_delivered; }
    // Everything not delivered intact, including corrupt copies.
    quint64 lost() const;
    quint64 duplicates() const { return m_duplicates; }
    quint64 corrupt() const { return m_corrupt; }
    quint64 stale() const { return m_stale; }
    quint32 startUs() const { return m_startUs; }
    quint64 expected() const { return quint64(m_count) * quint64(m_receivers); }
    std::vector<quint32> &latencies() { return m_latUs; }
    quint32 lastDeliveryUs() const { return m_lastUs; }
    int payloadSize() const { return m_size; }

private:
    void pass(quint32 seq);

    int m_receivers;
    quint32 m_count;
    int m_window;
    int m_size;
    double m_rate = 0;
    quint32 m_sent = 0;
    quint32 m_complete = 0;
    quint64 m_delivered = 0;
    quint64 m_skipped = 0;
    quint64 m_duplicates = 0;
    quint64 m_corrupt = 0;
    quint64 m_stale = 0;
    quint32 m_startUs;
    quint32 m_lastUs = 0;
    std::vector<quint32> m_nextExpected;
    std::vector<quint16> m_passed;
    std::vector<quint32> m_latUs;
};
