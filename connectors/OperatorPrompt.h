#pragma once
// The questions the server may put to an operator. Libraries below the window
// ask through this interface only; the start-up installs the graphical form
// when a window exists. The headless form never waits: it answers at once as
// a server without a window must.

#include <QString>
#include <QStringList>
#include <functional>

class OperatorPrompt {
public:
    virtual ~OperatorPrompt() = default;

    // True when an operator can answer (a main window exists).
    virtual bool interactive() const = 0;

    // Adapter chooser: entries in the order given; returns the chosen index,
    // -1 for an empty list.
    virtual int chooseAdapter(const QStringList &entries) = 0;

    // Modal information box with an Ok button.
    virtual void inform(const QString &text) = 0;

    // Non-modal no-adapter box with Ok and Ignore. `onIgnore` runs when the
    // operator answers Ignore. Returns a token for closeNotice; 0 when nothing
    // was shown.
    virtual int showNoAdapter(const QString &text, std::function<void()> onIgnore) = 0;
    // Closes a box shown by showNoAdapter, if it is still open.
    virtual void closeNotice(int token) = 0;

    // The listening port failed: modal critical box with Ok and Cancel
    // (Cancel the default). True means go on without clients.
    virtual bool confirmListenFailure(const QString &text) = 0;

    // Modal critical box titled "Launch error" with an Ok button.
    virtual void launchError(const QString &text) = 0;
};

// Answers without waiting: the last adapter, go on after a failed listen,
// and nothing shown.
class HeadlessPrompt : public OperatorPrompt {
public:
    bool interactive() const override { return false; }
    int chooseAdapter(const QStringList &entries) override { return int(entries.size()) - 1; }
    void inform(const QString &) override {}
    int showNoAdapter(const QString &, std::function<void()>) override { return 0; }
    void closeNotice(int) override {}
    bool confirmListenFailure(const QString &) override { return true; }
    void launchError(const QString &) override {}
};

// The process-wide prompt; a HeadlessPrompt until the start-up installs
// another. The caller keeps ownership; null restores the headless one.
OperatorPrompt &corvid_prompt();
void corvid_set_prompt(OperatorPrompt *prompt);
