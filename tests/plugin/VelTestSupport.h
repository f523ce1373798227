// The host's side of `_2DB` for the native tests, the 32-bit test host and the benchmark:
// strings as the song-request host builds them (UTF-16 text after a 12-byte header: code page
// 1200, character size 2, reference count, length), kept alive by a pool, and a sample song
// with every field distinct.
#pragma once

#include "VelRecords.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TVelStringPool {
public:
    // A string holding AText with the given reference count (negative: a constant). The empty
    // text gives null, as the host passes it, unless ANullWhenEmpty is false.
    TVelString Make(std::u16string_view AText, std::int32_t ARefCount = 1,
                    bool ANullWhenEmpty = true) {
        if (AText.empty() && ANullWhenEmpty)
            return nullptr;
        const std::size_t Bytes = sizeof(TVelStringHeader) + (AText.size() + 1) * sizeof(char16_t);
        auto Memory = std::make_unique<std::uint32_t[]>((Bytes + 3) / 4);
        const TVelStringHeader Header{1200, 2, ARefCount, static_cast<std::int32_t>(AText.size())};
        std::memcpy(Memory.get(), &Header, sizeof Header);
        auto* Text = reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(Memory.get()) +
                                                 sizeof(TVelStringHeader));
        std::memcpy(Text, AText.data(), AText.size() * sizeof(char16_t));
        Text[AText.size()] = u'\0';
        FStrings.push_back({std::move(Memory), Text, ARefCount});
        return Text;
    }

    static TVelStringHeader& Header(TVelString AText) {
        return *reinterpret_cast<TVelStringHeader*>(reinterpret_cast<unsigned char*>(AText) -
                                                    sizeof(TVelStringHeader));
    }
    static std::int32_t RefCount(TVelString AText) { return Header(AText).RefCount; }

    // True when every string made so far has the reference count it was made with.
    bool CountsAsMade() const {
        for (const auto& String : FStrings)
            if (RefCount(String.Text) != String.RefCount)
                return false;
        return true;
    }

private:
    struct TString {
        std::unique_ptr<std::uint32_t[]> Memory;
        TVelString Text;
        std::int32_t RefCount;
    };
    std::vector<TString> FStrings;
};

// A song with every field set to a distinct value (LanguageID and TypeID given, so no lookup).
inline TVelSongInfo VelSampleSong(TVelStringPool& APool, std::u16string_view AFilePath) {
    TVelSongInfo Info{};
    Info.SongID = 99;
    Info.SongNumber = APool.Make(u"K0001");
    Info.SongName = APool.Make(u"月亮代表我的心 🎤");
    Info.FilePath = APool.Make(AFilePath);
    Info.SingerName = APool.Make(u"邓丽君");
    Info.PYCode = APool.Make(u"YLDBWDX");
    Info.CharsCount = 7;
    Info.StrokesNumber = 42;
    Info.LanguageID = 3;
    Info.LanguageName = APool.Make(u"国语");
    Info.TypeID = 4;
    Info.TypeName = APool.Make(u"流行");
    Info.SongTag = APool.Make(u"tag");
    Info.MtvStyle = APool.Make(u"mtv");
    Info.MusicStyle = APool.Make(u"ballad");
    Info.PublishDate = 45000.75;
    Info.Track = 1;
    Info.Sound = 2;
    Info.MediaType = APool.Make(u"MPG");
    Info.FileSize = 123456789;
    Info.Special = APool.Make(u"S");
    Info.IsNew = 2;
    Info.DemandTimes = 17;
    return Info;
}

// Every written column of a Songs row joined by '|', in the order of VelSampleRow.
inline constexpr const char* VelRowColumns =
    "SongNumber||'|'||SongName||'|'||FilePath||'|'||SingerName||'|'||PYCode||'|'||CharsCount"
    "||'|'||StrokesNumber||'|'||quote(LanguageID)||'|'||quote(TypeID)||'|'||Special||'|'||Track"
    "||'|'||Sound||'|'||IsNew||'|'||DemandTimes||'|'||MediaType||'|'||FileSize||'|'||PublishDate";

// The row VelSampleSong writes, as VelRowColumns reads it.
inline std::string VelSampleRow(const std::string& AFilePath) {
    return "K0001|月亮代表我的心 🎤|" + AFilePath +
           "|邓丽君|YLDBWDX|7|42|3|4|S|1|2|1|17|MPG|123456789|45000.75";
}
