// The wizard's configuration: the tool file Tools.ini, which remembers the choices of the last
// finished run, and the system file Configure.ini, which names the two database files (read
// only).
//
// Where they are: the song-request system keeps the program in its Tools folder, Configure.ini
// one folder higher and Tools.ini beside the program; that layout is used wherever it is
// found (Configure.ini above the program when it exists, Tools.ini beside it when that folder
// is writable). Otherwise, as any program installed for many users: Configure.ini from the
// user's configuration folder, then the system's (/etc/corvena/), key by key; Tools.ini in the
// user's configuration folder; and a local song database named nowhere is the user's own, in
// the user's data folder, made empty the first time it is needed.
//
// Relative names in the song-request system's Configure.ini resolve against the program
// directory, which the wizard makes its current directory; in the other files against the
// folder of the file that names them.
#pragma once

#include "Connection.h"
#include "TextRules.h"

#include <memory>
#include <string>
#include <vector>

inline constexpr const char* ToolFileTitle = "Tools.ini";
inline constexpr const char* SystemFileTitle = "Configure.ini";
inline constexpr const char* LocalFileTitle = "Ktv.mdb";

// Tool file.
inline constexpr const char* SectionCorvena = "Corvena";
inline constexpr const char* KeyOverWrite = "OverWrite"; // boolean, default true
inline constexpr const char* SectionHistory = "History";
inline constexpr const char* KeySongPath = "CorvenSongPath";   // default empty
inline constexpr const char* KeyTotalPath = "CorvenTotalPath"; // default empty

// System file.
inline constexpr const char* SectionDataBase = "DataBase";
inline constexpr const char* KeyTotal = "Total";
inline constexpr const char* KeyLocal = "Local";

// Where the files are looked for besides the program's own folder. Every folder ends with the
// separator; an empty one is not looked in. core_config has no Qt: the programs fill this from
// the platform's standard locations (StandardConfigPlaces in ConfigPlaces.h).
struct TConfigPlaces {
    std::string ProgramFile;
    std::string UserConfigDir;   // the user's configuration folder for this program
    std::string SystemConfigDir; // the administrator's defaults
    std::string UserDataDir;     // the user's data folder for this program
    // The folder the packages install programs into: it belongs to the system, so the tool
    // file is never kept beside a program there, not even by root.
    std::string InstalledBinDir;
};

// The program directory: the folder part of the program file, ending with the separator.
std::string GetProgramDir(const std::string& AProgramFile);
// The parent of the program directory, then Configure.ini: the song-request system's file.
std::string GetSystemFileName(const std::string& AProgramFile);
// Two levels above the program file, then DataBase/Total.mdb or DataBase/Ktv.mdb: the
// song-request system's defaults.
std::string DefaultTotalFileName(const std::string& AProgramFile);
std::string DefaultLocalFileName(const std::string& AProgramFile);

// PROGRAM DIR/Tools.ini when that folder is writable (and not InstalledBinDir), otherwise
// Tools.ini in the user's configuration folder.
std::string GetToolFileName(const TConfigPlaces& APlaces);
// The Configure.ini files read, first match winning: the song-request system's alone when it
// exists, otherwise the user's and the system's (whether they exist or not).
std::vector<std::string> SystemFileNames(const TConfigPlaces& APlaces);
// Ktv.mdb in the user's data folder ("" without one).
std::string UserLocalFileName(const TConfigPlaces& APlaces);

// Where a database name came from.
enum class TConfigOrigin {
    Named,          // a key in File
    LayoutDefault,  // the song-request system's default: File names no such key
    ExistingDefault,// the song-request system's default file, found without a Configure.ini
    UserDefault,    // the user's own local song database (the local database only)
    Nothing,        // named nowhere (the master catalogue only): Value is ""
};

struct TConfigValue {
    std::string Value;
    TConfigOrigin Origin = TConfigOrigin::Nothing;
    std::string File; // the Configure.ini of Named and LayoutDefault
};

// The master catalogue and the local song database as the system files name them, with the
// defaults above.
TConfigValue ReadTotalFileName(const TConfigPlaces& APlaces);
TConfigValue ReadLocalFileName(const TConfigPlaces& APlaces);

// Where a name came from, in English for the programs' messages: "Local in [DataBase] of
// F", "the default of F, which names no Local", ...
std::string DescribeOrigin(const TConfigValue& AValue, const char* AKey);
// The file and key an operator edits to name the local song database: the song-request
// system's Configure.ini when there is one, otherwise the user's.
std::string WhereToNameLocal(const TConfigPlaces& APlaces);

// Makes the user's own local song database, empty from the reference schema, when it does not
// exist yet (its folders too). True when this call made it; false when it was there already
// (another process may have made it a moment before). Never leaves a half-made file under
// the name. Throws std::runtime_error naming the file on failure.
bool MakeUserLocalDatabase(const std::string& AFileName);

// The connection strings of the local song database (with its password) and of the master
// catalogue (without one); the file name goes in as it is.
std::string LocalConnectionString(const std::string& AFileName);
std::string TotalConnectionString(const std::string& AFileName);

// A new connection opened with AConnectionString in AMode. A new object each time, so whoever
// still holds an earlier connection keeps it as it was. Throws TDatabaseError when it cannot
// be opened.
std::shared_ptr<TConnection> OpenConnection(const std::string& AConnectionString, TConnectMode AMode);

// What the wizard shows on its first two pages and remembers after a finished run.
struct TWizardChoices {
    std::string SongPath;  // song folder edit
    std::string TotalPath; // master catalogue edit
    bool OnlyAdd = false;  // check box: leave songs already present alone

    bool operator==(const TWizardChoices&) const = default;
};

// At start: the check box is the inverse of OverWrite, the edits get the history paths as
// written, and a master path that is blank (only characters of code 32 and below) gives way
// to the master catalogue of the system files.
TWizardChoices ReadWizardChoices(const TConfigPlaces& APlaces);

// At the last step, in this order: the song folder, the master path (both untrimmed), then
// OverWrite = not OnlyAdd. The user's configuration folder is made when the file goes there.
// Throws TIniError when the tool file cannot be written.
void WriteWizardChoices(const TConfigPlaces& APlaces, const TWizardChoices& AChoices);
