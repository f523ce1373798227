#include "IndexOptions.h"

#include "Console.h"

#include <QCommandLineParser>

#include <algorithm>
#include <vector>

namespace {

// Edits (insert, delete, replace, swap two neighbours) turning A into B.
int EditDistance(const QString& A, const QString& B) {
    const qsizetype N = A.size();
    const qsizetype M = B.size();
    std::vector<std::vector<int>> D(static_cast<std::size_t>(N + 1), std::vector<int>(static_cast<std::size_t>(M + 1)));
    const auto At = [&D](qsizetype I, qsizetype J) -> int& {
        return D[static_cast<std::size_t>(I)][static_cast<std::size_t>(J)];
    };
    for (qsizetype I = 0; I <= N; ++I)
        At(I, 0) = static_cast<int>(I);
    for (qsizetype J = 0; J <= M; ++J)
        At(0, J) = static_cast<int>(J);
    for (qsizetype I = 1; I <= N; ++I)
        for (qsizetype J = 1; J <= M; ++J) {
            At(I, J) = std::min({At(I - 1, J) + 1, At(I, J - 1) + 1, At(I - 1, J - 1) + (A[I - 1] == B[J - 1] ? 0 : 1)});
            if (I > 1 && J > 1 && A[I - 1] == B[J - 2] && A[I - 2] == B[J - 1])
                At(I, J) = std::min(At(I, J), At(I - 2, J - 2) + 1);
        }
    return At(N, M);
}

// The long option AName most likely meant ("" when none is close): a start of exactly one
// option, or the nearest within two edits (one for short names).
QString NearestOption(const QString& AName, const QStringList& ALongNames) {
    QStringList Starting;
    for (const QString& Name : ALongNames)
        if (AName.size() >= 2 && Name.startsWith(AName))
            Starting.append(Name);
    if (Starting.size() == 1)
        return Starting.front();
    QString Best;
    int BestDistance = AName.size() <= 4 ? 2 : 3;
    for (const QString& Name : ALongNames)
        if (const int Distance = EditDistance(AName, Name); Distance < BestDistance) {
            BestDistance = Distance;
            Best = Name;
        }
    return Best;
}

// The options and the parser that knows them.
class TIndexParser {
public:
    TIndexParser() {
        // "-songs" is a mistyped long option, not five short ones.
        FParser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        for (const TValueOption& Value : Values) {
            FParser.addOption(QCommandLineOption(QString::fromLatin1(Value.Name), QString(), QStringLiteral("VALUE")));
            FLongNames.append(QString::fromLatin1(Value.Name));
        }
        FParser.addOption(CommitMs);
        FLongNames.append(CommitMs.names().back());
        for (const QCommandLineOption& Flag : Flags()) {
            FParser.addOption(Flag);
            FLongNames.append(Flag.names().back());
        }
    }

    std::string Parse(const QStringList& AArguments, TIndexOptions& AOptions) {
        AOptions = TIndexOptions{};
        // The parser wants the program's name first.
        if (!FParser.parse(QStringList{QString::fromLatin1(ProgramName)} + AArguments))
            return Failure(AArguments);
        if (const QStringList Positional = FParser.positionalArguments(); !Positional.isEmpty())
            return "unexpected argument " + Quoted(Positional.front());
        AOptions.Help = FParser.isSet(Help);
        AOptions.Version = FParser.isSet(Version);
        AOptions.OnlyAdd = FParser.isSet(OnlyAdd);
        AOptions.SkipKnown = FParser.isSet(SkipKnown);
        AOptions.Watch = FParser.isSet(WatchFolder);
        AOptions.Quiet = FParser.isSet(Quiet);
        if (std::string Error = TakeValues(AOptions); !Error.empty())
            return Error;
        if (std::string Error = TakeCommitMs(AOptions); !Error.empty())
            return Error;
        if (AOptions.Help || AOptions.Version)
            return {};
        if (AOptions.SongsDir.isEmpty())
            return "--songs is required";
        if (AOptions.Master.isEmpty())
            return "--master is required";
        return {};
    }

private:
    struct TValueOption {
        const char* Name;
        QString TIndexOptions::*Field;
    };
    static constexpr TValueOption Values[] = {{"songs", &TIndexOptions::SongsDir},
                                              {"master", &TIndexOptions::Master},
                                              {"local", &TIndexOptions::Local},
                                              {"unmatched", &TIndexOptions::UnmatchedFile},
                                              {"near-matches", &TIndexOptions::NearMatchesFile},
                                              {"summary-json", &TIndexOptions::SummaryJsonFile}};

    std::vector<QCommandLineOption> Flags() const { return {OnlyAdd, SkipKnown, WatchFolder, Quiet, Help, Version}; }

    // Why the parser refused AArguments, said the way a user wrote them.
    std::string Failure(const QStringList& AArguments) const {
        const QStringList Unknown = FParser.unknownOptionNames();
        if (!Unknown.isEmpty()) {
            // Named as it was written ("-songs" or "--mastr").
            QString Written = QStringLiteral("--") + Unknown.front();
            for (const QString& Argument : AArguments)
                if (Argument.startsWith(u'-') &&
                    Argument.section(u'=', 0, 0).mid(Argument.startsWith(QLatin1String("--")) ? 2 : 1) == Unknown.front()) {
                    Written = Argument.section(u'=', 0, 0);
                    break;
                }
            std::string Error = "unknown option " + Written.toStdString();
            if (const QString Near = NearestOption(Unknown.front(), FLongNames); !Near.isEmpty())
                Error += " (did you mean --" + Near.toStdString() + "?)";
            return Error;
        }
        for (const QCommandLineOption& Flag : Flags())
            for (const QString& Argument : AArguments)
                if (Argument.startsWith(QLatin1String("--") + Flag.names().back() + u'='))
                    return "--" + Flag.names().back().toStdString() + " takes no value";
        // A value option last, with nothing after it.
        if (!AArguments.isEmpty()) {
            for (const TValueOption& Value : Values)
                if (AArguments.back() == QLatin1String("--") + QLatin1String(Value.Name))
                    return "--" + std::string(Value.Name) + " needs a value";
            if (AArguments.back() == QLatin1String("--commit-ms"))
                return "--commit-ms needs a value";
        }
        return FParser.errorText().toStdString();
    }

    std::string TakeValues(TIndexOptions& AOptions) const {
        for (const TValueOption& Value : Values) {
            const QStringList Given = FParser.values(QString::fromLatin1(Value.Name));
            if (Given.size() > 1)
                return "--" + std::string(Value.Name) + " is given twice";
            if (Given.size() == 1 && Given.front().isEmpty())
                return "--" + std::string(Value.Name) + " needs a value";
            if (Given.size() == 1)
                AOptions.*(Value.Field) = Given.front();
        }
        return {};
    }

    std::string TakeCommitMs(TIndexOptions& AOptions) const {
        const QStringList Given = FParser.values(CommitMs);
        if (Given.isEmpty())
            return {};
        if (Given.size() > 1)
            return "--commit-ms is given twice";
        bool Number = false;
        const int Value = Given.front().toInt(&Number);
        if (!Number || Value < 0 || Value > MaxCommitMs)
            return "--commit-ms takes a whole number of milliseconds from 0 to " + std::to_string(MaxCommitMs) +
                   ", not " + Quoted(Given.front());
        AOptions.CommitMs = Value;
        return {};
    }

    QCommandLineParser FParser;
    QStringList FLongNames;
    const QCommandLineOption CommitMs{QStringLiteral("commit-ms"), QString(), QStringLiteral("MS")};
    const QCommandLineOption OnlyAdd{QStringLiteral("only-add")};
    const QCommandLineOption SkipKnown{QStringLiteral("skip-known")};
    const QCommandLineOption WatchFolder{QStringLiteral("watch")};
    const QCommandLineOption Quiet{QStringList{QStringLiteral("q"), QStringLiteral("quiet")}};
    const QCommandLineOption Help{QStringList{QStringLiteral("h"), QStringLiteral("help")}};
    const QCommandLineOption Version{QStringList{QStringLiteral("V"), QStringLiteral("version")}};
};

} // namespace

std::string ParseIndexArguments(const QStringList& AArguments, TIndexOptions& AOptions) {
    TIndexParser Parser;
    return Parser.Parse(AArguments, AOptions);
}

QString IndexVersion() { return QStringLiteral("corvena-index " CORVENA_VERSION); }

QString IndexUsage() {
    return QStringLiteral(
        "Usage: corvena-index --songs DIR --master FILE [--local FILE] [--only-add] [--skip-known]\n"
        "                     [--watch] [--commit-ms MS] [--unmatched FILE] [--near-matches FILE]\n"
        "                     [--summary-json FILE] [--quiet]\n"
        "       corvena-index --help | --version\n"
        "\n"
        "Indexes a song folder as the Corvena wizard does, without a display: collects every file\n"
        "below DIR, looks each file name up in the master catalogue and writes the songs it finds\n"
        "into the local song database.\n"
        "\n"
        "  --songs DIR          the song folder (blanks and control characters at either end are\n"
        "                       dropped, as in the wizard); a relative one is taken from the current\n"
        "                       folder, so the paths stored are whole\n"
        "  --master FILE        the master catalogue (SQLite, or an Access .mdb/.accdb file, read only)\n"
        "  --local FILE         the local song database, written; by default the one the wizard\n"
        "                       would open: Local in [DataBase] of Configure.ini one folder above\n"
        "                       this program, else of ~/.config/corvena/Configure.ini, else of\n"
        "                       /etc/corvena/Configure.ini, else the user's own\n"
        "                       ~/.local/share/corvena/Ktv.mdb, made empty when first needed; or a\n"
        "                       database on a PostgreSQL server: postgresql://USER@HOST/DATABASE,\n"
        "                       'host=HOST dbname=DATABASE user=USER', or\n"
        "                       'Provider=PostgreSQL;Host=HOST;Database=DATABASE;User ID=USER'\n"
        "                       (the password from PGPASSWORD, ~/.pgpass or PGSERVICE, never from\n"
        "                       the string; the tables made by 'ktvschema local CONNECTION')\n"
        "  --only-add           leave songs already in the local database alone (default: rewrite)\n"
        "  --skip-known         a file whose full path already has a song row is neither looked up\n"
        "                       nor written (counted as known); faster than --only-add because the\n"
        "                       master is not read, so new languages and types of known songs are\n"
        "                       not added\n"
        "  --watch              after the run, keep watching DIR: files copied or moved in are\n"
        "                       indexed once closed, removed files keep their rows (one line on\n"
        "                       standard error); SIGINT or SIGTERM ends the watch with the totals\n"
        "                       and exit status 0; the local database deleted or replaced meanwhile\n"
        "                       ends it with exit status 1; a database server that goes away is\n"
        "                       waited for (said once), then the folder is searched again\n"
        "  --commit-ms MS       commit whole files in groups, a group ending after MS milliseconds\n"
        "                       or 1,000 files (default 100, at most 60000); another writer waits\n"
        "                       for one group at most, and a crash loses at most the last group,\n"
        "                       which the next run writes again; 0 commits every file on its own\n"
        "  --unmatched FILE     write the collected files whose name is not in the master, one path\n"
        "                       a line (UTF-8, \"\\n\"), in the order indexed; a control character\n"
        "                       in a path (newline, carriage return, tab, ...) is written \\xNN, and\n"
        "                       so is a backslash that would read as such an escape (\\x5C)\n"
        "  --near-matches FILE  write, for the unmatched files, the master names that are nearly\n"
        "                       theirs: PATH, the master's file name and the reason, separated by\n"
        "                       tabs, one a line; reason extension (the same name with another\n"
        "                       extension) or width (the same name once full-width letters, digits\n"
        "                       and signs are read as ASCII); control characters in a path or name\n"
        "                       are written as in the unmatched list\n"
        "  --summary-json FILE  write the summary as one JSON object with the keys files_seen,\n"
        "                       files_collected, not_collected, matched, inserted, updated, kept,\n"
        "                       unmatched, near_matches, without_name, failed (integers),\n"
        "                       interrupted (true or false), search_seconds, index_seconds\n"
        "                       (numbers), errors (a list of at most 100 {\"path\", \"error\"}\n"
        "                       objects: the files that failed, then the paths not collected with\n"
        "                       the reason), known (files skipped by --skip-known) and stopped_by\n"
        "                       (the error that ended the run early: it could not start, or a\n"
        "                       database stopped working; null when the run went through)\n"
        "  -q, --quiet          print no progress\n"
        "  -h, --help           show this text\n"
        "  -V, --version        show the version\n"
        "\n"
        "Progress goes to standard error: on a terminal one line redrawn in place (the phase, the\n"
        "count and, while indexing, a bar with files per second and the time left); otherwise a\n"
        "plain line at most every 5 seconds. The summary goes to standard output: files seen,\n"
        "collected and not collected (with the reasons), matched, new songs, rewritten, kept,\n"
        "unmatched, near matches, without a song name, failed (with the first errors), whether the\n"
        "run was interrupted, and the search and index times.\n"
        "\n"
        "SIGINT (Ctrl+C) or SIGTERM stops the run before the next file: every song already indexed\n"
        "is committed and stays, and the summary and the JSON are still written, with interrupted\n"
        "true.\n"
        "\n"
        "Exit status:\n"
        "  0    the run completed (files without a song in the master are no failure)\n"
        "  1    the run completed but files failed, or it could not start or a database stopped\n"
        "       working (for example the master has no Songs table)\n"
        "  2    bad arguments, or a folder or database that cannot be opened; nothing is written\n"
        "  130  interrupted by SIGINT or SIGTERM\n");
}

