// corvid-chooser NAME...: shows the adapter chooser with the given entries and
// prints the index the operator chose (-1 for no entries).

#include "ui/CorvidAdapterChooser.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QStringList entries = QCoreApplication::arguments();
    entries.removeFirst();
    std::printf("%d\n", corvid_choose_adapter(entries));
    return 0;
}
