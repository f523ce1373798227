#include "Progress.h"

#include "Console.h"

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::string Clock(double ASeconds) {
    const long Total = static_cast<long>(ASeconds + 0.5);
    char Text[32];
    if (Total >= 3600)
        std::snprintf(Text, sizeof Text, "%ld:%02ld:%02ld", Total / 3600, Total / 60 % 60, Total % 60);
    else
        std::snprintf(Text, sizeof Text, "%ld:%02ld", Total / 60, Total % 60);
    return Text;
}

// A line wider than the terminal would wrap, and "\r" would then redraw only its end.
std::string Fit(std::string ALine) {
    winsize Size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 1 && ALine.size() >= Size.ws_col)
        ALine.resize(static_cast<std::size_t>(Size.ws_col) - 1);
    return ALine;
}

} // namespace

TProgress::TProgress(bool AQuiet)
    : FQuiet(AQuiet), FTerminal(isatty(STDERR_FILENO) == 1), FEscapes(qgetenv("TERM") != "dumb"),
      FLastLine(TClock::now()) {}

void TProgress::StartPhase(bool AIndex) {
    FIndex = AIndex;
    FPhaseStart = TClock::now();
    FCurrent = 0;
    FTotal = 0;
    FShown = false;
}

void TProgress::Search(int ASeen) {
    FCurrent = ASeen;
    Show(false);
}

void TProgress::Index(int ACurrent, int ATotal) {
    FCurrent = ACurrent;
    FTotal = ATotal;
    Show(false);
}

void TProgress::EndPhase() {
    if (FQuiet || !FTerminal)
        return;
    Show(true);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void TProgress::Show(bool AForce) {
    if (FQuiet)
        return;
    const auto Now = TClock::now();
    // A terminal is redrawn at a rate the eye can follow; a log gets a line now and then.
    const auto Every = FTerminal ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000);
    if (!AForce && FShown && Now - FLastLine < Every)
        return;
    if (!AForce && !FTerminal && Now - FLastLine < Every)
        return;
    FLastLine = Now;
    FShown = true;
    std::string Line = FTerminal ? TerminalLine(Now) : LogLine(Now);
    if (FTerminal && FEscapes) {
        std::fprintf(stderr, "\r%s\033[K", Line.c_str());
    } else if (FTerminal) {
        // A dumb terminal knows no erase: blanks cover what a longer line left.
        const std::size_t Length = Line.size();
        if (Line.size() < FLastLength)
            Line.append(FLastLength - Line.size(), ' ');
        FLastLength = Length;
        std::fprintf(stderr, "\r%s", Line.c_str());
    } else
        std::fprintf(stderr, "%s: %s\n", ProgramName, Line.c_str());
    std::fflush(stderr);
}

bool TProgress::Rate(TClock::time_point ANow, double& APerSecond, double& ALeft) const {
    const double Done = std::max(FCurrent - 1, 0);
    const double Time = std::chrono::duration<double>(ANow - FPhaseStart).count();
    if (Time < 0.5 || Done <= 0)
        return false;
    APerSecond = Done / Time;
    ALeft = (FTotal - Done) / APerSecond;
    return true;
}

std::string TProgress::TerminalLine(TClock::time_point ANow) const {
    char Text[256];
    if (!FIndex) {
        std::snprintf(Text, sizeof Text, "Searching: %d files seen", FCurrent);
        return Fit(Text);
    }
    constexpr int BarWidth = 24;
    const int Filled = FTotal > 0 ? static_cast<int>(static_cast<long long>(FCurrent) * BarWidth / FTotal) : 0;
    const std::string Bar = std::string(static_cast<std::size_t>(Filled), '#') +
                            std::string(static_cast<std::size_t>(BarWidth - Filled), '-');
    double PerSecond = 0;
    double Left = 0;
    std::string Speed = "-- files/s, --:-- left";
    if (Rate(ANow, PerSecond, Left))
        Speed = std::to_string(static_cast<long>(PerSecond + 0.5)) + " files/s, " + Clock(Left) + " left";
    std::snprintf(Text, sizeof Text, "Indexing [%s] %d/%d %s", Bar.c_str(), FCurrent, FTotal, Speed.c_str());
    return Fit(Text);
}

std::string TProgress::LogLine(TClock::time_point ANow) const {
    char Text[256];
    if (!FIndex) {
        std::snprintf(Text, sizeof Text, "searching, %d files seen", FCurrent);
        return Text;
    }
    double PerSecond = 0;
    double Left = 0;
    std::string Speed;
    if (Rate(ANow, PerSecond, Left))
        Speed = ", " + std::to_string(static_cast<long>(PerSecond + 0.5)) + " files/s, " + Clock(Left) + " left";
    const int Percent = FTotal > 0 ? static_cast<int>(static_cast<long long>(FCurrent) * 100 / FTotal) : 0;
    std::snprintf(Text, sizeof Text, "indexing file %d of %d (%d%%)%s", FCurrent, FTotal, Percent, Speed.c_str());
    return Text;
}
