#pragma once
// The server's main window: start time, link state with the Connect/Disconnect
// button, traffic counters, the diagnostics pane and the connected clients.
// It holds no logic; the hub drives it through ServerView.
//
// Counters and diagnostics may arrive thousands of times a second. They are
// kept and put on screen by a refresh timer (a few times a second), and the
// diagnostics pane keeps only the newest MAX_TEXT_LINES lines; the error log
// file is written elsewhere and keeps every line.

#include "server/ServerView.h"

#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

class QGroupBox;
class QLabel;
class QPushButton;
class QTableWidget;
class QTextEdit;

class CorvidServerWidget : public QWidget, public ServerView
{
    Q_OBJECT
    Q_DISABLE_COPY(CorvidServerWidget)

public:
    static constexpr int DEFAULT_REFRESH_MS = 250;
    static constexpr int MAX_TEXT_LINES = 10000;

    enum ClientColumn { COL_NAME = 0, COL_ADDRESS, COL_STATUS, COL_DESCRIPTION, COL_CONNECTED, COL_ID,
                        CLIENT_COLUMNS };

    explicit CorvidServerWidget(QWidget *parent = nullptr);
    ~CorvidServerWidget() override;

    QTextEdit *getTextEdit() const { return m_textEdit; }
    QPushButton *get_m_btnParms() const { return m_buttonConfig; }

    void onReconnectRequested(std::function<void()> handler) override;

    // How long counters and diagnostics wait before they are drawn.
    void setRefreshInterval(int ms) { m_refresh.setInterval(ms); }
    // Draws what is waiting now (also done by the refresh timer).
    void flushPending();

signals:
    void reconnect_from_button();

public slots:
    void hardwareStatusHandler(AbstractConnector::HWState newState) override;
    void slotAddClient(const crd_client_info_t &newClient) override;
    void slotDisconnected(quint32 clientId) override;
    void slotShowAboutQtDialog();
    void slotShowAboutDialog();
    void setRxCorvidCount(int value) override;
    void setTxCorvidCount(int value) override;
    void setRxBytesCount(int value) override;
    void setRxCurrentBytesCount(int value) override;
    void setTxBytesCount(int value) override;
    void setRxCANCount(int value) override;
    // Appends the text as a new paragraph (plain text, never markup).
    void appendText(const QString &text);

private:
    enum Counter { RX_CORVID, TX_CORVID, RX_BYTES, RX_BUFFER, TX_BYTES, RX_CAN, COUNTERS };

    void buildForm();
    void setCounter(Counter which, int value);
    void scheduleRefresh();

    QLabel *m_counterLabels[COUNTERS] = {};
    int m_counterValues[COUNTERS] = {};
    bool m_counterDirty[COUNTERS] = {};
    QStringList m_pendingText;

    QLabel *m_labelStartedAt = nullptr;
    QLabel *m_labelHwStatus = nullptr;
    QPushButton *m_buttonConnect = nullptr;
    QPushButton *m_buttonAbout = nullptr;
    QPushButton *m_buttonConfig = nullptr;
    QTextEdit *m_textEdit = nullptr;
    QTableWidget *m_table = nullptr;
    QTimer m_refresh;
    std::function<void()> m_reconnectHandler;
};
