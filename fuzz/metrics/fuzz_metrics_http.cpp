// Arbitrary bytes as the head of a request to the metrics endpoint, read in
// arbitrary pieces: the answer is one of the few statuses, comes once the head
// is complete or too long, and never changes with the bytes that follow.
// The same bytes as a label value must come back whole from its escaping.

#include "server/CorvidMetrics.h"
#include "server/metrics_http.h"
#include "fuzz/fuzz_check.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

QByteArray unescape(const QByteArray &escaped)
{
    QByteArray out;
    for (int i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        check(c != '\n' && c != '"');
        if (c != '\\') {
            out += c;
            continue;
        }
        check(i + 1 < escaped.size());
        const char e = escaped[++i];
        check(e == '\\' || e == '"' || e == 'n');
        out += e == 'n' ? '\n' : e;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int maxHead = 8 + data[0] * 16;
    const int piece = 1 + data[1] % 64;
    const QByteArray input(reinterpret_cast<const char *>(data + 2), int(size - 2));

    const int final = corvid_http_request_status(input, maxHead, "/metrics");
    static const int known[] = {0, 200, 400, 404, 405, 431, 505};
    bool isKnown = false;
    for (const int k : known)
        isKnown = isKnown || final == k;
    check(isKnown);
    check(final != 0 || input.size() < maxHead);
    for (int n = piece; n < input.size(); n += piece) {
        const int early = corvid_http_request_status(input.left(n), maxHead, "/metrics");
        check(early == 0 || early == final);
    }
    const QByteArray response = corvid_http_response(final == 0 ? 408 : final);
    check(response.startsWith("HTTP/1.1 ") && response.contains("\r\n\r\n"));

    const QString value = QString::fromUtf8(input);
    check(unescape(CorvidMetrics::escapeLabelValue(value)) == value.toUtf8());
    return 0;
}
