#include "config/CorvidConfigData.h"

#include "config/corvid_config_convert.h"

#include <QDateTime>
#include <QFile>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <mutex>

// Outside any namespace, as Q_INIT_RESOURCE requires. The resource lives in a
// static library, so nothing would pull its registration in otherwise.
static void corvidRegisterConfigResource()
{
    static std::once_flag once;
    std::call_once(once, [] { Q_INIT_RESOURCE(config); });
}

const char CorvidConfigData::DEFAULT_CONFIG_FILE[] = ":/config_filename/server_config.xml";
const char CorvidConfigData::LOCAL_CONFIG_FILE[] = "server_config.xml";

namespace {

// Read by the server although the built-in default leaves them out.
const QStringList kNamesOutsideDefault{
    QStringLiteral("RestrictFakeSatTelemetry"), QStringLiteral("SiDS_CallSign"), QStringLiteral("SiDS_latitude"),
    QStringLiteral("SiDS_longitude"), QStringLiteral("SiDS_SatCallSign0"), QStringLiteral("SiDS_SatCallSign1"),
    QStringLiteral("SiDS_NORAD_id0"), QStringLiteral("SiDS_NORAD_id1"), QStringLiteral("SiDS_URL_main"),
    QStringLiteral("SiDS_URL_reserve"),
};
// The one name read whatever its case.
const char kNameIgnoringCase[] = "NumLogThreads";

// Edits (insert, delete, replace) from one name to the other, case ignored.
int editDistance(const QString &a, const QString &b)
{
    const QString x = a.toLower(), y = b.toLower();
    QVector<int> row(y.size() + 1);
    for (int j = 0; j <= y.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= x.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= y.size(); ++j) {
            const int above = row[j];
            row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

Q_LOGGING_CATEGORY(lcConfig, "corvid.config", QtWarningMsg)

void critical(const QString &text)
{
    qCritical("%s", qUtf8Printable(text));
}

// More message log threads than this would only wait on one another.
constexpr quint32 kMaxLogThreads = 16;

// Characters XML 1.0 can carry; the rest cannot be written and are left out.
bool xmlChar(uint ucs)
{
    return ucs == 0x9 || ucs == 0xA || ucs == 0xD || (ucs >= 0x20 && ucs <= 0xD7FF)
           || (ucs >= 0xE000 && ucs <= 0xFFFD) || (ucs >= 0x10000 && ucs <= 0x10FFFF);
}

// A reader turns a literal carriage return into a line feed, so it goes out as
// a character reference; the text then reads back exactly as it was stored.
void writeTextElement(QXmlStreamWriter &writer, const QString &element, const QString &text)
{
    writer.writeStartElement(element);
    writer.writeCharacters(QString()); // always <x></x>, never <x/>
    QString chunk;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        uint ucs = c.unicode();
        int width = 1;
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ucs = QChar::surrogateToUcs4(c, text.at(i + 1));
            width = 2;
        } else if (c.isSurrogate()) {
            continue; // unpaired half: no character at all
        }
        if (ucs == 0xD) {
            writer.writeCharacters(chunk);
            chunk.clear();
            writer.writeEntityReference(QStringLiteral("#13"));
        } else if (xmlChar(ucs)) {
            chunk.append(text.midRef(i, width));
        }
        i += width - 1;
    }
    writer.writeCharacters(chunk);
    writer.writeEndElement();
}

} // namespace

QString CorvidConfigData::defaultConfigFile()
{
    corvidRegisterConfigResource();
    return QString::fromLatin1(DEFAULT_CONFIG_FILE);
}

QString CorvidConfigData::startupConfigFile()
{
    const QString local = QString::fromLatin1(LOCAL_CONFIG_FILE);
    return QFile::exists(local) ? local : defaultConfigFile();
}

CorvidConfigData::CorvidConfigData(const QString &fileName, QObject *parent)
    : CorvidConfigData(fileName, true, parent)
{
}

CorvidConfigData::CorvidConfigData(const QString &fileName, bool completeIt, QObject *parent)
    : QObject(parent), m_fileName(fileName)
{
    corvidRegisterConfigResource();
    const qint32 result = loadConfig(fileName);
    if (completeIt)
        complete(result);
}

const CorvidConfigData &CorvidConfigData::builtIn()
{
    static const CorvidConfigData store(defaultConfigFile(), false, nullptr);
    return store;
}

QString CorvidConfigData::builtInValue(const QString &name)
{
    return builtIn().getParam(name);
}

bool CorvidConfigData::isKnownName(const QString &name)
{
    return builtIn().hasParam(name) || kNamesOutsideDefault.contains(name)
           || name.compare(QLatin1String(kNameIgnoringCase), Qt::CaseInsensitive) == 0;
}

QString CorvidConfigData::closeKnownName(const QString &name)
{
    const QStringList known = builtIn().paramNames() + kNamesOutsideDefault;
    int best = std::numeric_limits<int>::max();
    QStringList nearest;
    for (const QString &candidate : qAsConst(known)) {
        const int d = editDistance(name, candidate);
        if (d < best)
            nearest.clear();
        if (d <= best) {
            best = d;
            nearest << candidate;
        }
    }
    // Two slips in a longer name, one in a short one; more is another name.
    const int allowed = name.size() >= 5 ? 2 : 1;
    return best <= allowed && nearest.size() == 1 ? nearest.first() : QString();
}

QString CorvidConfigData::corvidLogFile() const
{
    // An empty path would put the message log into the file system's root.
    return m_corvidLogFile.trimmed().isEmpty() ? builtInValue(QStringLiteral("CorvidLogFile")) : m_corvidLogFile;
}

bool CorvidConfigData::isGiven(const QString &name) const
{
    if (!getParam(name).trimmed().isEmpty())
        return true;
    if (name != QLatin1String(kNameIgnoringCase))
        return false;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
        if (it.key().compare(name, Qt::CaseInsensitive) == 0 && !it.value().trimmed().isEmpty())
            return true;
    return false;
}

void CorvidConfigData::complete(qint32 loadResult)
{
    const CorvidConfigData &defaults = builtIn();
    auto takeDefault = [&](const QString &name, const QString &value) {
        const QString description = getDescription(name).isEmpty() ? defaults.getDescription(name) : getDescription(name);
        storeParameter(name, value, description);
    };

    if (loadResult != CONFIG_LOAD_OK && loadResult != CONFIG_NO_FILE_NAME && QFile::exists(m_fileName)) {
        critical(QStringLiteral("The server runs on a partly read configuration (%1: %2); "
                                "the parameters it lacks take their built-in defaults")
                     .arg(m_fileName, m_loadProblem));
    }
    const QStringList given = paramNames();
    for (const QString &name : given) {
        if (isKnownName(name))
            continue;
        const QString close = closeKnownName(name);
        qWarning("%s", qUtf8Printable(QStringLiteral("Unknown parameter %1 in %2 is ignored%3")
                                          .arg(name, m_fileName,
                                               close.isEmpty() ? QString()
                                                               : QStringLiteral("; did you mean %1?").arg(close))));
    }
    for (auto it = defaults.values().cbegin(); it != defaults.values().cend(); ++it) {
        if (!isGiven(it.key()))
            takeDefault(it.key(), it.value());
    }
    const QStringList names = paramNames();
    for (const QString &name : names) {
        const CorvidNumericParam *p = corvid_config_numeric_param(name);
        const QString value = getParam(name);
        if (!p || !isKnownName(name) || corvid_config_number_in_range(value, p->base, p->min, p->max))
            continue;
        critical(QStringLiteral("Parameter %1 has the value \"%2\", not a number from %3 to %4; "
                                "the default %5 is used")
                     .arg(name, value)
                     .arg(p->min)
                     .arg(p->max)
                     .arg(QLatin1String(p->fallback)));
        takeDefault(name, QLatin1String(p->fallback));
    }
}

CorvidConfigData::~CorvidConfigData() = default;

qint32 CorvidConfigData::loadConfig(const QString &fileName)
{
    if (fileName.isEmpty()) {
        critical(QStringLiteral("Usage: xmlstreamlint <path to XML file>\n"));
        return CONFIG_NO_FILE_NAME;
    }
    QFile file(fileName);
    if (!file.exists()) {
        critical(QStringLiteral("File %1 does not exist.\n").arg(fileName));
        return CONFIG_BAD_FILE;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        m_loadProblem = file.errorString();
        critical(QStringLiteral("Failed to open file %1.\n").arg(fileName));
        return CONFIG_BAD_FILE;
    }
    qCDebug(lcConfig).noquote() << "reading" << fileName;
    return loadConfig(file, fileName);
}

qint32 CorvidConfigData::loadConfig(QIODevice &device, const QString &fileName)
{
    QXmlStreamReader reader(&device);
    bool rootMissing = true;
    QString name;
    QString description;
    QString value;

    auto failed = [&]() {
        if (!reader.hasError())
            return false;
        m_loadProblem = QStringLiteral("line %1, column %2: %3")
                            .arg(reader.lineNumber())
                            .arg(reader.columnNumber())
                            .arg(reader.errorString());
        critical(QStringLiteral("Error: %1 in file %2 at line %3, column %4.\n")
                     .arg(reader.errorString(), fileName)
                     .arg(reader.lineNumber())
                     .arg(reader.columnNumber()));
        return true;
    };
    // The element's character data, comments and nested elements left out.
    auto elementText = [&]() {
        return reader.readElementText(QXmlStreamReader::SkipChildElements);
    };

    for (;;) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (failed())
            return CONFIG_XML_ERROR;
        if (token == QXmlStreamReader::EndDocument)
            return CONFIG_LOAD_OK;

        if (token == QXmlStreamReader::StartElement) {
            const QStringRef tag = reader.name();
            if (tag == QLatin1String("Config")) {
                rootMissing = false;
            } else if (tag == QLatin1String("ConfigVer")) {
                const QString text = elementText();
                if (failed())
                    return CONFIG_XML_ERROR;
                m_configVersion = corvid_config_to_uint32(text, CORVID_BASE_DEC);
            } else if (tag == QLatin1String("ConfigDate")) {
                const QString text = elementText();
                if (failed())
                    return CONFIG_XML_ERROR;
                m_configDate = QDate::fromString(text, Qt::TextDate);
            } else if (tag == QLatin1String("Parameter")) {
                if (rootMissing) {
                    m_loadProblem = QStringLiteral("line %1: a Parameter before the Config element")
                                        .arg(reader.lineNumber());
                    std::fputs("Bad file format\n", stdout);
                    std::fflush(stdout);
                    return CONFIG_BAD_FILE;
                }
                name.clear();
                description.clear();
                value.clear();
            } else if (tag == QLatin1String("ParmName")) {
                name += elementText();
            } else if (tag == QLatin1String("ParmDesc")) {
                description += elementText();
            } else if (tag == QLatin1String("ParmValue")) {
                value += elementText();
            }
        } else if (token == QXmlStreamReader::EndElement && reader.name() == QLatin1String("Parameter")) {
            storeParameter(name, value, description);
        }
    }
}

void CorvidConfigData::storeParameter(const QString &name, const QString &value, const QString &description)
{
    setParam(name, value, description);

    if (name == QLatin1String("CorvidLogFile"))
        m_corvidLogFile = value;
    else if (name == QLatin1String("TcpPort"))
        m_tcpPort = corvid_config_to_uint32(value);
    else if (name == QLatin1String("UdpPortName"))
        m_udpPort = corvid_config_to_uint16(value);
    else if (name == QLatin1String("UdpHostName"))
        m_udpHostName = value;
    else if (name.compare(QLatin1String("NumLogThreads"), Qt::CaseInsensitive) == 0) {
        m_numLogThreads = corvid_config_to_uint32(value);
        if (m_numLogThreads > kMaxLogThreads) {
            qWarning("%s", qUtf8Printable(QStringLiteral("Parameter %1 has the value \"%2\", more log threads than "
                                                         "the %3 the server runs; %3 are used")
                                              .arg(name, value)
                                              .arg(kMaxLogThreads)));
            m_numLogThreads = kMaxLogThreads;
        }
    }
    else if (name == QLatin1String("RestrictFakeSatTelemetry"))
        m_restrictFakeSatTelemetry = corvid_config_to_uint32(value);
}

bool CorvidConfigData::writeConfig(QIODevice &device) const
{
    QXmlStreamWriter writer(&device);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("Config"));
    writeTextElement(writer, QStringLiteral("ConfigVer"), QStringLiteral("2"));
    writeTextElement(writer, QStringLiteral("ConfigDate"),
                     QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd_hh-mm-ss")));
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        writer.writeStartElement(QStringLiteral("Parameter"));
        writeTextElement(writer, QStringLiteral("ParmName"), it.key());
        writeTextElement(writer, QStringLiteral("ParmDesc"), m_descriptions.value(it.key()));
        writeTextElement(writer, QStringLiteral("ParmValue"), it.value());
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return !writer.hasError();
}

bool CorvidConfigData::writeConfig(const QString &fileName) const
{
    QSaveFile file(fileName);
    // Where no temporary can be made beside the file (a writable file in a
    // read-only directory) write in place rather than not at all.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || !writeConfig(file) || !file.commit()) {
        critical(QStringLiteral("Can't create file %1").arg(fileName));
        return false;
    }
    return true;
}

QString CorvidConfigData::getParam(const QString &name) const
{
    return m_values.value(name);
}

QString CorvidConfigData::getDescription(const QString &name) const
{
    return m_descriptions.value(name);
}

bool CorvidConfigData::hasParam(const QString &name) const
{
    return m_values.contains(name);
}

QString CorvidConfigData::knownName(const QString &name) const
{
    if (m_values.contains(name))
        return name;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.key();
    }
    return name;
}

QStringList CorvidConfigData::paramNames() const
{
    return m_values.keys();
}

void CorvidConfigData::setParam(const QString &name, const QString &value, const QString &description)
{
    m_values.insert(name, value);
    m_descriptions.insert(name, description);
}

int CorvidConfigData::acceptEditedRows(const QVector<QPair<QString, QString>> &rows)
{
    int changed = 0;
    for (int row = rows.size() - 1; row >= 0; --row) {
        const QString name = rows.at(row).first;
        const QString value = rows.at(row).second;
        auto it = m_values.find(name);
        if (it == m_values.end() || it.value() == value)
            continue;
        it.value() = value;
        ++changed;
        emit paramChanged(name, value);
    }
    if (changed > 0)
        saveChanges();
    return changed;
}

bool CorvidConfigData::saveChanges()
{
    const QString local = QString::fromLatin1(LOCAL_CONFIG_FILE);
    const QString target = (!m_fileName.isEmpty() && QFile::exists(m_fileName)) ? m_fileName : local;
    if (writeConfig(target))
        return true;
    // A store loaded from the built-in default lands here: the resource is read-only.
    if (target == local)
        return false;
    return writeConfig(local);
}
