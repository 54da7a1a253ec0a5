#ifndef CORVID_CONFIG_DATA_H
#define CORVID_CONFIG_DATA_H

// The server's settings: a flat, key-ordered list of named text parameters, each
// with a text description, loaded from server_config.xml (or the built-in default)
// and written back when the operator accepts changes.
//
// Reading a parameter: getParam(name) returns "" when the name is missing; use
// hasParam(name) where "absent" must be told apart from "empty". Each reader does
// its own conversion, see config/corvid_config_convert.h.
//
// The store needs no window. The parameters dialog (slotShowDialog /
// slotOkButtonPressed) belongs to the window work; its Ok button collects the
// table rows and hands them to acceptEditedRows(), which does the storing,
// signalling and saving.

#include <QDate>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class QIODevice;

class CorvidConfigData : public QObject
{
    Q_OBJECT

public:
    // Results of loadConfig().
    enum LoadResult : qint32 {
        CONFIG_LOAD_OK = 0,
        CONFIG_NO_FILE_NAME = -10,   // empty file name
        CONFIG_BAD_FILE = -20,       // missing, unreadable, or not a configuration file
        CONFIG_XML_ERROR = -30,      // XML syntax error
    };

    // The built-in default file (a Qt resource compiled into this library).
    static const char DEFAULT_CONFIG_FILE[];   // ":/config_filename/server_config.xml"
    // The operator's file, in the working directory.
    static const char LOCAL_CONFIG_FILE[];     // "server_config.xml"

    // Makes sure the built-in default is registered and returns its path.
    static QString defaultConfigFile();
    // A parameter's value in the built-in default ("" for one it lacks).
    static QString builtInValue(const QString &name);
    // Whether the server reads a parameter of this name: every one of the
    // built-in default, and the few that file leaves out.
    static bool isKnownName(const QString &name);
    // The one known name close to an unknown one (a slip of the keyboard or of
    // case), or "" when none or several are.
    static QString closeKnownName(const QString &name);
    // LOCAL_CONFIG_FILE when it exists in the working directory, else the default.
    static QString startupConfigFile();

    // Stores the file name and loads it at once; problems only show as
    // diagnostics. Then the store is made usable:
    // - a file that could be opened but not read to its end keeps what was
    //   read, with a critical diagnostic saying the server runs on a partly
    //   read configuration and where the reading stopped;
    // - a name the server does not read gets a warning (with the close known
    //   name, if there is one);
    // - every parameter of the built-in default that is absent or empty takes
    //   the built-in value;
    // - a numeric parameter that is not a number its use allows takes its
    //   built-in default, with a critical diagnostic naming it and the value.
    explicit CorvidConfigData(const QString &fileName, QObject *parent = nullptr);
    ~CorvidConfigData() override;

    // Adds the parameters of the file to the store. Returns a LoadResult.
    // Diagnostics (critical): "Usage: xmlstreamlint <path to XML file>\n",
    // "File %1 does not exist.\n", "Failed to open file %1.\n",
    // "Error: %1 in file %2 at line %3, column %4.\n"; and "Bad file format\n" on
    // standard output when a Parameter comes before the Config element.
    qint32 loadConfig(const QString &fileName);
    // The same reading from an already open device; fileName only names it in
    // diagnostics.
    qint32 loadConfig(QIODevice &device, const QString &fileName);

    // Writes every parameter, ascending by name, with ConfigVer 2 and the current
    // UTC date. Goes through a temporary file and a rename, so a failed write
    // leaves the old file as it was. False (with the critical diagnostic
    // "Can't create file %1") when the file cannot be written.
    bool writeConfig(const QString &fileName) const;
    // The same XML to an open device (no diagnostics; false on a device error or
    // a value XML cannot carry).
    bool writeConfig(QIODevice &device) const;

    // Lookup. Missing names read as "".
    QString getParam(const QString &name) const;
    QString getDescription(const QString &name) const;
    bool hasParam(const QString &name) const;
    // The store's own spelling of a name matched ignoring case (an exact
    // match first); the name as given when the store does not know it.
    QString knownName(const QString &name) const;
    // Every name, ascending (case-sensitive code-unit order).
    QStringList paramNames() const;
    const QMap<QString, QString> &values() const { return m_values; }
    const QMap<QString, QString> &descriptions() const { return m_descriptions; }

    // Stores value and description under the name, replacing both. Neither the
    // typed fields nor the file change, and no signal is emitted.
    void setParam(const QString &name, const QString &value, const QString &description);

    // Typed copies taken while loading (a later setParam does not touch them).
    // Numbers are converted with automatic base; a value that does not convert
    // gives 0, and so does a parameter that was never read.
    quint32 configVersion() const { return m_configVersion; }      // ConfigVer
    QDate configDate() const { return m_configDate; }               // ConfigDate (null if unparsable)
    QString corvidLogFile() const;                                  // CorvidLogFile; the default when absent or blank
    QString udpHostName() const { return m_udpHostName; }           // UdpHostName
    quint32 tcpPort() const { return m_tcpPort; }                   // TcpPort
    quint16 udpPort() const { return m_udpPort; }                   // UdpPortName
    quint32 numLogThreads() const { return m_numLogThreads; }       // NumLogThreads (name matched ignoring case), at most 16
    quint32 restrictFakeSatTelemetry() const { return m_restrictFakeSatTelemetry; } // RestrictFakeSatTelemetry

    // The path the store was constructed with.
    QString fileName() const { return m_fileName; }

    // Takes over edited (name, value) rows as the dialog's table holds them:
    // walks them from the last to the first, skips names the store does not know
    // and unchanged values, stores each change and emits paramChanged for it.
    // When anything changed the file is saved (saveChanges). Returns the number
    // of changed parameters.
    int acceptEditedRows(const QVector<QPair<QString, QString>> &rows);
    // Saves to the loaded file if it exists, else to LOCAL_CONFIG_FILE; when that
    // write fails, falls back to LOCAL_CONFIG_FILE. Returns the last write's result.
    bool saveChanges();

signals:
    // One per parameter the operator changed, after the new value is stored.
    void paramChanged(QString name, QString value);

private:
    CorvidConfigData(const QString &fileName, bool complete, QObject *parent);
    // The built-in default as read, loaded once.
    static const CorvidConfigData &builtIn();
    void complete(qint32 loadResult);
    void storeParameter(const QString &name, const QString &value, const QString &description);
    bool isGiven(const QString &name) const;

    quint32 m_configVersion = 0;
    QDate m_configDate;
    QMap<QString, QString> m_values;
    QMap<QString, QString> m_descriptions;
    QString m_corvidLogFile;
    QString m_udpHostName;
    quint32 m_tcpPort = 0;
    quint16 m_udpPort = 0;
    quint32 m_numLogThreads = 0;
    quint32 m_restrictFakeSatTelemetry = 0;
    QString m_fileName;
    QString m_loadProblem;  // where and why the last load stopped short
};

#endif
