// Feeds arbitrary bytes to the configuration reader. Whatever it keeps must
// survive a write and a second read unchanged.

#include "config/CorvidConfigData.h"

#include <QBuffer>
#include <QByteArray>

#include <cstdio>
#include <cstdlib>

// Exotic declared encodings (UTF-7 and the like) can decode to characters XML
// cannot carry; the writer leaves those out, so only the rest must survive.
static QString xmlCharsOnly(const QString &text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            const uint u = QChar::surrogateToUcs4(c, text.at(i + 1));
            if (u <= 0x10FFFF)
                out += QString::fromUcs4(&u, 1);
            ++i;
            continue;
        }
        const ushort u = c.unicode();
        if (u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD))
            out += c;
    }
    return out;
}

static QMap<QString, QString> xmlCharsOnly(const QMap<QString, QString> &map)
{
    QMap<QString, QString> out;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        out.insert(xmlCharsOnly(it.key()), xmlCharsOnly(it.value()));
    return out;
}

static void quietHandler(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quietHandler);
    // "Bad file format" goes to standard output.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QBuffer input;
    input.setData(reinterpret_cast<const char *>(data), int(size));
    input.open(QIODevice::ReadOnly);

    CorvidConfigData config{QString()};
    const qint32 result = config.loadConfig(input, QStringLiteral("fuzz.xml"));
    if (result != 0 && result != -20 && result != -30)
        std::abort();
    if (config.values().keys() != config.descriptions().keys())
        std::abort();

    QBuffer output;
    output.open(QIODevice::WriteOnly);
    if (!config.writeConfig(output))
        std::abort();
    output.close();
    output.open(QIODevice::ReadOnly);

    CorvidConfigData back{QString()};
    if (back.loadConfig(output, QStringLiteral("written.xml")) != 0)
        std::abort();
    // Two names that differ only in unwritable characters fold into one; the
    // later one in key order wins on both sides, as the file is written sorted.
    if (back.values() != xmlCharsOnly(config.values()) || back.descriptions() != xmlCharsOnly(config.descriptions()))
        std::abort();
    if (back.configVersion() != 2)
        std::abort();
    return 0;
}
