// corvena-index: the headless indexer. A core application only: no window system is needed.
#include "Indexer.h"

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    return RunCorvenaIndex(QCoreApplication::arguments(), QCoreApplication::applicationFilePath());
}
