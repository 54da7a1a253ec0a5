#pragma once
// An operator prompt that records every question, for the lifetime of the
// object the process-wide one.

#include "connectors/OperatorPrompt.h"

class RecordingPrompt final : public HeadlessPrompt {
public:
    QStringList informed;
    QStringList listenFailures;
    bool goOnAfterListenFailure = true;
    QStringList noAdapter;            // texts of the no-adapter notices shown
    QList<int> closedNotices;         // their tokens (1, 2, ...) as closed
    std::function<void()> ignore;     // answers the last notice with Ignore
    QList<QStringList> adapterChoices;  // the lists the adapter chooser offered
    int adapterChoice = 0;              // the index it answers

    RecordingPrompt() { corvid_set_prompt(this); }
    ~RecordingPrompt() override { corvid_set_prompt(nullptr); }
    RecordingPrompt(const RecordingPrompt &) = delete;
    RecordingPrompt &operator=(const RecordingPrompt &) = delete;

    bool interactive() const override { return true; }
    int chooseAdapter(const QStringList &entries) override
    {
        adapterChoices << entries;
        return adapterChoice;
    }
    void inform(const QString &text) override { informed << text; }
    bool confirmListenFailure(const QString &text) override
    {
        listenFailures << text;
        return goOnAfterListenFailure;
    }
    int showNoAdapter(const QString &text, std::function<void()> onIgnore) override
    {
        noAdapter << text;
        ignore = std::move(onIgnore);
        return int(noAdapter.size());
    }
    void closeNotice(int token) override { closedNotices << token; }
};
