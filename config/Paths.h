// Path rules of the wizard: the folder part of a file name, the parent of a folder and the
// folder some levels above a file, written once over a path style so that the Windows rules
// the configuration was designed with give the same answers as the native ones here.
#pragma once

#include <string>

// Separator and drive delimiter of a path style ('\0' when the style has no drives).
struct TPathStyle {
    char Separator;
    char DriveDelimiter;
};

inline constexpr TPathStyle WindowsPathStyle{'\\', ':'};
inline constexpr TPathStyle PosixPathStyle{'/', '\0'};
inline constexpr TPathStyle NativePathStyle = PosixPathStyle;

// The path up to and including its last separator or drive delimiter ("" when it has none).
std::string ExtractFilePath(const std::string& APath, const TPathStyle& AStyle = NativePathStyle);

// A folder part without its trailing separator, except where the separator is the root
// itself (C:\, \, /).
std::string ExtractFileDir(const std::string& APath, const TPathStyle& AStyle = NativePathStyle);

// The parent folder of a folder path, ending with the separator. C:\KTV\Tools\ gives C:\KTV\;
// a root gives the drive alone (C:\ gives C:, / gives "").
std::string GetParentPath(const std::string& APath, const TPathStyle& AStyle = NativePathStyle);

// The folder ALevels levels above the folder that holds AFileName, ending with the separator;
// the climb stops at the root. C:\KTV\Tools\x.exe gives C:\KTV\ for 1 level and C:\ for 2.
// ALevels of 0 or less gives the folder part of AFileName.
std::string GetUpperPath(const std::string& AFileName, int ALevels,
                         const TPathStyle& AStyle = NativePathStyle);

// The pass a collected file path goes through: in the Windows style each pair of backslashes
// becomes one, left to right (three in a row become two), after a leading pair, which a
// network path (\\server\share) keeps. In the native style a backslash is a name character
// and nothing is rewritten.
std::string MergeBackslashPairs(const std::string& APath, const TPathStyle& AStyle = NativePathStyle);

// A folder path as the search stores it (native style, lexical only): separators in a row
// become one, "." names go, and so does a trailing separator; ".." stays (it may climb out of
// a link, which only the file system knows). "Songs//", "./Songs/." and "Songs" give "Songs";
// a path of "." names alone gives "."; the root stays "/"; "" stays "".
std::string LexicalFolderPath(const std::string& APath);
