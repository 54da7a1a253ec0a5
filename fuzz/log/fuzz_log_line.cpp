// Arbitrary bytes as one line of a message log: a line read as a message
// says the same when written out again and read back, and its data is as
// long as its length said.

#include "log/corvid_log_format.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), int(size));
    const CorvidLogRecord r = corvid_log_parse_line(line);
    if (r.kind != CorvidLogRecord::Message) {
        check(r.kind == CorvidLogRecord::Header || !r.error.isEmpty());
        return 0;
    }
    check(r.utc.isValid() && r.msg.data.size() <= 0xFFFF);
    const corvid_message msg = r.msg.record();
    const QByteArray again = corvid_log_line(msg, r.stamp, r.dirToSat, r.sent ? 1 : 0, r.utc).toLatin1();
    const CorvidLogRecord back = corvid_log_parse_line(again);
    check(back.kind == CorvidLogRecord::Message);
    check(back.utc == r.utc && back.stamp == r.stamp && back.dirToSat == r.dirToSat && back.sent == r.sent);
    check(back.msg.msg_id == r.msg.msg_id && back.msg.address_from == r.msg.address_from &&
          back.msg.address_to == r.msg.address_to && back.msg.data == r.msg.data);
    return 0;
}
