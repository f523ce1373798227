// The progress of corvena-index on standard error: on a terminal one line redrawn in place at a
// rate the eye can follow (TERM=dumb: no escape sequences, blanks cover what a longer line
// left), otherwise a plain line now and then for a log. Used by one phase at a time, from the
// thread that reports it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class TProgress {
public:
    explicit TProgress(bool AQuiet);

    // A phase begins: the search (its count of files seen) or the indexing (file i of n).
    void StartPhase(bool AIndex);
    void Search(int ASeen);
    void Index(int ACurrent, int ATotal);
    // The terminal's line shows the last state and is left standing.
    void EndPhase();

    bool Quiet() const { return FQuiet; }
    void SetQuiet(bool AQuiet) { FQuiet = AQuiet; }

private:
    using TClock = std::chrono::steady_clock;

    void Show(bool AForce);
    // Files per second so far and the time left; false until there is a rate to go by.
    bool Rate(TClock::time_point ANow, double& APerSecond, double& ALeft) const;
    std::string TerminalLine(TClock::time_point ANow) const;
    std::string LogLine(TClock::time_point ANow) const;

    bool FQuiet;
    bool FTerminal;
    bool FEscapes;
    std::size_t FLastLength = 0;
    bool FIndex = false;
    bool FShown = false;
    TClock::time_point FLastLine;
    TClock::time_point FPhaseStart;
    int FCurrent = 0;
    int FTotal = 0;
};
