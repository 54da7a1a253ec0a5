#ifndef CORVID_CONFIG_CONVERT_H
#define CORVID_CONFIG_CONVERT_H

// Conversions of parameter texts to numbers, as the readers of the
// configuration need them. Surrounding blanks are ignored. A text that does not
// convert (empty, not a number, negative, out of range) gives 0 and *ok = false.
//
// base 0   automatic: "0x"/"0X" hexadecimal, a leading "0" octal, else decimal
// base 10  decimal
// base 16  hexadecimal, with or without "0x"

#include <QString>
#include <QVector>

enum : int {
    CORVID_BASE_AUTO = 0,
    CORVID_BASE_DEC = 10,
    CORVID_BASE_HEX = 16,
};

quint32 corvid_config_to_uint32(const QString &text, int base = CORVID_BASE_AUTO, bool *ok = nullptr);
quint16 corvid_config_to_uint16(const QString &text, int base = CORVID_BASE_AUTO, bool *ok = nullptr);

// Hexadecimal 16-bit device address ("0x2", "FF").
quint16 corvid_config_hex16(const QString &text, bool *ok = nullptr);

// A comma-separated list of hexadecimal 16-bit addresses ("0x2,,zz,0xFF" gives
// 2 and 255): parts that do not convert are left out, order and repeats kept.
QVector<quint16> corvid_config_hex16_list(const QString &text);

// A numeric parameter: the base its reader converts with, the values its use
// allows, and the built-in default that stands in for anything else.
struct CorvidNumericParam {
    const char *name;
    int base;
    qint64 min;
    qint64 max;
    const char *fallback;
};

// The numeric parameters, in one table; the name is matched ignoring case.
// Null for a parameter that is not a number.
const CorvidNumericParam *corvid_config_numeric_param(const QString &name);
const QVector<CorvidNumericParam> &corvid_config_numeric_params();

// True when the text (blanks around it ignored) is a number of that base
// from min to max; the number goes to *value.
bool corvid_config_number_in_range(const QString &text, int base, qint64 min, qint64 max, qint64 *value = nullptr);

#endif
