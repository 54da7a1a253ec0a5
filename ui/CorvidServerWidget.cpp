#include "ui/CorvidServerWidget.h"

#include "server/CorvidServer.h"
#include "ui/CorvidAboutDialog.h"

#include <QDateTime>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHostAddress>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTcpSocket>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

static void initIconResources()
{
    Q_INIT_RESOURCE(icons);
}

namespace {

QLabel *makeLabel(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(objectName);
    return label;
}

QPushButton *makeButton(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(objectName);
    return button;
}

// The address part of a connection end as an operator reads it: an
// IPv4-mapped IPv6 address as plain IPv4, any other IPv6 address whole.
QString displayAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    return address.toString();
}

}  // namespace

CorvidServerWidget::CorvidServerWidget(QWidget *parent)
    : QWidget(parent)
{
    initIconResources();
    buildForm();

    m_textEdit->setReadOnly(true);
    m_textEdit->setUndoRedoEnabled(false);
    m_textEdit->document()->setMaximumBlockCount(MAX_TEXT_LINES);

    m_table->setColumnHidden(COL_DESCRIPTION, true);
    m_table->setColumnWidth(COL_NAME, 80);
    m_table->setColumnWidth(COL_ADDRESS, 170);
    m_table->setColumnWidth(COL_STATUS, 70);
    m_table->setColumnWidth(COL_CONNECTED, 230);
    m_table->setColumnWidth(COL_ID, 10);

    connect(m_buttonAbout, &QPushButton::pressed, this, &CorvidServerWidget::slotShowAboutDialog);
    connect(m_buttonConnect, &QPushButton::released, this, &CorvidServerWidget::reconnect_from_button);
    connect(this, &CorvidServerWidget::reconnect_from_button, this, [this]() {
        if (m_reconnectHandler)
            m_reconnectHandler();
    });

    m_labelStartedAt->setText(QDateTime::currentDateTimeUtc().toString(Qt::TextDate));
    setWindowTitle(tr("Corvid dedicated server v.%1").arg(CORVID_SERVER_VERSION));
    setWindowIcon(QIcon(QStringLiteral(":/mainlogo")));

    m_refresh.setSingleShot(true);
    m_refresh.setInterval(DEFAULT_REFRESH_MS);
    connect(&m_refresh, &QTimer::timeout, this, &CorvidServerWidget::flushPending);
}

CorvidServerWidget::~CorvidServerWidget() = default;

void CorvidServerWidget::buildForm()
{
    setObjectName(QStringLiteral("MainDialog"));
    setWindowTitle(QStringLiteral("Dialog"));
    resize(652, 615);

    auto *grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));

    auto *title = makeLabel(QStringLiteral("label"), QStringLiteral("<H1>Corvid Server</H1>"), this);
    title->setTextFormat(Qt::RichText);
    grid->addWidget(title, 0, 0);

    auto *info = new QGroupBox(QStringLiteral("Server Info"), this);
    info->setObjectName(QStringLiteral("groupBox"));
    auto *infoGrid = new QGridLayout(info);

    auto *status = new QFormLayout();
    m_labelStartedAt = makeLabel(QStringLiteral("label_started_at"), QString(), info);
    m_labelHwStatus = makeLabel(QStringLiteral("label_HW_status"), QString(), info);
    status->addRow(makeLabel(QStringLiteral("label_11"), QStringLiteral("Started at:"), info), m_labelStartedAt);
    status->addRow(makeLabel(QStringLiteral("label_10"), QStringLiteral("HW status:"), info), m_labelHwStatus);
    infoGrid->addLayout(status, 0, 0);

    auto *buttons = new QHBoxLayout();
    m_buttonConnect = makeButton(QStringLiteral("pushButton_connect"), QStringLiteral("Connect"), info);
    m_buttonAbout = makeButton(QStringLiteral("pushButton_about"), QStringLiteral("About..."), info);
    m_buttonConfig = makeButton(QStringLiteral("pushButton_config"), QStringLiteral("Config..."), info);
    buttons->addWidget(m_buttonConnect);
    buttons->addWidget(m_buttonAbout);
    buttons->addWidget(m_buttonConfig);
    infoGrid->addLayout(buttons, 1, 0, Qt::AlignBottom);

    struct Row {
        Counter counter;
        const char *captionName;
        const char *caption;
        const char *valueName;
    };
    const auto counterGroup = [this, info](const char *name, const char *caption, std::initializer_list<Row> rows) {
        auto *group = new QGroupBox(QString::fromLatin1(caption), info);
        group->setObjectName(QString::fromLatin1(name));
        auto *form = new QFormLayout(group);
        for (const Row &row : rows) {
            QLabel *value = makeLabel(QString::fromLatin1(row.valueName), QStringLiteral("0"), group);
            value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("-2147483648")));
            form->addRow(makeLabel(QString::fromLatin1(row.captionName), QString::fromLatin1(row.caption), group),
                         value);
            m_counterLabels[row.counter] = value;
        }
        return group;
    };
    infoGrid->addWidget(counterGroup("groupBox_2", "Rx",
                                     {{RX_CORVID, "label_2", "Received messages:", "label_Rx_Corvid"},
                                      {RX_BYTES, "label_5", "Received (bytes):", "label_Rx_bytes"},
                                      {RX_BUFFER, "label_6", "Read buffer (bytes):", "label_Rx_buffer"},
                                      {RX_CAN, "label_7", "CAN frames:", "label_Rx_CAN"}}),
                        0, 1, 2, 1);
    infoGrid->addWidget(counterGroup("groupBox_3", "Tx",
                                     {{TX_CORVID, "label_9", "Transmitted messages:", "label_Tx_Corvid"},
                                      {TX_BYTES, "label_8", "Transmitted (bytes):", "label_Tx_bytes"}}),
                        2, 1);
    infoGrid->setColumnStretch(0, 1);
    grid->addWidget(info, 1, 0);

    m_textEdit = new QTextEdit(this);
    m_textEdit->setObjectName(QStringLiteral("textEdit"));
    m_textEdit->setAcceptRichText(false);
    grid->addWidget(m_textEdit, 2, 0);

    m_table = new QTableWidget(0, CLIENT_COLUMNS, this);
    m_table->setObjectName(QStringLiteral("tableWidget"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Address"), QStringLiteral("Status"),
                                        QStringLiteral("Description"), QStringLiteral("Connected"),
                                        QStringLiteral("ID")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();  // rows carry their ID
    m_table->horizontalHeader()->setStretchLastSection(true);
    grid->addWidget(m_table, 3, 0);
}

void CorvidServerWidget::onReconnectRequested(std::function<void()> handler)
{
    m_reconnectHandler = std::move(handler);
}

void CorvidServerWidget::hardwareStatusHandler(AbstractConnector::HWState newState)
{
    switch (newState) {
    case AbstractConnector::HW_NOTINIT:
        qCritical("Hardware not init");
        m_buttonConnect->setText(QStringLiteral("Connect"));
        m_labelHwStatus->setText(QStringLiteral("Not init"));
        return;
    case AbstractConnector::HW_READY:
        qInfo("Hardware ready");
        m_buttonConnect->setText(QStringLiteral("Disconnect"));
        m_labelHwStatus->setText(QStringLiteral("Ready"));
        return;
    case AbstractConnector::HW_ERROR:
        qCritical("Hardware error occured");
        m_buttonConnect->setText(QStringLiteral("Disconnect"));
        m_labelHwStatus->setText(QStringLiteral("Error!"));
        return;
    }
    qCritical().noquote() << tr("Hardware in unknown state! (%1)").arg(int(newState));
}

void CorvidServerWidget::slotAddClient(const crd_client_info_t &newClient)
{
    // Who is there: the far end, not the server's own address and port.
    QString address;
    if (newClient.socket) {
        address = displayAddress(newClient.socket->peerAddress()) + QStringLiteral(" : ")
                  + QString::number(newClient.socket->peerPort());
    }
    if (!newClient.certificateName.isEmpty())
        address += QStringLiteral(" (%1)").arg(newClient.certificateName);
    const QString cells[CLIENT_COLUMNS] = {
        newClient.description,
        address,
        newClient.observer == 1 ? QStringLiteral("Observer") : QStringLiteral("Manager"),
        newClient.app_name,
        QDateTime::currentDateTimeUtc().toString(Qt::TextDate),
        QString::number(newClient.id),
    };
    m_table->insertRow(0);
    for (int column = 0; column < CLIENT_COLUMNS; ++column) {
        auto *item = new QTableWidgetItem(cells[column]);
        item->setToolTip(cells[column]);
        m_table->setItem(0, column, item);
    }
    // The widths set at construction are a start; no text is cut off.
    for (int column = 0; column < COL_ID; ++column) {
        if (!m_table->isColumnHidden(column))
            m_table->resizeColumnToContents(column);
    }
    qInfo().nospace().noquote() << "TCP client #" << newClient.id << " approved.";
}

void CorvidServerWidget::slotDisconnected(quint32 clientId)
{
    const QString id = QString::number(clientId);
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *item = m_table->item(row, COL_ID);
        if (item && item->text() == id) {
            m_table->removeRow(row);
            break;
        }
    }
    qInfo().nospace().noquote() << "TCP client #" << clientId << " disconnected.";
}

void CorvidServerWidget::slotShowAboutQtDialog()
{
    QMessageBox::aboutQt(this, QStringLiteral("Qt information"));
}

void CorvidServerWidget::slotShowAboutDialog()
{
    auto *about = new CorvidAboutDialog(this);
    connect(about, &CorvidAboutDialog::aboutQtRequested, this, &CorvidServerWidget::slotShowAboutQtDialog);
    about->show();
}

void CorvidServerWidget::setRxCorvidCount(int value) { setCounter(RX_CORVID, value); }
void CorvidServerWidget::setTxCorvidCount(int value) { setCounter(TX_CORVID, value); }
void CorvidServerWidget::setRxBytesCount(int value) { setCounter(RX_BYTES, value); }
void CorvidServerWidget::setRxCurrentBytesCount(int value) { setCounter(RX_BUFFER, value); }
void CorvidServerWidget::setTxBytesCount(int value) { setCounter(TX_BYTES, value); }
void CorvidServerWidget::setRxCANCount(int value) { setCounter(RX_CAN, value); }

void CorvidServerWidget::setCounter(Counter which, int value)
{
    m_counterValues[which] = value;
    m_counterDirty[which] = true;
    scheduleRefresh();
}

void CorvidServerWidget::appendText(const QString &text)
{
    m_pendingText.append(text);
    // Lines beyond the pane's limit would be dropped on arrival anyway; trimmed
    // in batches so a flood costs no more than the lines themselves.
    if (m_pendingText.size() > 2 * MAX_TEXT_LINES)
        m_pendingText.erase(m_pendingText.begin(), m_pendingText.end() - MAX_TEXT_LINES);
    scheduleRefresh();
}

void CorvidServerWidget::scheduleRefresh()
{
    if (!m_refresh.isActive())
        m_refresh.start();
}

void CorvidServerWidget::flushPending()
{
    m_refresh.stop();
    for (int i = 0; i < COUNTERS; ++i) {
        if (m_counterDirty[i]) {
            m_counterLabels[i]->setText(QString::number(m_counterValues[i]));
            m_counterDirty[i] = false;
        }
    }
    if (m_pendingText.isEmpty())
        return;

    QScrollBar *bar = m_textEdit->verticalScrollBar();
    const bool atBottom = bar->value() == bar->maximum();
    QTextDocument *doc = m_textEdit->document();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    bool empty = doc->isEmpty();
    const int skip = qMax(0, int(m_pendingText.size()) - MAX_TEXT_LINES);
    for (auto it = m_pendingText.cbegin() + skip; it != m_pendingText.cend(); ++it) {
        const QString &text = *it;
        if (!empty)
            cursor.insertBlock();
        cursor.insertText(text);
        empty = false;
    }
    cursor.endEditBlock();
    m_pendingText.clear();
    if (atBottom)
        bar->setValue(bar->maximum());
}
