// How file names meet the master catalogue's names. The databases compare text without regard
// to ASCII letter case only (COLLATE NOCASE); the catalogue was written for a database that
// ignores letter case in every script. The worker asks the database first and, when it finds
// nothing, looks the name up among the master's names by their match key (composed, then
// case-folded: nothing stored in any file). Accents and character widths still count: é is not
// e, Ａ is not A; but é written decomposed (e and U+0301, as macOS writes names onto shares) is é.
#pragma once

#include "CaseFold.h"
#include "FileList.h"
#include "Paths.h"
#include "Query.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The key of the master lookup: the entry's file name, the text after its last separator (or
// drive delimiter) in the given path style, extension included.
std::string MasterFileName(const std::string& APath, const TPathStyle& AStyle = NativePathStyle);

// AText (UTF-8) in Unicode normalization form C; text that is not UTF-8 stays as it is.
std::string ComposeName(std::string_view AText);

// What names are matched by: ComposeName, then FoldCase.
std::string MatchKey(std::string_view AText);

// FoldCase after the full-width forms of ASCII (U+FF01..U+FF5E, and the ideographic space)
// became ASCII.
std::string FoldWidthAndCase(std::string_view AText);

// Why an unmatched file's name is near a master name.
enum class TNearMatchReason {
    Extension, // the same stem with another extension (a converted video)
    Width,     // the same name once full-width forms are read as ASCII
};

// "extension" or "width".
const char* NearMatchReasonName(TNearMatchReason AReason);

struct TNearMatch {
    std::string Path;       // the unmatched file
    std::string MasterName; // a FilePath of the master, as stored
    TNearMatchReason Reason;

    bool operator==(const TNearMatch&) const = default;
};

inline constexpr const char* SqlMasterNames = "select FilePath from Songs";

// The master's file names, read once for a run.
class TMasterNames {
public:
    // Reads every FilePath of the master's Songs; throws TDatabaseError.
    void Load(TConnection& AConnection);

    // The stored name with the match key of AName (the first read), if any.
    std::optional<std::string_view> Find(std::string_view AName) const;

    // The near matches of the unmatched APaths, in their order: for each, the names of the
    // width reason, then those of the extension reason, each in the master's order. One pass
    // over the master's names; what it keeps grows with the unmatched files only.
    std::vector<TNearMatch> NearMatches(const std::vector<std::string>& APaths) const;

    // Names read, one for each match key.
    std::size_t Count() const { return FByFolded.size(); }

private:
    // Every name in the order read, kept in one block (a run over a large master leaves no
    // small allocations behind).
    struct TName {
        std::uint32_t Offset;
        std::uint32_t Length;
        bool Repeat; // has the match key of a name read before it
    };
    std::string_view Name(std::uint32_t AIndex) const {
        return std::string_view(FText).substr(FNames[AIndex].Offset, FNames[AIndex].Length);
    }

    std::string FText;
    std::vector<TName> FNames;
    // The hash of each first name's match key with its index, sorted; names whose hashes
    // meet are keyed again to tell them apart.
    std::vector<std::pair<std::size_t, std::uint32_t>> FByFolded;
};

// Paths of one run that differ only in letter case: the database would take them for one song.
class TCaseCollisions {
public:
    // The index in AFiles of an earlier path equal to APath (AFiles[AIndex]) but for letter
    // case, or -1 (then this path is remembered; asked again for AIndex, -1 again).
    int Check(const std::string& APath, int AIndex, const TFileList& AFiles);
    // Room for ACount paths at once, instead of doubling (and holding both blocks) as they come.
    void Reserve(std::size_t ACount);

private:
    // Open addressing over the hashes of the folded paths (the paths are in the list already),
    // in one block that doubles when half full. The hash's low half is kept: the slot's place
    // already tells its low bits, and equal halves are told apart by the paths themselves.
    struct TSlot {
        std::uint32_t Hash = 0;
        int Index = -1;
    };
    void Grow(std::size_t ASlots);
    std::vector<TSlot> FSlots;
    std::size_t FUsed = 0;
};
