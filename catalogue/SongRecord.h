// TKtvSongInfo: the wizard's song record, which the song writer writes.
#pragma once

#include "DateTime.h"

#include <cstdint>
#include <optional>
#include <string>

// A 32-bit identifier that may be absent; absent is written to the database as null.
using TOptionalID = std::optional<std::int32_t>;

// The wizard's song record; strings are UTF-8 and owned by the record.
struct TKtvSongInfo {
    // Never filled or read: no statement binds it (Songs.SongID is the database's own
    // auto-number). Kept because the record is defined with it.
    std::int32_t SongID = 0;
    std::string SongNumber;
    std::string SongName;
    std::string FilePath;
    std::string SingerName;
    std::string PYCode;
    std::int32_t CharsCount = 0;
    std::int32_t StrokesNumber = 0;
    TOptionalID LanguageID;
    std::string LanguageName;
    TOptionalID TypeID;
    std::string TypeName;
    TDateTime PublishDate = 0.0;
    std::int32_t Track = 0;
    std::int32_t Sound = 0;
    std::string MediaType;
    std::int32_t FileSize = 0;
    std::string Special;
    bool IsNew = false;
    std::int32_t DemandTimes = 0;

    // Every string empty, every number 0, both identifiers absent, the date 0.0.
    void Clear() { *this = TKtvSongInfo(); }

    bool operator==(const TKtvSongInfo&) const = default;
};
