#pragma once
// The parameters dialog: every parameter of the store with its description,
// the values editable. Ok hands the rows to the store, which stores the
// changes, announces each with paramChanged and saves the file.

#include <QObject>
#include <QDialog>
#include <QPointer>
#include <QTableWidget>

class CorvidConfigData;


class QWidget;

class CorvidConfigDialog : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CorvidConfigDialog)

public:
    enum Column { COL_NAME = 0, COL_VALUE, COL_DESCRIPTION, COLUMNS };

    // The dialog opens over `window` (may be null).
    explicit CorvidConfigDialog(CorvidConfigData *config, QWidget *window = nullptr, QObject *parent = nullptr);
    ~CorvidConfigDialog() override;

    // The dialog while it is open, and its table.
    QDialog *dialog() const { return m_dialog; }
    QTableWidget *table() const { return m_table; }

public slots:
    // Builds a new dialog (closing one still open) and shows it.
    void slotShowDialog();
    // Takes over the edited values and closes the dialog.
    void slotOkButtonPressed();

private:
    CorvidConfigData *m_config = nullptr;
    QPointer<QWidget> m_window;
    QPointer<QDialog> m_dialog;
    QPointer<QTableWidget> m_table;
};
