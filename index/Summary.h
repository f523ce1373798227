// How a corvena-index run is told: the summary on standard output and the files asked for on
// the command line (the unmatched list, the near matches, the JSON summary).
#pragma once

#include "IndexOptions.h"
#include "RunReport.h"

#include <QString>

#include <string>

// What ended a run besides its report: a signal, and the database an error that ended the run
// is about (the master unless the local one stopped it).
struct TRunEnd {
    bool Interrupted = false;
    QString StopFile;
};

// The summary on standard output; "known:" only with --skip-known.
void PrintSummary(const TRunReport& AReport, const TIndexOptions& AOptions, const QString& ASongsDir,
                  const TRunEnd& AEnd);
// The JSON summary, one object with a fixed set of keys.
std::string SummaryJson(const TRunReport& AReport, const TRunEnd& AEnd);
// Writes the files AOptions names; false (each failure said on standard error) when one fails.
bool WriteReportFiles(const TRunReport& AReport, const TIndexOptions& AOptions, const TRunEnd& AEnd);
// "" when AFile can be written (created or replaced), without making it now; else why not.
std::string WritableProblem(const QString& AFile);
