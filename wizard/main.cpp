#include "CommandLine.h"
#include "Main.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char** argv) {
    // Before QApplication, which needs a display.
    if (const std::optional<std::string> Text = InfoOptionText(argc, argv)) {
        std::fputs(Text->c_str(), stdout);
        return 0;
    }
    QApplication App(argc, argv);
    return RunCorvena(QCoreApplication::arguments(), QCoreApplication::applicationFilePath());
}
