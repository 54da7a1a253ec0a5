#include "ui/CorvidAdapterChooser.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>

int corvid_choose_adapter(const QStringList &entries)
{
    QDialog dialog;
    dialog.setObjectName(QStringLiteral("AdapterChooser"));
    dialog.setWindowTitle(QStringLiteral("Select CAN adapter"));
    auto *grid = new QGridLayout(&dialog);
    grid->setObjectName(QStringLiteral("gridLayout"));
    auto *combo = new QComboBox(&dialog);
    combo->setObjectName(QStringLiteral("comboBox"));
    combo->addItems(entries);
    grid->addWidget(combo, 0, 0);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, Qt::Horizontal, &dialog);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    grid->addWidget(buttons, 1, 0);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    dialog.exec();
    return combo->currentIndex();
}
