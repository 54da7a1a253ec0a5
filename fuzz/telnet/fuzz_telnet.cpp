// What a terminal types, cut into arbitrary reads, through the Telnet input
// filter: the reads must not change the outcome, commands must be whole,
// subnegotiations never kept past their limit, and device data escaped for the
// terminal must come back unchanged.

#include "server/telnet_stream.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Small, so that long subnegotiations are common.
constexpr int kMaxSubnegotiation = 16;

struct Outcome {
    QByteArray data;
    QVector<QByteArray> commands;
    QVector<QByteArray> subnegotiations;
    int dropped = 0;
    qint64 pending = 0;
};

Outcome run(bool deEscape, bool crRewrite, const QByteArray &input, const QByteArray &cuts)
{
    telnet::InputFilter filter(deEscape, crRewrite, kMaxSubnegotiation);
    Outcome out;
    int pos = 0, cut = 0;
    while (pos < input.size()) {
        const int len = cuts.isEmpty() ? int(input.size()) : 1 + uint8_t(cuts.at(cut++ % cuts.size())) % 17;
        const QByteArray read = input.mid(pos, len);
        pos += read.size();
        const telnet::Input in = filter.feed(read);
        check(in.rewrittenSize <= read.size() && in.data.size() <= in.rewrittenSize + 1);
        for (const QByteArray &c : in.commands) {
            check(deEscape && c.size() == 3 && uint8_t(c.at(0)) == telnet::IAC);
            check(uint8_t(c.at(1)) >= telnet::WILL && uint8_t(c.at(1)) <= telnet::DONT);
            const int reply = telnet::negotiationReply(c).size();
            check(reply == 0 || reply == 6);
        }
        for (const QByteArray &sub : in.subnegotiations)
            check(deEscape && sub.size() <= kMaxSubnegotiation);
        check(filter.kept() <= kMaxSubnegotiation && filter.pending() >= filter.kept());
        out.data += in.data;
        out.commands += in.commands;
        out.subnegotiations += in.subnegotiations;
        out.dropped += in.droppedSubnegotiations;
    }
    out.pending = filter.pending();
    check(out.pending <= input.size());
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2)
        return 0;
    const bool deEscape = bytes[0] & 1;
    const bool crRewrite = bytes[0] & 2;
    const int cutBytes = 1 + (bytes[1] & 7);
    if (size < size_t(2 + cutBytes))
        return 0;
    const QByteArray cuts(reinterpret_cast<const char *>(bytes + 2), cutBytes);
    const QByteArray input(reinterpret_cast<const char *>(bytes + 2 + cutBytes), int(size) - 2 - cutBytes);

    const Outcome whole = run(deEscape, crRewrite, input, QByteArray());
    const Outcome pieces = run(deEscape, crRewrite, input, cuts);
    check(whole.data == pieces.data && whole.commands == pieces.commands &&
          whole.subnegotiations == pieces.subnegotiations && whole.dropped == pieces.dropped &&
          whole.pending == pieces.pending);
    if (!deEscape && !crRewrite)
        check(whole.data == input);

    // Escaped for the terminal and read back by a terminal: the same bytes.
    const QByteArray escaped = telnet::prepareOutput(input, true, false);
    check(escaped.size() == input.size() + input.count(char(telnet::IAC)));
    telnet::InputFilter terminal(true, false);
    const telnet::Input back = terminal.feed(escaped);
    check(back.data == input && back.commands.isEmpty() && terminal.pending() == 0);
    return 0;
}
