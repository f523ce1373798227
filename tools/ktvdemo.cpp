// ktvdemo: makes a demo song library, deterministic from a seed and a size.
//
//   ktvdemo --out DIR [--count N] [--seed S]
//
// DIR/DataBase/Total.mdb   master catalogue of N songs (Chinese names, several languages and
//                          types, a few rows without a name or a publish date)
// DIR/DataBase/Ktv.mdb     empty local song database with a few DiscoTypes rows
// DIR/Songs/...            matching empty song files in nested folders, some names in another
//                          letter case, some files the catalogue does not know
// DIR/Configure.ini        names both databases; the wizard reads it from DIR/Tools/
#include "Schema.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> Languages = {"国语", "粤语", "闽南语", "英语", "日语", "韩语"};
const std::vector<std::string> Types = {"情歌", "流行", "摇滚", "民歌", "儿歌", "戏曲", "迪士高", "舞曲"};
const std::vector<std::string> Surnames = {"王", "李", "张", "刘", "陈", "杨", "黄", "赵", "周", "吴",
                                           "徐", "孙", "林", "郭", "何", "高", "罗", "郑", "梁", "谢"};
const std::vector<std::string> NameChars = {
    "爱", "你", "我", "的", "心", "情", "月", "亮", "海", "风", "雨", "花", "梦", "星", "天", "夜",
    "光", "歌", "春", "秋", "思", "念", "远", "方", "回", "家", "路", "等", "待", "相", "见", "时",
    "忘", "记", "美", "丽", "青", "山", "水", "云", "飞", "雪", "红", "蓝", "笑", "泪", "温", "柔"};
const std::vector<std::string> Extensions = {".mpg", ".mpg", ".mpg", ".vob", ".avi", ".mkv", ".dat"};
const std::vector<std::string> MediaTypes = {"MPEG", "MPEG", "VOB", "AVI", "MKV"};
const std::vector<std::string> Specials = {"", "", "", "MTV", "演唱会", "卡拉OK"};

class TDemoRng {
public:
    explicit TDemoRng(std::uint64_t ASeed) : FEngine(ASeed) {}
    std::uint64_t Below(std::uint64_t ALimit) { return FEngine() % ALimit; }
    bool Chance(unsigned APerThousand) { return Below(1000) < APerThousand; }
    const std::string& Pick(const std::vector<std::string>& AList) { return AList[Below(AList.size())]; }

private:
    std::mt19937_64 FEngine;
};

struct TSummary {
    long Songs = 0, EmptyNames = 0, NoDate = 0, Files = 0, OtherCase = 0, Unknown = 0,
         SameNameTwice = 0, Folders = 0;
};

void Check(int AResult, sqlite3* ADb, const char* AWhat) {
    if (AResult != SQLITE_OK && AResult != SQLITE_DONE && AResult != SQLITE_ROW)
        throw std::runtime_error(std::string(AWhat) + ": " + sqlite3_errmsg(ADb));
}

void Touch(const fs::path& APath) {
    std::ofstream Out(APath, std::ios::binary);
    if (!Out)
        throw std::runtime_error("cannot create " + APath.string());
}

std::string Upper(std::string AText) {
    for (char& C : AText)
        if (C >= 'a' && C <= 'z')
            C = static_cast<char>(C - 'a' + 'A');
    return AText;
}

// OLE Automation date of a day between 1990 and 2024.
double RandomPublishDate(TDemoRng& ARng) { return 32874.0 + static_cast<double>(ARng.Below(12784)); }

void MakeDemo(const fs::path& AOut, long ACount, std::uint64_t ASeed, TSummary& ASummary) {
    if (fs::exists(AOut) && !fs::is_empty(AOut))
        throw std::runtime_error(AOut.string() + " exists and is not empty");
    const fs::path DataBase = AOut / "DataBase";
    const fs::path SongsDir = AOut / "Songs";
    fs::create_directories(DataBase);
    fs::create_directories(SongsDir);
    fs::create_directories(AOut / "Tools");
    const std::string Total = (DataBase / "Total.mdb").string();
    const std::string Local = (DataBase / "Ktv.mdb").string();
    CreateDatabase(Total, TSchemaKind::Master);
    CreateDatabase(Local, TSchemaKind::Local);

    sqlite3* Db = nullptr;
    Check(sqlite3_open_v2(Local.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr), Db, Local.c_str());
    Check(sqlite3_exec(Db,
                       "insert into DiscoTypes (TypeID, TypeName) values "
                       "(1, '迪士高'), (2, '舞曲'), (3, 'DJ')",
                       nullptr, nullptr, nullptr),
          Db, "DiscoTypes");
    sqlite3_close(Db);

    Check(sqlite3_open_v2(Total.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr), Db, Total.c_str());
    // A generator may batch its rows; the wizard and the plug-in never do.
    // A half-made demo is simply made again: no need to wait for the disk.
    Check(sqlite3_exec(Db, "pragma synchronous=OFF; begin", nullptr, nullptr, nullptr), Db, "begin");
    sqlite3_stmt* Insert = nullptr;
    Check(sqlite3_prepare_v2(Db,
                             "insert into Songs (SongNumber, SongName, FilePath, SingerName,"
                             " LanguageName, TypeName, Special, PYCode, MediaType, PublishDate,"
                             " CharsCount, Track, Sound, DemandTimes) values"
                             " (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                             -1, &Insert, nullptr),
          Db, "prepare");

    TDemoRng Rng(ASeed);
    const long PerFolder = 250;
    fs::path Folder;
    std::vector<std::string> Made; // a few file names to place a second time
    for (long I = 1; I <= ACount; ++I) {
        char Number[32];
        std::snprintf(Number, sizeof Number, "%05ld", I);
        const std::string& Ext = Rng.Pick(Extensions);
        const std::string FileName = Number + Ext;

        std::string SongName;
        const int Chars = 2 + static_cast<int>(Rng.Below(5));
        std::string PY;
        for (int C = 0; C < Chars; ++C) {
            SongName += Rng.Pick(NameChars);
            PY += static_cast<char>('A' + Rng.Below(26));
        }
        if (Rng.Chance(10)) {
            SongName.clear();
            ++ASummary.EmptyNames;
        }
        const std::string Singer = Rng.Pick(Surnames) + Rng.Pick(NameChars) + Rng.Pick(NameChars);
        const std::string SongNumber = std::to_string(10000000 + I);
        const std::string& Language = Rng.Pick(Languages);
        const std::string& Type = Rng.Pick(Types);
        const std::string& Special = Rng.Pick(Specials);
        const std::string& Media = Rng.Pick(MediaTypes);

        sqlite3_reset(Insert);
        sqlite3_bind_text(Insert, 1, SongNumber.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 2, SongName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 3, FileName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 4, Singer.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 5, Language.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 6, Type.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 7, Special.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 8, PY.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(Insert, 9, Media.c_str(), -1, SQLITE_TRANSIENT);
        if (Rng.Chance(30)) {
            sqlite3_bind_null(Insert, 10);
            ++ASummary.NoDate;
        } else {
            sqlite3_bind_double(Insert, 10, RandomPublishDate(Rng));
        }
        sqlite3_bind_int(Insert, 11, Chars);
        sqlite3_bind_int(Insert, 12, static_cast<int>(Rng.Below(2)));
        sqlite3_bind_int(Insert, 13, static_cast<int>(Rng.Below(101)));
        sqlite3_bind_int(Insert, 14, static_cast<int>(Rng.Below(5000)));
        Check(sqlite3_step(Insert), Db, "insert");
        ++ASummary.Songs;

        // Folders by language, a few hundred files each, some one level deeper.
        if ((I - 1) % PerFolder == 0) {
            Folder = SongsDir / Language / ("Disc" + std::to_string((I - 1) / PerFolder + 1));
            if (Rng.Chance(200))
                Folder /= "更多 歌曲";
            fs::create_directories(Folder);
            ++ASummary.Folders;
        }
        std::string OnDisk = FileName;
        if (Rng.Chance(20)) {
            OnDisk = Upper(OnDisk);
            ++ASummary.OtherCase;
        }
        Touch(Folder / OnDisk);
        ++ASummary.Files;
        if (Rng.Chance(5))
            Made.push_back(OnDisk);
        if (Rng.Chance(10)) {
            Touch(Folder / ("x" + std::string(Number) + ".mpg")); // not in the catalogue
            ++ASummary.Unknown;
            ++ASummary.Files;
        }
    }
    Check(sqlite3_finalize(Insert), Db, "finalize");
    Check(sqlite3_exec(Db, "commit", nullptr, nullptr, nullptr), Db, "commit");
    sqlite3_close(Db);

    // The same file name in a second folder, and a few files no catalogue knows.
    const fs::path Copies = SongsDir / "副本";
    fs::create_directories(Copies);
    ++ASummary.Folders;
    for (const auto& Name : Made) {
        Touch(Copies / Name);
        ++ASummary.SameNameTwice;
        ++ASummary.Files;
    }
    for (const char* Name : {"readme.txt", "cover.jpg", ".hidden.mpg"}) {
        Touch(SongsDir / Name);
        ++ASummary.Unknown;
        ++ASummary.Files;
    }

    std::ofstream Ini(AOut / "Configure.ini", std::ios::binary);
    Ini << "; Demo song library made by ktvdemo\n[DataBase]\nTotal=" << Total << "\nLocal=" << Local
        << "\n";
    if (!Ini)
        throw std::runtime_error("cannot write Configure.ini");
}

[[noreturn]] void Usage() {
    std::fprintf(stderr, "usage: ktvdemo --out DIR [--count N] [--seed S]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    std::string Out;
    long Count = 100000;
    std::uint64_t Seed = 1;
    for (int I = 1; I < argc; ++I) {
        const std::string Arg = argv[I];
        if (I + 1 >= argc)
            Usage();
        const char* Value = argv[++I];
        char* End = nullptr;
        if (Arg == "--out") {
            Out = Value;
        } else if (Arg == "--count") {
            Count = std::strtol(Value, &End, 10);
            if (*End != '\0' || Count < 1 || Count > 10000000)
                Usage();
        } else if (Arg == "--seed") {
            Seed = std::strtoull(Value, &End, 10);
            if (*End != '\0')
                Usage();
        } else {
            Usage();
        }
    }
    if (Out.empty())
        Usage();
    const auto Start = std::chrono::steady_clock::now();
    TSummary Summary;
    try {
        MakeDemo(fs::absolute(Out), Count, Seed, Summary);
    } catch (const std::exception& Error) {
        std::fprintf(stderr, "ktvdemo: %s\n", Error.what());
        return 1;
    }
    const double Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
    const std::string Dir = fs::absolute(Out).string();
    std::printf("Demo song library in %s (seed %llu), made in %.2f s:\n", Dir.c_str(),
                static_cast<unsigned long long>(Seed), Seconds);
    std::printf("  DataBase/Total.mdb  master catalogue: %ld songs (%ld without a name, %ld without"
                " a publish date)\n",
                Summary.Songs, Summary.EmptyNames, Summary.NoDate);
    std::printf("  DataBase/Ktv.mdb    local song database: empty, 3 disco types\n");
    std::printf("  Songs/              %ld files in %ld folders: %ld names in upper case, %ld the"
                " catalogue does not know, %ld file names present twice\n",
                Summary.Files, Summary.Folders, Summary.OtherCase, Summary.Unknown,
                Summary.SameNameTwice);
    std::printf("  Configure.ini       names both databases (read by a wizard placed in Tools/)\n");
    return 0;
}
