#include "Indexer.h"

#include "AccessImport.h"
#include "Config.h"
#include "ConfigPlaces.h"
#include "Console.h"
#include "IndexOptions.h"
#include "IndexRun.h"
#include "Signals.h"
#include "Summary.h"
#include "ThrdSongIdx.h"
#include "Watch.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A new open connection, or the error that kept it closed.
TConnectionRef OpenConnection(const std::string& AConnectionString, TConnectMode AMode, std::string& AError) {
    try {
        return OpenConnection(AConnectionString, AMode);
    } catch (const std::exception& Error) {
        AError = Error.what();
        return nullptr;
    }
}

// The song folder as given (trimmed as the wizard trims it) and as searched; the error that
// refuses it, or "".
std::string CheckSongsDir(const QString& AGiven, QString& ASongsDir, QString& ARoot) {
    ASongsDir = QString::fromStdString(std::string(TrimControls(AGiven.toStdString())));
    // A relative folder is taken from the current one and cleaned, as the wizard takes it (links
    // are not resolved): the paths stored must name the files for a host started elsewhere.
    ARoot = QDir::isAbsolutePath(ASongsDir) ? ASongsDir : QDir::cleanPath(QDir::current().absoluteFilePath(ASongsDir));
    const QFileInfo SongsInfo(ARoot);
    if (!SongsInfo.exists())
        return "the song folder " + Quoted(ASongsDir) + " does not exist";
    if (!SongsInfo.isDir())
        return "the song folder " + Quoted(ASongsDir) + " is not a folder";
    // A folder that cannot be listed would give an empty run that looks like a success.
    const int Fd = open(QFile::encodeName(ARoot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return "the song folder " + Quoted(ASongsDir) + " cannot be read: " + std::strerror(errno);
    close(Fd);
    return {};
}

// The local database the wizard would open when none is given: the song-request system's
// Configure.ini (names relative to the program's folder), else the user's and the system's,
// else the user's own database (AMakeOwn: made once everything else has been checked). The
// error that refuses it, or "".
std::string FindLocal(const QString& AProgramFile, QString& ALocal, bool& AMakeOwn) {
    const TConfigPlaces Places = StandardConfigPlaces(AProgramFile.toStdString());
    const TConfigValue Named = ReadLocalFileName(Places);
    AMakeOwn = false;
    // A database on a server is there or not when connecting.
    if (NamesServerDatabase(Named.Value)) {
        ALocal = QString::fromStdString(Named.Value);
        return {};
    }
    ALocal = QDir(QString::fromStdString(GetProgramDir(Places.ProgramFile)))
                 .absoluteFilePath(QString::fromStdString(Named.Value));
    AMakeOwn = Named.Origin == TConfigOrigin::UserDefault;
    if (AMakeOwn || QFileInfo::exists(ALocal))
        return {};
    // Named but missing: never made, as a mistyped name would leave songs where no one looks.
    return "local song database " + Quoted(ALocal.toStdString()) + " (" + DescribeOrigin(Named, KeyLocal) +
           ") does not exist; name the local song database with --local FILE, or with " + WhereToNameLocal(Places);
}

// The files named on the command line can be written, and no database name holds ";". The
// error that refuses the run, or "".
std::string CheckNames(const TIndexOptions& AOptions, const QString& ALocal) {
    for (const QString* Output : {&AOptions.UnmatchedFile, &AOptions.NearMatchesFile, &AOptions.SummaryJsonFile})
        if (!Output->isEmpty())
            if (const std::string Problem = WritableProblem(*Output); !Problem.empty())
                return "cannot write " + Quoted(*Output) + ": " + Problem;
    // A connection string ends its data source at the first ";": such a name would open
    // another file, or fail naming a file that does not exist. (A server's connection string is
    // no file name.)
    for (const auto& [What, File] :
         {std::pair{"master catalogue", AOptions.Master}, std::pair{"local song database", ALocal}})
        if (File.contains(u';') && !NamesServerDatabase(File.toStdString()))
            return std::string(What) + " " + Quoted(File) + ": cannot be opened: a database file name must not contain \";\"";
    return {};
}

// Why the master's songs cannot be read ("" when they can): a run cannot start on it.
std::string MasterProblem(TConnection& AMaster) {
    try {
        TQuery Probe(AMaster);
        Probe.SetSQL(SqlMasterSong);
        Probe.Prepare();
    } catch (const std::exception& Failure) {
        return Failure.what();
    }
    return {};
}

// Opens the local database (made first when it is the user's own); nullptr when it refuses,
// after saying why.
TConnectionRef OpenLocal(const QString& ALocal, bool AMakeOwn, TLocalFile& AFile, int& AStatus) {
    // Said once, on standard error: a local database on a network file system runs with a
    // rollback journal.
    SetDatabaseNotice([](const std::string& AText) { Say(OneLine(AText)); });
    if (AMakeOwn) {
        try {
            if (MakeUserLocalDatabase(ALocal.toStdString()))
                Say("made an empty local song database " + Quoted(ALocal.toStdString()) +
                    " (name another with --local FILE)");
        } catch (const std::exception& AError) {
            AStatus = Refuse(AError.what());
            return nullptr;
        }
    }
    std::string Error;
    TConnectionRef Local = OpenConnection(LocalConnectionString(ALocal.toStdString()), TConnectMode::Default, Error);
    if (!Local) {
        AStatus = Refuse("local song database " + Quoted(AFile.Name) + ": " + Error);
        return nullptr;
    }
    if (NamesServerDatabase(ALocal.toStdString()))
        return Local;
    if (struct stat Info {}; stat(QFile::encodeName(AFile.Name).constData(), &Info) == 0)
        AFile.Id = TFileId{Info.st_dev, Info.st_ino};
    return Local;
}

// The run itself, once the command line has been read.
int IndexWith(const TIndexOptions& AOptions, const QString& AProgramFile, const TIndexHooks& AHooks) {
    QString SongsDir;
    QString Root;
    if (const std::string Error = CheckSongsDir(AOptions.SongsDir, SongsDir, Root); !Error.empty())
        return Refuse(Error);
    QString Local = AOptions.Local;
    bool MakeOwnLocal = false;
    if (Local.isEmpty())
        if (const std::string Error = FindLocal(AProgramFile, Local, MakeOwnLocal); !Error.empty())
            return Refuse(Error);
    if (const std::string Error = CheckNames(AOptions, Local); !Error.empty())
        return Refuse(Error);

    // The master first: it is only read, so a master that fails leaves the local file untouched.
    InstallAccessReader();
    std::string Error;
    const TConnectionRef CnnTotal =
        OpenConnection(TotalConnectionString(AOptions.Master.toStdString()), TConnectMode::ShareDenyNone, Error);
    if (!CnnTotal)
        return Refuse("master catalogue " + Quoted(DatabaseDisplayName(AOptions.Master.toStdString())) + ": " + Error);
    // A master whose songs cannot be read cannot start a run: that is found before the local
    // database is opened (which switches it to WAL), so the local file stays as it was.
    const std::string StartError = MasterProblem(*CnnTotal);
    // The name as the connection takes it, to tell later whether it still names that file; a
    // database on a server by its server and name alone (no password, no other option).
    TLocalFile LocalFile{QString::fromStdString(DatabaseDisplayName(Local.toStdString())), std::nullopt};
    if (!NamesServerDatabase(Local.toStdString())) {
        std::error_code PathError;
        const std::filesystem::path LocalPath =
            std::filesystem::absolute(Local.toStdString(), PathError).lexically_normal();
        if (!PathError)
            LocalFile.Name = QString::fromStdString(LocalPath.string());
    }
    TConnectionRef CnnLocal;
    if (StartError.empty()) {
        int Status = IndexExitRefused;
        CnnLocal = OpenLocal(Local, MakeOwnLocal, LocalFile, Status);
        if (!CnnLocal)
            return Status;
    }

    if (!InstallSignalHandlers())
        return Refuse("cannot install the signal handlers");
    TIndexRun Run(AOptions, SongsDir, Root, std::move(LocalFile), AHooks);
    return Run.Run(CnnLocal, CnnTotal, StartError,
                   [](TIndexRun& AWatched) { return std::make_unique<TWatch>(AWatched); });
}

} // namespace

int RunCorvenaIndex(const QStringList& AArguments, const QString& AProgramFile, const TIndexHooks& AHooks) {
    TIndexOptions Options;
    if (const std::string Error = ParseIndexArguments(AArguments.mid(1), Options); !Error.empty()) {
        Refuse(Error);
        std::fprintf(stderr, "Try '%s --help'.\n", ProgramName);
        return IndexExitRefused;
    }
    if (Options.Help) {
        std::fputs(IndexUsage().toStdString().c_str(), stdout);
        return IndexExitDone;
    }
    if (Options.Version) {
        std::printf("%s\n", IndexVersion().toStdString().c_str());
        return IndexExitDone;
    }
    return IndexWith(Options, AProgramFile, AHooks);
}
