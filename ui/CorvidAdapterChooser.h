#pragma once
// The adapter chooser: a modal list from which the operator picks one CAN
// adapter when several are found.

#include <QStringList>

// Runs the chooser over the entries (in the order given) and returns the index
// selected when it ends, whether by Ok or by closing the window; -1 for an
// empty list.
int corvid_choose_adapter(const QStringList &entries);
