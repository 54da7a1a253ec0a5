// Request topics from a broker: the parser takes exactly what the bridge
// itself would write for those numbers, and anything it takes reads back the same.
#include "server/mqtt_topics.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte picks a prefix, so prefixes of other shapes are met too.
    static const QByteArray prefixes[] = {"corvid/station", "a", "x/y/z/", "corvid/send"};
    if (size == 0)
        return 0;
    const QByteArray &prefix = prefixes[data[0] % 4];
    const char *topic = reinterpret_cast<const char *>(data + 1);
    uint16_t from = 1, to = 2, id = 3;
    if (!corvid_mqtt_parse_send_topic(prefix, topic, size - 1, &from, &to, &id)) {
        if (from != 1 || to != 2 || id != 3)
            abort();  // outputs touched on a refusal
        return 0;
    }
    // Written again from the numbers: the same topic, up to the case of the digits.
    QByteArray again = corvid_mqtt_message_topic(prefix, true, from, to, id);
    again.replace(prefix.size(), 4, "/send/");
    if (again.toLower() != QByteArray(topic, int(size - 1)).toLower())
        abort();
    (void)corvid_mqtt_printable(QByteArray(topic, int(size - 1)));
    return 0;
}
