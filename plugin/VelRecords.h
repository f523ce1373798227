// The records the song-request host hands to `_2DB`, laid out byte for byte as the host builds
// them, and its reference-counted UTF-16 strings.
//
// The host is a 32-bit Windows program: pointers are 4 bytes, a double inside a record is
// 8-aligned, and a string field points at the first character of a text whose 12-byte header
// sits just before it. 64-bit builds keep the field order with natural alignment and the same
// header, so the same code and tests run natively.
#pragma once

#include <cstddef>
#include <cstdint>

// The standard Windows calling convention of the export: the callee pops its arguments.
// x86-64 has one calling convention only.
#if defined(__i386__)
#define VARNEL_STDCALL __attribute__((stdcall))
#else
#define VARNEL_STDCALL
#endif

// A host string: null for the empty string, else the first of Length UTF-16LE characters
// (followed by a 0 character). The caller owns it.
using TVelString = char16_t*;

// The 12 bytes before the first character of a host string.
struct TVelStringHeader {
    std::uint16_t CodePage; // 1200 for UTF-16
    std::uint16_t CharSize; // 2
    std::int32_t RefCount;  // negative: a constant that is never released
    std::int32_t Length;    // in characters
};

// The calling song-request software; no field affects what the plug-in does.
struct TVodSoft {
    std::int32_t FactoryCode;
    TVelString FactoryName;
    TVelString VersionCode;
    TVelString VersionName;
};

// The song to write. The i386 System V ABI 4-aligns a double inside a record (PublishDate at 60,
// size 96); alignas(8) leading the member's declaration restores 64 and 104. Neither alignas on
// the record nor `double alignas(8)` (which appertains to the type and is ignored) does that.
struct TVelSongInfo {
    std::int32_t SongID;
    TVelString SongNumber;
    TVelString SongName;
    TVelString FilePath;
    TVelString SingerName;
    TVelString PYCode;
    std::int32_t CharsCount;
    std::int32_t StrokesNumber;
    std::int32_t LanguageID;
    TVelString LanguageName;
    std::int32_t TypeID;
    TVelString TypeName;
    TVelString SongTag;
    TVelString MtvStyle;
    TVelString MusicStyle;
    alignas(8) double PublishDate; // OLE Automation date
    std::int32_t Track;
    std::int32_t Sound;
    TVelString MediaType;
    std::int32_t FileSize;
    TVelString Special;
    std::uint8_t IsNew; // 0 false, anything else true
    std::int32_t DemandTimes;
};

static_assert(sizeof(TVelStringHeader) == 12);
static_assert(offsetof(TVelStringHeader, CodePage) == 0);
static_assert(offsetof(TVelStringHeader, CharSize) == 2);
static_assert(offsetof(TVelStringHeader, RefCount) == 4);
static_assert(offsetof(TVelStringHeader, Length) == 8);

namespace VelLayout {
// Offset of a field in the host's 32-bit layout (P32) or the natural 64-bit one (P64).
constexpr std::size_t Pick(std::size_t AP32, std::size_t AP64) {
    return sizeof(void*) == 4 ? AP32 : AP64;
}
} // namespace VelLayout

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8);

static_assert(sizeof(TVodSoft) == VelLayout::Pick(16, 32));
static_assert(offsetof(TVodSoft, FactoryCode) == 0);
static_assert(offsetof(TVodSoft, FactoryName) == VelLayout::Pick(4, 8));
static_assert(offsetof(TVodSoft, VersionCode) == VelLayout::Pick(8, 16));
static_assert(offsetof(TVodSoft, VersionName) == VelLayout::Pick(12, 24));

static_assert(sizeof(TVelSongInfo) == VelLayout::Pick(104, 160));
static_assert(alignof(TVelSongInfo) == 8);
static_assert(offsetof(TVelSongInfo, SongID) == 0);
static_assert(offsetof(TVelSongInfo, SongNumber) == VelLayout::Pick(4, 8));
static_assert(offsetof(TVelSongInfo, SongName) == VelLayout::Pick(8, 16));
static_assert(offsetof(TVelSongInfo, FilePath) == VelLayout::Pick(12, 24));
static_assert(offsetof(TVelSongInfo, SingerName) == VelLayout::Pick(16, 32));
static_assert(offsetof(TVelSongInfo, PYCode) == VelLayout::Pick(20, 40));
static_assert(offsetof(TVelSongInfo, CharsCount) == VelLayout::Pick(24, 48));
static_assert(offsetof(TVelSongInfo, StrokesNumber) == VelLayout::Pick(28, 52));
static_assert(offsetof(TVelSongInfo, LanguageID) == VelLayout::Pick(32, 56));
static_assert(offsetof(TVelSongInfo, LanguageName) == VelLayout::Pick(36, 64));
static_assert(offsetof(TVelSongInfo, TypeID) == VelLayout::Pick(40, 72));
static_assert(offsetof(TVelSongInfo, TypeName) == VelLayout::Pick(44, 80));
static_assert(offsetof(TVelSongInfo, SongTag) == VelLayout::Pick(48, 88));
static_assert(offsetof(TVelSongInfo, MtvStyle) == VelLayout::Pick(52, 96));
static_assert(offsetof(TVelSongInfo, MusicStyle) == VelLayout::Pick(56, 104));
static_assert(offsetof(TVelSongInfo, PublishDate) == VelLayout::Pick(64, 112));
static_assert(offsetof(TVelSongInfo, Track) == VelLayout::Pick(72, 120));
static_assert(offsetof(TVelSongInfo, Sound) == VelLayout::Pick(76, 124));
static_assert(offsetof(TVelSongInfo, MediaType) == VelLayout::Pick(80, 128));
static_assert(offsetof(TVelSongInfo, FileSize) == VelLayout::Pick(84, 136));
static_assert(offsetof(TVelSongInfo, Special) == VelLayout::Pick(88, 144));
static_assert(offsetof(TVelSongInfo, IsNew) == VelLayout::Pick(92, 152));
static_assert(offsetof(TVelSongInfo, DemandTimes) == VelLayout::Pick(96, 156));

// Bytes of arguments `_2DB` takes off the stack in the 32-bit build.
inline constexpr std::size_t VelArgumentBytes = sizeof(TVodSoft) + 4 + sizeof(TVelSongInfo);
static_assert(sizeof(void*) != 4 || VelArgumentBytes == 124);

// The export, as the host declares it.
extern "C" {
using T2DBFunc = std::int32_t(VARNEL_STDCALL*)(TVodSoft ASoft, struct sqlite3* AConnection,
                                               TVelSongInfo ASongInfo);
}
