#include "ui/GuiPrompt.h"

#include "ui/CorvidAdapterChooser.h"

#include <QMessageBox>
#include <QPushButton>

GuiPrompt::~GuiPrompt()
{
    for (const QPointer<QMessageBox> &box : qAsConst(m_notices))
        delete box.data();
}

int GuiPrompt::chooseAdapter(const QStringList &entries)
{
    return corvid_choose_adapter(entries);
}

void GuiPrompt::inform(const QString &text)
{
    QMessageBox box(QMessageBox::Information, QString(), text, QMessageBox::Ok);
    box.exec();
}

int GuiPrompt::showNoAdapter(const QString &text, std::function<void()> onIgnore)
{
    auto *box = new QMessageBox(QMessageBox::Information, QString(), text, QMessageBox::Ok | QMessageBox::Ignore);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    const int token = ++m_lastToken;
    m_notices.insert(token, box);
    QObject::connect(box, &QMessageBox::finished, box, [this, token, onIgnore](int result) {
        m_notices.remove(token);
        if (result == QMessageBox::Ignore && onIgnore)
            onIgnore();
    });
    box->show();
    return token;
}

void GuiPrompt::closeNotice(int token)
{
    const QPointer<QMessageBox> box = m_notices.take(token);
    if (box) {
        // Closed by the program, not answered by the operator.
        QObject::disconnect(box, &QMessageBox::finished, nullptr, nullptr);
        // close() would be refused: the box has no escape button.
        box->hide();
        box->deleteLater();
    }
}

bool GuiPrompt::confirmListenFailure(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QString(), text, QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() != QMessageBox::Cancel;
}

void GuiPrompt::launchError(const QString &text)
{
    showLaunchError(text);
}

void GuiPrompt::showLaunchError(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Launch error"), text, QMessageBox::Ok);
    box.exec();
}
