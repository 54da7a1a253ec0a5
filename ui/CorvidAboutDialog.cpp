#include "ui/CorvidAboutDialog.h"

#include "server/CorvidServer.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CorvidAboutDialog::CorvidAboutDialog(QWidget *parent)
    : QDialog(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(true);
    setWindowTitle(QStringLiteral("About Control Center"));

    auto *text = new QLabel(aboutText(), this);
    text->setObjectName(QStringLiteral("aboutText"));
    text->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    auto *aboutQt = new QPushButton(QStringLiteral("About Qt..."), this);
    aboutQt->setFixedWidth(80);
    auto *ok = new QPushButton(QStringLiteral("Ok"), this);
    ok->setFixedWidth(80);
    ok->setDefault(true);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(aboutQt, 0, Qt::AlignHCenter);
    auto *okRow = new QHBoxLayout();
    okRow->addStretch();
    okRow->addWidget(ok);
    okRow->addStretch();
    layout->addLayout(okRow);

    connect(ok, &QPushButton::pressed, this, &QDialog::accept);
    connect(aboutQt, &QPushButton::pressed, this, &CorvidAboutDialog::aboutQtRequested);
}

QString CorvidAboutDialog::aboutText()
{
    const QString changeLog = QStringLiteral(
        "\n1.41 - serial CAN adapters with acknowledged frames"
        "\n1.42 - radio links over KISS and AGWPE modems, UDP multicast"
        "\n1.43 - Qt CAN bus devices, Telnet terminals per device");
    const QString devices = QStringLiteral(
        "\nBusbridge 2.0 CAN converter (any firmware)"
        "\n    carrier speeds up to 1 Mbit/s"
        "\n    real transfer speeds up to 200 kbit/s"
        "\nSNIFRX CAN sniffer (firmware since version 0002)"
        "\n    carrier speeds up to 1 Mbit/s"
        "\n    real transfer speeds up to 1 Mbit/s");
    return QStringLiteral("Control center application\n\n") + tr("version: %1").arg(CORVID_SERVER_VERSION)
           + tr("\n\nchange log: %1").arg(changeLog) + tr("\n\nsupport devices: %1").arg(devices)
           + QStringLiteral("\n\nWritten by the Corvid ground station team.");
}
