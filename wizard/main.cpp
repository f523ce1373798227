#include "Main.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication App(argc, argv);
    return RunCorvena(QCoreApplication::arguments(), QCoreApplication::applicationFilePath());
}
