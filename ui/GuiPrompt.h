#pragma once
// The operator prompt of the graphical mode: the questions of the libraries
// below the window become dialogs and message boxes.

#include "connectors/OperatorPrompt.h"

#include <QMap>
#include <QPointer>

class QMessageBox;

class GuiPrompt final : public OperatorPrompt
{
public:
    GuiPrompt() = default;
    ~GuiPrompt() override;
    Q_DISABLE_COPY(GuiPrompt)

    bool interactive() const override { return true; }
    int chooseAdapter(const QStringList &entries) override;
    void inform(const QString &text) override;
    int showNoAdapter(const QString &text, std::function<void()> onIgnore) override;
    void closeNotice(int token) override;
    bool confirmListenFailure(const QString &text) override;
    void launchError(const QString &text) override;

    // The "Launch error" box alone, for the time before a window exists.
    static void showLaunchError(const QString &text);

private:
    int m_lastToken = 0;
    QMap<int, QPointer<QMessageBox>> m_notices;
};
