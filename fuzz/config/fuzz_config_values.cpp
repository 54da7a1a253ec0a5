// The conversions of parameter texts to numbers. For any text and each
// numeric parameter: a value accepted lies in the parameter's range and reads
// back the same from its decimal (or hexadecimal) form; the narrow and wide
// conversions agree; the address list keeps exactly the parts that convert.

#include "config/corvid_config_convert.h"
#include "fuzz/fuzz_check.h"

#include <QString>
#include <QStringList>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));

    for (const CorvidNumericParam &p : corvid_config_numeric_params()) {
        qint64 v = 0;
        if (!corvid_config_number_in_range(text, p.base, p.min, p.max, &v))
            continue;
        check(v >= p.min && v <= p.max);
        qint64 again = -1;
        const QString canonical = p.base == CORVID_BASE_HEX ? QString::number(v, 16) : QString::number(v);
        check(corvid_config_number_in_range(canonical, p.base, p.min, p.max, &again) && again == v);
        check(corvid_config_numeric_param(QLatin1String(p.name)) == &p);
    }

    for (int base : {CORVID_BASE_AUTO, CORVID_BASE_DEC, CORVID_BASE_HEX}) {
        bool ok16 = false, ok32 = false;
        const quint16 v16 = corvid_config_to_uint16(text, base, &ok16);
        const quint32 v32 = corvid_config_to_uint32(text, base, &ok32);
        check(ok16 || v16 == 0);
        check(ok32 || v32 == 0);
        if (ok16)
            check(ok32 && v32 == v16);
        if (ok32 && v32 <= 0xFFFF)
            check(ok16);
        qint64 ranged = 0;
        if (corvid_config_number_in_range(text, base, 0, 0xFFFFFFFF, &ranged))
            check(ok32 && quint32(ranged) == v32);
    }

    const QVector<quint16> list = corvid_config_hex16_list(text);
    QVector<quint16> expected;
    for (const QString &part : text.split(QLatin1Char(','))) {
        bool ok = false;
        const quint16 a = corvid_config_hex16(part, &ok);
        if (ok)
            expected.append(a);
    }
    check(list == expected);
    return 0;
}
