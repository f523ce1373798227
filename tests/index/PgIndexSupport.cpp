#include "PgIndexSupport.h"

#include <QJsonDocument>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

QProcessEnvironment CleanEnvironment(int AFileDelayMs) {
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    for (const char* Name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "CORVENA_INDEX_FILE_DELAY_MS"})
        Environment.remove(QString::fromLatin1(Name));
    if (AFileDelayMs > 0)
        Environment.insert(QStringLiteral("CORVENA_INDEX_FILE_DELAY_MS"), QString::number(AFileDelayMs));
    return Environment;
}

void SetArgument(std::vector<std::string>& AArguments, const std::string& AOption, const std::string& AValue) {
    for (std::size_t I = 0; I + 1 < AArguments.size(); ++I)
        if (AArguments[I] == AOption)
            AArguments[I + 1] = AValue;
}

int EnvInt(const char* AName, int ADefault) {
    const char* Value = std::getenv(AName);
    return Value != nullptr && *Value != '\0' ? std::atoi(Value) : ADefault;
}

std::map<std::string, int> FiguresOf(const QJsonObject& AJson) {
    std::map<std::string, int> Result;
    for (auto It = AJson.begin(); It != AJson.end(); ++It)
        if (It.value().isDouble() && !It.key().endsWith(QLatin1String("_seconds")))
            Result[It.key().toStdString()] = It.value().toInt(-1);
    return Result;
}

std::string Describe(const std::map<std::string, int>& AFaults) {
    std::string Result;
    for (const auto& [Name, Count] : AFaults)
        Result += (Result.empty() ? "" : ", ") + Name + " " + std::to_string(Count);
    return Result;
}

void TPgIndexTest::SetUp() {
    if (!PgServerMissing().empty())
        return; // each test skips, saying why
    FDb = std::make_unique<TPgDatabase>();
    FDb->Run("insert into DiscoTypes (TypeID, TypeName) values (7, 'DJ'), (8, '舞曲')");
    FMaster = MakeDatabase(FDir, "Total.mdb", TSchemaKind::Master);
    FSongs = FDir.File("Songs");
}

void TPgIndexTest::MakeLibrary(int ACount) {
    std::string Rows;
    for (int I = 1; I <= ACount; ++I) {
        char Name[16];
        std::snprintf(Name, sizeof Name, "%03d.mpg", I);
        Rows += std::string(Rows.empty() ? "" : ",") + "('" + std::to_string(80000000 + I) + "', '" +
                (I == 3 ? std::string() : "歌曲" + std::to_string(I)) + "', '" + Name +
                "', '歌手', '国语', '情歌', '', 'GQ', 'MPEG', 36000, 2, 0, 0, 0)";
        TouchFile(fs::path(FSongs) / (I % 2 ? "A" : "B/C") / Name);
    }
    RunSql(FMaster, "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, TypeName, Special,"
                    " PYCode, MediaType, PublishDate, CharsCount, Track, Sound, DemandTimes) values " + Rows);
    TouchFile(fs::path(FSongs) / "A2/001.MPG");
    TouchFile(fs::path(FSongs) / "readme.txt");
    TouchFile(fs::path(FSongs) / "B/999.mpg");
    TouchFile(fs::path(FSongs) / std::string("bad\xff.mpg"));
}

void TPgIndexTest::MakeMixedLibrary(int ACount) {
    std::string Rows;
    for (int I = 1; I <= ACount; ++I) {
        const std::string Name = std::to_string(100000 + I) + ".mpg";
        std::string Type = "T" + std::to_string(I % 23);
        if (I % 3 != 2)
            Type = I % 3 == 0 ? "DJ" : "舞曲";
        Rows += std::string(Rows.empty() ? "" : ",") + "('" + std::to_string(80000000 + I) + "', '歌" +
                std::to_string(I) + "', '" + Name + "', '歌手', 'L" + std::to_string(I % 37) + "', '" + Type +
                "', '', 'G', 'MPEG', 36000, 2, 0, 0, 0)";
        TouchFile(fs::path(FSongs) / std::to_string(I % 4) / Name);
    }
    RunSql(FMaster, "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, TypeName, Special,"
                    " PYCode, MediaType, PublishDate, CharsCount, Track, Sound, DemandTimes) values " + Rows);
}

void TPgIndexTest::AddMasterSong(const std::string& AName, const std::string& AFile) {
    RunSql(FMaster, "insert into Songs (SongNumber, SongName, FilePath, LanguageName, TypeName, PublishDate,"
                    " CharsCount, Track, Sound, DemandTimes) values ('9', '" + AName + "', '" + AFile +
                    "', '', '', 0, 0, 0, 0, 0)");
}

std::string TPgIndexTest::JsonFile(int ARun) const {
    return FDir.File(ARun < 0 ? std::string("summary.json") : "summary" + std::to_string(ARun) + ".json");
}

std::vector<std::string> TPgIndexTest::Arguments(std::vector<std::string> AMore, int ARun) const {
    std::vector<std::string> Result{"--songs", FSongs, "--master", FMaster, "--local", FDb->ConnectionString(),
                                    "--summary-json", JsonFile(ARun)};
    Result.insert(Result.end(), AMore.begin(), AMore.end());
    return Result;
}

std::unique_ptr<QProcess> TPgIndexTest::StartIndex(const std::vector<std::string>& AArguments, const char* AProgram,
                                                   const QProcessEnvironment& AEnvironment) {
    auto Process = std::make_unique<QProcess>();
    Process->setProcessEnvironment(AEnvironment);
    QStringList Arguments;
    for (const std::string& Argument : AArguments)
        Arguments << QString::fromStdString(Argument);
    Process->start(QString::fromUtf8(AProgram), Arguments);
    EXPECT_TRUE(Process->waitForStarted());
    return Process;
}

TIndexResult TPgIndexTest::RunIndex(const std::vector<std::string>& AArguments,
                                    const QProcessEnvironment& AEnvironment) {
    const std::unique_ptr<QProcess> Process = StartIndex(AArguments, CORVENA_INDEX_PROGRAM, AEnvironment);
    EXPECT_TRUE(Process->waitForFinished(60000));
    TIndexResult Result;
    Result.Status = Process->exitStatus() == QProcess::NormalExit ? Process->exitCode() : -1;
    Result.Out = Process->readAllStandardOutput().toStdString();
    Result.Err = Process->readAllStandardError().toStdString();
    return Result;
}

QJsonObject TPgIndexTest::JsonOf(int ARun) const {
    QJsonParseError Error{};
    const QJsonDocument Document =
        QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(JsonFile(ARun))), &Error);
    EXPECT_EQ(Error.error, QJsonParseError::NoError) << JsonFile(ARun);
    return Document.object();
}

std::map<std::string, int> TPgIndexTest::Faults() const {
    const auto Figure = [this](const std::string& ASql) { return std::stoi(FDb->Text(ASql)); };
    return {
        {"missing mirrors",
         Figure("select count(*) from Songs S join SongTypes T on S.TypeID = T.TypeID where T.TypeName in"
                " (select TypeName from DiscoTypes) and not exists (select 1 from Discos D where D.FilePath = S.FilePath)")},
        {"mirrors without song",
         Figure("select count(*) from Discos D where not exists (select 1 from Songs S where S.FilePath = D.FilePath)")},
        {"duplicate songs", Figure("select count(*) - count(distinct lower(FilePath)) from Songs")},
        {"duplicate mirrors", Figure("select count(*) - count(distinct lower(FilePath)) from Discos")},
        {"duplicate languages", Figure("select count(*) - count(distinct lower(LanguageName)) from Languages")},
        {"duplicate types", Figure("select count(*) - count(distinct lower(TypeName)) from SongTypes")},
    };
}
