#pragma once
// A serial CAN adapter on a pseudo-terminal: answers the adapter's line
// protocol and carries frames to and from Qt's virtual CAN bus. Test options
// make it acknowledge late, never or with BEL, inject noise, split its
// output at odd places and stop answering the watchdog's version polls.

#include <QByteArray>
#include <QCanBusDevice>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <memory>

struct AdapterSimOptions {
    enum class Ack { Now, Late, Never, Bel };

    QString link;                    // symlink made to the terminal, removed at the end
    QString device = QStringLiteral("can0");
    bool bus = true;                 // join the virtual CAN bus
    QByteArray hardwareVersion = "0200";
    Ack ack = Ack::Now;
    int ackDelayMs = 100;
    bool noise = false;
    bool split = false;
    bool muteWatchdog = false;
    bool lowerHex = false;
    bool trace = false;              // print every line received on stdout
};

class AdapterSim : public QObject {
    Q_OBJECT
public:
    explicit AdapterSim(const AdapterSimOptions &options, QObject *parent = nullptr);
    ~AdapterSim() override;

    // Creates the terminal (and the link); false with a reason on failure.
    bool start(QString *error);
    QString path() const { return m_path; }
    void setWatchdogMuted(bool muted) { m_options.muteWatchdog = muted; }

    uint64_t framesToBus() const { return m_toBus; }
    uint64_t framesFromBus() const { return m_fromBus; }

private:
    void readHost();
    void handleLine(const QByteArray &line);
    void carryToBus(const QByteArray &line);
    void acknowledge();
    void readBus();
    void send(const QByteArray &bytes);
    void pump();

    AdapterSimOptions m_options;
    int m_master = -1;
    int m_slave = -1;  // kept open: the terminal outlives the host closing it
    QString m_path;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QCanBusDevice> m_bus;
    QByteArray m_in;
    QByteArray m_out;
    QTimer m_pumpTimer;
    bool m_channelOpen = false;
    int m_noiseIndex = 0;
    int m_pieceIndex = 0;
    uint64_t m_toBus = 0;
    uint64_t m_fromBus = 0;
};
