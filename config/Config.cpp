#include "Config.h"

#include "IniFile.h"
#include "Paths.h"
#include "PgEngine.h"
#include "Schema.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* JetProvider = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

std::string DefaultDataBaseFile(const std::string& AProgramFile, const char* ATitle) {
    return GetUpperPath(AProgramFile, 2) + "DataBase" + NativePathStyle.Separator + ATitle;
}

bool IsFile(const std::string& AName) {
    struct stat Info {};
    return ::stat(AName.c_str(), &Info) == 0 && S_ISREG(Info.st_mode);
}

// A name from a file outside the program's folder is taken from that file's folder; a database
// on a server is named by its connection string, which no folder goes before.
std::string FromFolderOf(const std::string& AFile, const std::string& AName) {
    if (AName.empty() || AName.front() == NativePathStyle.Separator || NamesServerDatabase(AName))
        return AName;
    return ExtractFilePath(AFile) + AName;
}

bool SameFolder(const std::string& ALeft, const std::string& ARight) {
    if (ALeft.empty() || ARight.empty())
        return false;
    std::error_code Error;
    return std::filesystem::equivalent(ALeft, ARight, Error);
}

// A key of the system files. The song-request system's Configure.ini answers alone, with its
// default for a missing key; the others answer key by key, then an existing default file of
// the song-request layout, then AFallback.
TConfigValue ReadSystemValue(const TConfigPlaces& APlaces, const char* AKey, const std::string& ADefault,
                             const TConfigValue& AFallback) {
    const std::string Layout = GetSystemFileName(APlaces.ProgramFile);
    if (IsFile(Layout)) {
        if (std::optional<std::string> Value = TIniFile(Layout).ReadValue(SectionDataBase, AKey))
            return {std::move(*Value), TConfigOrigin::Named, Layout};
        return {ADefault, TConfigOrigin::LayoutDefault, Layout};
    }
    for (const std::string& File : SystemFileNames(APlaces))
        if (std::optional<std::string> Value = TIniFile(File).ReadValue(SectionDataBase, AKey))
            return {FromFolderOf(File, *Value), TConfigOrigin::Named, File};
    if (IsFile(ADefault))
        return {ADefault, TConfigOrigin::ExistingDefault, {}};
    return AFallback;
}

} // namespace

std::string GetProgramDir(const std::string& AProgramFile) {
    return ExtractFilePath(AProgramFile);
}

std::string GetSystemFileName(const std::string& AProgramFile) {
    return GetParentPath(GetProgramDir(AProgramFile)) + SystemFileTitle;
}

std::string DefaultTotalFileName(const std::string& AProgramFile) {
    return DefaultDataBaseFile(AProgramFile, "Total.mdb");
}

std::string DefaultLocalFileName(const std::string& AProgramFile) {
    return DefaultDataBaseFile(AProgramFile, LocalFileTitle);
}

std::string GetToolFileName(const TConfigPlaces& APlaces) {
    const std::string ProgramDir = GetProgramDir(APlaces.ProgramFile);
    const bool Beside = APlaces.UserConfigDir.empty() ||
                        (::access(ProgramDir.empty() ? "." : ProgramDir.c_str(), W_OK) == 0 &&
                         !SameFolder(ProgramDir, APlaces.InstalledBinDir));
    return (Beside ? ProgramDir : APlaces.UserConfigDir) + ToolFileTitle;
}

std::vector<std::string> SystemFileNames(const TConfigPlaces& APlaces) {
    const std::string Layout = GetSystemFileName(APlaces.ProgramFile);
    if (IsFile(Layout))
        return {Layout};
    std::vector<std::string> Result;
    for (const std::string* Dir : {&APlaces.UserConfigDir, &APlaces.SystemConfigDir})
        if (!Dir->empty())
            Result.push_back(*Dir + SystemFileTitle);
    return Result;
}

std::string UserLocalFileName(const TConfigPlaces& APlaces) {
    return APlaces.UserDataDir.empty() ? std::string() : APlaces.UserDataDir + LocalFileTitle;
}

TConfigValue ReadTotalFileName(const TConfigPlaces& APlaces) {
    return ReadSystemValue(APlaces, KeyTotal, DefaultTotalFileName(APlaces.ProgramFile), {});
}

TConfigValue ReadLocalFileName(const TConfigPlaces& APlaces) {
    const std::string Default = DefaultLocalFileName(APlaces.ProgramFile);
    // Without a data folder there is no user's own database: the layout's default is all there is.
    const TConfigValue Fallback =
        APlaces.UserDataDir.empty()
            ? TConfigValue{Default, TConfigOrigin::LayoutDefault, GetSystemFileName(APlaces.ProgramFile)}
            : TConfigValue{UserLocalFileName(APlaces), TConfigOrigin::UserDefault, {}};
    return ReadSystemValue(APlaces, KeyLocal, Default, Fallback);
}

std::string DescribeOrigin(const TConfigValue& AValue, const char* AKey) {
    switch (AValue.Origin) {
    case TConfigOrigin::Named:
        return std::string(AKey) + " in [" + SectionDataBase + "] of " + AValue.File;
    case TConfigOrigin::LayoutDefault:
        return "the default of " + AValue.File + ", which names no " + AKey;
    case TConfigOrigin::ExistingDefault:
        return "the song-request system's default, two folders above the program";
    case TConfigOrigin::UserDefault:
        return "the user's own, as no Configure.ini names one";
    case TConfigOrigin::Nothing:
        break;
    }
    return "named nowhere";
}

std::string WhereToNameLocal(const TConfigPlaces& APlaces) {
    const std::vector<std::string> Files = SystemFileNames(APlaces);
    return std::string(KeyLocal) + "= in [" + SectionDataBase + "] of " +
           (Files.empty() ? GetSystemFileName(APlaces.ProgramFile) : Files.front());
}

bool MakeUserLocalDatabase(const std::string& AFileName) {
    namespace fs = std::filesystem;
    const auto Fail = [&AFileName](const std::string& AReason) {
        return std::runtime_error("Cannot make the local song database " + Quoted(AFileName) + ": " + AReason);
    };
    if (fs::exists(AFileName))
        return false;
    std::error_code Error;
    const std::string Folder = ExtractFilePath(AFileName);
    if (!Folder.empty())
        fs::create_directories(Folder, Error);
    if (Error)
        throw Fail(Error.message());
    // Made under a name of its own and linked into place: a crash leaves no half-made database
    // under the real name, and of two programs making it at once one wins and the other uses it.
    static std::atomic<unsigned> Counter{0};
    const std::string Temp =
        AFileName + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(Counter++);
    try {
        CreateDatabase(Temp, TSchemaKind::Local);
    } catch (const std::exception& AError) {
        ::unlink(Temp.c_str());
        throw Fail(AError.what());
    }
    const int Linked = ::link(Temp.c_str(), AFileName.c_str());
    const int LinkError = errno;
    if (Linked != 0 && LinkError != EEXIST) {
        // A file system without hard links: a rename that the check just before makes rarely race.
        if (!fs::exists(AFileName) && ::rename(Temp.c_str(), AFileName.c_str()) == 0)
            return true;
        ::unlink(Temp.c_str());
        throw Fail(std::strerror(LinkError));
    }
    ::unlink(Temp.c_str());
    return Linked == 0;
}

std::string LocalConnectionString(const std::string& AFileName) {
    // A server's connection string is the connection string.
    if (NamesServerDatabase(AFileName))
        return AFileName;
    return JetProvider + AFileName +
           ";Persist Security Info=false;Jet OLEDB:Database Password=RivaPolte";
}

std::string TotalConnectionString(const std::string& AFileName) {
    // Passed on whole, so that the engine refuses it as a master, naming it without a password.
    if (NamesServerDatabase(AFileName))
        return AFileName;
    return JetProvider + AFileName + ";Persist Security Info=false;";
}

std::shared_ptr<TConnection> OpenConnection(const std::string& AConnectionString, TConnectMode AMode) {
    UsePostgreSQL();
    auto Connection = std::make_shared<TConnection>();
    Connection->SetMode(AMode);
    Connection->SetConnectionString(AConnectionString);
    Connection->SetConnected(true);
    return Connection;
}

TWizardChoices ReadWizardChoices(const TConfigPlaces& APlaces) {
    const TIniFile Tools(GetToolFileName(APlaces));
    TWizardChoices Result;
    Result.OnlyAdd = !Tools.ReadBool(SectionCorvena, KeyOverWrite, true);
    Result.SongPath = Tools.ReadString(SectionHistory, KeySongPath, "");
    Result.TotalPath = Tools.ReadString(SectionHistory, KeyTotalPath, "");
    if (TrimControls(Result.TotalPath).empty())
        Result.TotalPath = ReadTotalFileName(APlaces).Value;
    return Result;
}

void WriteWizardChoices(const TConfigPlaces& APlaces, const TWizardChoices& AChoices) {
    const std::string FileName = GetToolFileName(APlaces);
    if (!APlaces.UserConfigDir.empty() && FileName == APlaces.UserConfigDir + ToolFileTitle) {
        std::error_code Error;
        std::filesystem::create_directories(APlaces.UserConfigDir, Error);
        if (Error)
            throw TIniError("Cannot write the profile file " + Quoted(FileName) + ": " + Error.message());
    }
    TIniFile Tools(FileName);
    Tools.WriteString(SectionHistory, KeySongPath, AChoices.SongPath);
    Tools.WriteString(SectionHistory, KeyTotalPath, AChoices.TotalPath);
    Tools.WriteBool(SectionCorvena, KeyOverWrite, !AChoices.OnlyAdd);
}
