#pragma once
// The about box: the application, its version, its changes and the adapters
// it supports. Modal to its parent, shown without blocking, deleted on close.

#include <QDialog>

class CorvidAboutDialog : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(CorvidAboutDialog)

public:
    explicit CorvidAboutDialog(QWidget *parent = nullptr);

    // The label's text.
    static QString aboutText();

signals:
    // The "About Qt..." button was pressed.
    void aboutQtRequested();
};
