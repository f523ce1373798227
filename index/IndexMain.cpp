// corvena-index: the headless indexer. A core application only: no window system is needed.
#include "Indexer.h"

#include <QCoreApplication>

#include <algorithm>

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    TIndexHooks Hooks;
#ifdef CORVENA_INDEX_TEST_HOOKS
    // Only in corvena-index-testhooks, the build the tests run: the shipped program never
    // reads these.
    Hooks.FileDelayMs = std::max(0, qEnvironmentVariableIntValue("CORVENA_INDEX_FILE_DELAY_MS"));
    Hooks.EntryDelayMs = std::max(0, qEnvironmentVariableIntValue("CORVENA_INDEX_ENTRY_DELAY_MS"));
    Hooks.WatchLimit = std::max(0, qEnvironmentVariableIntValue("CORVENA_INDEX_WATCH_LIMIT"));
    Hooks.WatchPasses = std::max(0, qEnvironmentVariableIntValue("CORVENA_INDEX_WATCH_PASSES"));
    if (const int Rescan = qEnvironmentVariableIntValue("CORVENA_INDEX_RESCAN_MS"); Rescan > 0)
        Hooks.RescanMs = Rescan;
#endif
    return RunCorvenaIndex(QCoreApplication::arguments(), QCoreApplication::applicationFilePath(), Hooks);
}
