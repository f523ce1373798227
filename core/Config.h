// The wizard's configuration: the tool file Tools.ini beside the program, which remembers the
// choices of the last finished run, and the system file Configure.ini one folder higher,
// which names the two database files (read only). Relative file names in these values
// resolve against the program directory, which the wizard makes its current directory.
#pragma once

#include "DbAccess.h"
#include "TextRules.h"

#include <memory>

#include <string>

inline constexpr const char* ToolFileTitle = "Tools.ini";
inline constexpr const char* SystemFileTitle = "Configure.ini";

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

// The program directory: the folder part of the program file, ending with the separator.
std::string GetProgramDir(const std::string& AProgramFile);
// PROGRAM DIR/Tools.ini
std::string GetToolFileName(const std::string& AProgramFile);
// The parent of the program directory, then Configure.ini.
std::string GetSystemFileName(const std::string& AProgramFile);
// Two levels above the program file, then DataBase/Total.mdb or DataBase/Ktv.mdb.
std::string DefaultTotalFileName(const std::string& AProgramFile);
std::string DefaultLocalFileName(const std::string& AProgramFile);

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
// to Total from the system file.
TWizardChoices ReadWizardChoices(const std::string& AProgramFile);

// When step 2 is confirmed: the local song database file named by the system file.
std::string ReadLocalFileName(const std::string& AProgramFile);

// At the last step, in this order: the song folder, the master path (both untrimmed), then
// OverWrite = not OnlyAdd. Throws TIniError when the tool file cannot be written.
void WriteWizardChoices(const std::string& AProgramFile, const TWizardChoices& AChoices);
