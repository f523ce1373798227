#include "Summary.h"

#include "Console.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

// Lines of the text summary that list paths with their reason or error.
constexpr std::size_t SummaryListed = 5;
// The JSON's "errors" at the most.
constexpr std::size_t MaxErrors = 100;

std::string Seconds(double AValue) {
    char Text[32];
    std::snprintf(Text, sizeof Text, "%.2f s", AValue);
    return Text;
}

std::size_t Size(int AValue) { return static_cast<std::size_t>(std::max(AValue, 0)); }

// Invalid UTF-8 would make the document unreadable: such bytes become U+FFFD.
QString JsonText(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

// The JSON's "errors": the files that failed (a run stopped before any file failed has none,
// and names the database that stopped it instead), then what the search did not collect, at
// most MaxErrors in all.
std::vector<TSongIdxFailure> SummaryErrors(const TRunReport& AReport, const std::string& AStopFile) {
    const TSongIdxReport& Index = AReport.Index;
    std::vector<TSongIdxFailure> Errors;
    if (Index.Failures.empty() && !Index.RunError.empty())
        Errors.push_back(TSongIdxFailure{AStopFile, Index.RunError});
    else
        Errors.assign(Index.Failures.begin(),
                      Index.Failures.begin() + static_cast<std::ptrdiff_t>(std::min(Index.Failures.size(), MaxErrors)));
    for (const TNotCollected& Skipped : AReport.NotCollected) {
        if (Errors.size() >= MaxErrors)
            break;
        Errors.push_back(TSongIdxFailure{Skipped.Path.toStdString(), Skipped.Reason.toStdString()});
    }
    return Errors;
}

bool WriteWhole(const QString& AFile, const std::string& AText, std::string& AError) {
    QFile File(AFile);
    if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        File.write(AText.data(), static_cast<qint64>(AText.size())) != static_cast<qint64>(AText.size()) ||
        !File.flush()) {
        AError = File.errorString().toStdString();
        return false;
    }
    File.close();
    return true;
}

// One line a file, whatever its name holds.
std::string UnmatchedText(const TSongIdxReport& AIndex) {
    std::string Text;
    for (const std::string& Path : AIndex.Unmatched)
        Text += EscapePath(Path) + "\n";
    return Text;
}

// A path or name as a field: a tab separates the fields, so it is escaped as a path is.
std::string NearMatchesText(const TSongIdxReport& AIndex) {
    std::string Text;
    for (const TNearMatch& Match : AIndex.NearMatches)
        Text += EscapePath(Match.Path) + "\t" + EscapePath(Match.MasterName) + "\t" +
                NearMatchReasonName(Match.Reason) + "\n";
    return Text;
}

void PrintListed(const std::vector<std::pair<std::string, std::string>>& AListed, std::size_t ATotal) {
    for (std::size_t I = 0; I < AListed.size() && I < SummaryListed; ++I)
        std::printf("      %s: %s\n", AListed[I].first.c_str(), AListed[I].second.c_str());
    if (ATotal > SummaryListed)
        std::printf("      and %zu more\n", ATotal - SummaryListed);
}

} // namespace

void PrintSummary(const TRunReport& AReport, const TIndexOptions& AOptions, const QString& ASongsDir,
                  const TRunEnd& AEnd) {
    const TSongIdxReport& Index = AReport.Index;
    const auto Line = [](const char* ALabel, const std::string& AValue) {
        std::printf("  %-22s%s\n", ALabel, AValue.c_str());
    };
    const auto Number = [&](const char* ALabel, std::size_t AValue) { Line(ALabel, std::to_string(AValue)); };

    std::printf("Summary of indexing %s:\n", Quoted(ASongsDir).c_str());
    Number("files seen:", Size(AReport.Seen));
    Number("files collected:", Size(AReport.Collected));
    Number("not collected:", AReport.NotCollected.size());
    std::vector<std::pair<std::string, std::string>> Listed;
    for (std::size_t I = 0; I < AReport.NotCollected.size() && I < SummaryListed; ++I)
        Listed.emplace_back(AReport.NotCollected[I].Path.toStdString(), AReport.NotCollected[I].Reason.toStdString());
    PrintListed(Listed, AReport.NotCollected.size());
    Line("files indexed:", std::to_string(Index.Files) + " of " + std::to_string(AReport.Collected));
    Number("matched:", Size(Index.Matched));
    Number("new songs:", Size(Index.Inserted));
    Number("rewritten:", Size(Index.Updated));
    Number("kept:", Size(Index.Kept));
    if (AOptions.SkipKnown)
        Number("known:", AReport.Known);
    Number("unmatched:", Index.Unmatched.size());
    Number("near matches:", Index.NearMatches.size());
    Number("without a song name:", Size(Index.WithoutName));
    Number("failed:", Size(Index.Failed));
    Listed.clear();
    for (std::size_t I = 0; I < Index.Failures.size() && I < SummaryListed; ++I)
        Listed.emplace_back(Index.Failures[I].Path, OneLine(Index.Failures[I].Error));
    PrintListed(Listed, Size(Index.Failed));
    if (!Index.RunError.empty())
        Line(Index.Files == 0 && Index.Failures.empty() ? "could not start:" : "stopped by:", OneLine(Index.RunError));
    Line("interrupted:", AEnd.Interrupted ? "yes" : "no");
    Line("search time:", Seconds(AReport.SearchSeconds));
    Line("index time:", Seconds(AReport.IndexSeconds));
    std::fflush(stdout);
}

std::string SummaryJson(const TRunReport& AReport, const TRunEnd& AEnd) {
    const TSongIdxReport& Index = AReport.Index;
    const auto Count = [](std::size_t AValue) { return QJsonValue(static_cast<qint64>(AValue)); };
    // Milliseconds are enough, and keep the numbers short.
    const auto Time = [](double ASeconds) { return QJsonValue(std::round(ASeconds * 1000) / 1000); };
    QJsonObject Json;
    Json["files_seen"] = Count(Size(AReport.Seen));
    Json["files_collected"] = Count(Size(AReport.Collected));
    Json["not_collected"] = Count(AReport.NotCollected.size());
    Json["matched"] = Count(Size(Index.Matched));
    Json["inserted"] = Count(Size(Index.Inserted));
    Json["updated"] = Count(Size(Index.Updated));
    Json["kept"] = Count(Size(Index.Kept));
    Json["unmatched"] = Count(Index.Unmatched.size());
    Json["near_matches"] = Count(Index.NearMatches.size());
    Json["without_name"] = Count(Size(Index.WithoutName));
    Json["failed"] = Count(Size(Index.Failed));
    Json["interrupted"] = AEnd.Interrupted;
    Json["search_seconds"] = Time(AReport.SearchSeconds);
    Json["index_seconds"] = Time(AReport.IndexSeconds);
    QJsonArray Errors;
    for (const TSongIdxFailure& Failure : SummaryErrors(AReport, AEnd.StopFile.toStdString()))
        Errors.append(QJsonObject{{"path", JsonText(Failure.Path)}, {"error", JsonText(Failure.Error)}});
    Json["errors"] = Errors;
    Json["known"] = Count(AReport.Known);
    // What ended the run before its end (it could not start, or a database stopped working).
    Json["stopped_by"] = Index.RunError.empty() ? QJsonValue() : QJsonValue(JsonText(Index.RunError));
    return QJsonDocument(Json).toJson(QJsonDocument::Indented).toStdString();
}

bool WriteReportFiles(const TRunReport& AReport, const TIndexOptions& AOptions, const TRunEnd& AEnd) {
    const struct {
        const QString& File;
        const char* What;
        std::string (*Text)(const TRunReport&, const TRunEnd&);
    } Outputs[] = {
        {AOptions.UnmatchedFile, "the unmatched list",
         [](const TRunReport& ARun, const TRunEnd&) { return UnmatchedText(ARun.Index); }},
        {AOptions.NearMatchesFile, "the near matches",
         [](const TRunReport& ARun, const TRunEnd&) { return NearMatchesText(ARun.Index); }},
        {AOptions.SummaryJsonFile, "the summary", SummaryJson},
    };
    bool Good = true;
    for (const auto& Output : Outputs) {
        std::string Error;
        if (Output.File.isEmpty() || WriteWhole(Output.File, Output.Text(AReport, AEnd), Error))
            continue;
        std::fprintf(stderr, "%s: cannot write %s %s: %s\n", ProgramName, Output.What, Quoted(Output.File).c_str(),
                     OneLine(Error).c_str());
        Good = false;
    }
    return Good;
}

std::string WritableProblem(const QString& AFile) {
    const QFileInfo Info(AFile);
    if (Info.exists()) {
        if (Info.isDir())
            return "it is a folder";
        if (access(QFile::encodeName(AFile).constData(), W_OK) != 0)
            return "it cannot be written";
        return {};
    }
    const QFileInfo Folder(Info.absolutePath());
    if (!Folder.isDir())
        return "its folder does not exist";
    if (access(QFile::encodeName(Folder.absoluteFilePath()).constData(), W_OK | X_OK) != 0)
        return "its folder cannot be written";
    return {};
}
