// The watch's setup on a big tree: TFolderWatcher (inotify directly) against QFileSystemWatcher
// on the same folders. QFileSystemWatcher only says "this folder changed", so a watch built on
// it must also keep each folder's file names to find what is new: that is measured as well.
// Each way runs in a child process of its own; the figures are its setup time and the growth
// of its resident memory (the kernel's own memory per watch is the same for both).
//   bench_watch_backends [FILES=100000] [FOLDERS=400]
#include "FolderWatcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileSystemWatcher>
#include <QHash>
#include <QSet>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

long ResidentKb() {
    std::ifstream In("/proc/self/status");
    for (std::string Line; std::getline(In, Line);)
        if (Line.rfind("VmRSS:", 0) == 0)
            return std::atol(Line.c_str() + 6);
    return -1;
}

std::string Numbered(char APrefix, int ANumber) {
    std::string Name(1, APrefix);
    Name += std::to_string(ANumber);
    return Name;
}

// 20 folders of FOLDERS/20 folders each, the files spread evenly over the lower ones.
void MakeTree(const fs::path& ARoot, int AFiles, int AFolders) {
    const int Top = 20;
    const int Below = std::max(1, AFolders / Top);
    int Made = 0;
    for (int T = 0; T < Top; ++T)
        for (int B = 0; B < Below; ++B) {
            const fs::path Folder = ARoot / Numbered('T', T) / Numbered('F', B);
            fs::create_directories(Folder);
            const int Count = AFiles / (Top * Below) + (Made < AFiles % (Top * Below) ? 1 : 0);
            for (int I = 0; I < Count; ++I)
                std::ofstream(Folder / (Numbered('s', I) += ".mpg")).put('x');
            ++Made;
        }
}

template <typename TSetup>
void Measure(const char* AName, TSetup ASetup) {
    std::fflush(stdout);
    const pid_t Child = fork();
    if (Child == 0) {
        const long Before = ResidentKb();
        const auto Start = std::chrono::steady_clock::now();
        const std::string Folders = ASetup();
        const double Ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
        std::printf("%-44s %8.1f ms  +%6.1f MB resident  (%s)\n", AName, Ms, (ResidentKb() - Before) / 1024.0,
                    Folders.c_str());
        std::fflush(stdout);
        _exit(0);
    }
    int Status = 0;
    waitpid(Child, &Status, 0);
}

} // namespace

int main(int argc, char** argv) {
    const int Files = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int Folders = argc > 2 ? std::atoi(argv[2]) : 400;
    char Template[] = "/tmp/bench-watch-backends-XXXXXX";
    if (mkdtemp(Template) == nullptr)
        return 1;
    const fs::path Root = fs::path(Template) / "Songs";
    MakeTree(Root, Files, Folders);
    std::printf("%d files in %d folders below %s\n", Files, Folders, Root.c_str());

    Measure("TFolderWatcher (inotify)", [&] {
        static TFolderWatcher Watcher(Root.string());
        Watcher.Start();
        return std::to_string(Watcher.Folders()) + " folders watched";
    });
    const auto Qt = [&](bool ANames) {
        static int Argc = 1;
        static char* Argv[] = {argv[0], nullptr};
        static QCoreApplication App(Argc, Argv);
        static QFileSystemWatcher Watcher;
        static QHash<QString, QSet<QString>> Names;
        QStringList Paths{QString::fromStdString(Root.string())};
        QDirIterator It(Paths.front(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (It.hasNext())
            Paths << It.next();
        Watcher.addPaths(Paths);
        if (ANames)
            for (const QString& Path : Paths) {
                const QStringList List = QDir(Path).entryList(QDir::Files);
                Names.insert(Path, QSet<QString>(List.begin(), List.end()));
            }
        return std::to_string(Watcher.directories().size()) + " folders watched";
    };
    Measure("QFileSystemWatcher, folders only", [&] { return Qt(false); });
    Measure("QFileSystemWatcher + file names per folder", [&] { return Qt(true); });

    fs::remove_all(Template);
    return 0;
}
