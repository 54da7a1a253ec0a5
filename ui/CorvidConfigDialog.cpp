#include "ui/CorvidConfigDialog.h"

#include "config/CorvidConfigData.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPair>
#include <QPushButton>
#include <QSysInfo>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QVector>

CorvidConfigDialog::CorvidConfigDialog(CorvidConfigData *config, QWidget *window, QObject *parent)
    : QObject(parent), m_config(config), m_window(window)
{
}

CorvidConfigDialog::~CorvidConfigDialog()
{
    delete m_dialog.data();
}

void CorvidConfigDialog::slotShowDialog()
{
    if (m_dialog)
        m_dialog->close();

    auto *dialog = new QDialog(m_window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    dialog->setWindowTitle(QStringLiteral("Parameters"));

    auto *heading = new QLabel(QStringLiteral("Control center application default parameters:\n"), dialog);
    heading->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    const QString byteOrder = tr("system uses Little-Endian data.");
#else
    const QString byteOrder = tr("system uses Big-Endian data.");
#endif
    auto *arch = new QLabel(QStringLiteral("Current architecture is - ") + QSysInfo::buildCpuArchitecture()
                                + QStringLiteral(", ") + byteOrder,
                            dialog);
    arch->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto *table = new QTableWidget(0, COLUMNS, dialog);
    table->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Value"), QStringLiteral("Description")});
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setMinimumSectionSize(20);
    table->verticalHeader()->setDefaultSectionSize(20);

    // Each row goes in at the top: the finished table runs in descending
    // name order.
    const QMap<QString, QString> &values = m_config->values();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        table->insertRow(0);
        auto *name = new QTableWidgetItem(it.key());
        name->setFlags(name->flags() & ~Qt::ItemIsEditable);
        auto *description = new QTableWidgetItem(m_config->getDescription(it.key()));
        description->setFlags(description->flags() & ~Qt::ItemIsEditable);
        description->setToolTip(description->text());
        table->setItem(0, COL_NAME, name);
        table->setItem(0, COL_VALUE, new QTableWidgetItem(it.value()));
        table->setItem(0, COL_DESCRIPTION, description);
    }
    table->adjustSize();
    table->setColumnWidth(COL_NAME, 160);
    table->setColumnWidth(COL_VALUE, 240);
    // A longer description widens its column (reached by scrolling) rather
    // than being cut off.
    table->resizeColumnToContents(COL_DESCRIPTION);
    table->setColumnWidth(COL_DESCRIPTION, qMax(400, table->columnWidth(COL_DESCRIPTION)));

    auto *cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    cancel->setFixedWidth(60);
    cancel->setEnabled(false);
    auto *ok = new QPushButton(QStringLiteral("Ok"), dialog);
    ok->setFixedWidth(60);
    connect(cancel, &QPushButton::pressed, dialog, &QDialog::close);
    connect(ok, &QPushButton::pressed, this, &CorvidConfigDialog::slotOkButtonPressed);

    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(heading);
    layout->addWidget(arch);
    layout->addWidget(table);
    auto *buttons = new QHBoxLayout();
    buttons->addStretch();
    buttons->addWidget(cancel, 0, Qt::AlignRight);
    buttons->addWidget(ok, 0, Qt::AlignRight);
    layout->addLayout(buttons);

    m_dialog = dialog;
    m_table = table;
    dialog->resize(800, 500);
    dialog->show();
}

void CorvidConfigDialog::slotOkButtonPressed()
{
    if (!m_table)
        return;
    QVector<QPair<QString, QString>> rows;
    rows.reserve(m_table->rowCount());
    for (int row = 0; row < m_table->rowCount(); ++row) {
        const QTableWidgetItem *name = m_table->item(row, COL_NAME);
        const QTableWidgetItem *value = m_table->item(row, COL_VALUE);
        rows.append({name ? name->text() : QString(), value ? value->text() : QString()});
    }
    m_config->acceptEditedRows(rows);
    if (m_dialog)
        m_dialog->close();
}
