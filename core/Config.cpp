#include "Config.h"

#include "IniFile.h"
#include "Paths.h"

namespace {

constexpr const char* JetProvider = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

std::string DefaultDataBaseFile(const std::string& AProgramFile, const char* ATitle) {
    return GetUpperPath(AProgramFile, 2) + "DataBase" + NativePathStyle.Separator + ATitle;
}

} // namespace

std::string GetProgramDir(const std::string& AProgramFile) {
    return ExtractFilePath(AProgramFile);
}

std::string GetToolFileName(const std::string& AProgramFile) {
    return GetProgramDir(AProgramFile) + ToolFileTitle;
}

std::string GetSystemFileName(const std::string& AProgramFile) {
    return GetParentPath(GetProgramDir(AProgramFile)) + SystemFileTitle;
}

std::string DefaultTotalFileName(const std::string& AProgramFile) {
    return DefaultDataBaseFile(AProgramFile, "Total.mdb");
}

std::string DefaultLocalFileName(const std::string& AProgramFile) {
    return DefaultDataBaseFile(AProgramFile, "Ktv.mdb");
}

std::string LocalConnectionString(const std::string& AFileName) {
    return JetProvider + AFileName +
           ";Persist Security Info=false;Jet OLEDB:Database Password=RivaPolte";
}

std::string TotalConnectionString(const std::string& AFileName) {
    return JetProvider + AFileName + ";Persist Security Info=false;";
}

std::shared_ptr<TConnection> OpenConnection(const std::string& AConnectionString, TConnectMode AMode) {
    auto Connection = std::make_shared<TConnection>();
    Connection->SetMode(AMode);
    Connection->SetConnectionString(AConnectionString);
    Connection->SetConnected(true);
    return Connection;
}

TWizardChoices ReadWizardChoices(const std::string& AProgramFile) {
    const TIniFile Tools(GetToolFileName(AProgramFile));
    TWizardChoices Result;
    Result.OnlyAdd = !Tools.ReadBool(SectionCorvena, KeyOverWrite, true);
    Result.SongPath = Tools.ReadString(SectionHistory, KeySongPath, "");
    Result.TotalPath = Tools.ReadString(SectionHistory, KeyTotalPath, "");
    if (TrimControls(Result.TotalPath).empty())
        Result.TotalPath =
            TIniFile(GetSystemFileName(AProgramFile))
                .ReadString(SectionDataBase, KeyTotal, DefaultTotalFileName(AProgramFile));
    return Result;
}

std::string ReadLocalFileName(const std::string& AProgramFile) {
    return TIniFile(GetSystemFileName(AProgramFile))
        .ReadString(SectionDataBase, KeyLocal, DefaultLocalFileName(AProgramFile));
}

void WriteWizardChoices(const std::string& AProgramFile, const TWizardChoices& AChoices) {
    TIniFile Tools(GetToolFileName(AProgramFile));
    Tools.WriteString(SectionHistory, KeySongPath, AChoices.SongPath);
    Tools.WriteString(SectionHistory, KeyTotalPath, AChoices.TotalPath);
    Tools.WriteBool(SectionCorvena, KeyOverWrite, !AChoices.OnlyAdd);
}
