#include "NameMatch.h"

#include "TextRules.h"

#include <QString>

#include <algorithm>
#include <functional>
#include <unordered_map>

namespace {

char32_t NarrowChar(char32_t ACode) {
    if (ACode >= 0xFF01 && ACode <= 0xFF5E)
        return ACode - 0xFF01 + 0x21;
    if (ACode == 0x3000)
        return U' ';
    return ACode;
}

// The folded name without its extension (a leading dot starts no extension).
std::string_view Stem(std::string_view AFolded) {
    const std::size_t Dot = AFolded.rfind('.');
    return Dot == std::string_view::npos || Dot == 0 ? AFolded : AFolded.substr(0, Dot);
}

} // namespace

std::string MasterFileName(const std::string& APath, const TPathStyle& AStyle) {
    return APath.substr(ExtractFilePath(APath, AStyle).size());
}

std::string ComposeName(std::string_view AText) {
    bool Ascii = true;
    for (std::size_t I = 0; I < AText.size();) {
        char32_t Code = 0;
        const std::size_t Length = DecodeUtf8(AText, I, Code);
        if (Length == 0)
            return std::string(AText);
        Ascii = Ascii && Code < 0x80;
        I += Length;
    }
    if (Ascii)
        return std::string(AText);
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()))
        .normalized(QString::NormalizationForm_C)
        .toStdString();
}

std::string MatchKey(std::string_view AText) { return FoldCase(ComposeName(AText)); }

std::string FoldWidthAndCase(std::string_view AText) {
    return MapCodePoints(AText, [](char32_t ACode) { return FoldCodePoint(NarrowChar(ACode)); });
}

const char* NearMatchReasonName(TNearMatchReason AReason) {
    return AReason == TNearMatchReason::Width ? "width" : "extension";
}

void TMasterNames::Load(TConnection& AConnection) {
    FText.clear();
    FNames.clear();
    FByFolded.clear();

    // Stepped row by row: the names are kept in one block, never as a result in memory.
    TQuery Query(AConnection);
    Query.SetSQL(SqlMasterNames);
    const TQueryCloser Closer(Query);
    std::vector<std::pair<std::size_t, std::uint32_t>> Hashes;
    for (Query.Open(); !Query.Eof(); Query.Next()) {
        // Only text can equal the bound file name.
        const auto* Text = std::get_if<std::string>(&Query.FieldValue(0));
        if (Text == nullptr)
            continue;
        const std::string_view Name(*Text);
        Hashes.emplace_back(std::hash<std::string>{}(MatchKey(Name)), static_cast<std::uint32_t>(FNames.size()));
        FNames.push_back(TName{static_cast<std::uint32_t>(FText.size()), static_cast<std::uint32_t>(Name.size()), false});
        FText += Name;
    }

    // Of the names that fold alike the first read stays; the others are repeats.
    std::sort(Hashes.begin(), Hashes.end());
    FByFolded.reserve(Hashes.size());
    for (std::size_t First = 0; First < Hashes.size();) {
        std::size_t End = First;
        while (End < Hashes.size() && Hashes[End].first == Hashes[First].first)
            ++End;
        for (std::size_t I = First; I < End; ++I) {
            const std::string Key = End - First > 1 ? MatchKey(Name(Hashes[I].second)) : std::string();
            const bool Repeat = std::any_of(Hashes.begin() + static_cast<std::ptrdiff_t>(First),
                                            Hashes.begin() + static_cast<std::ptrdiff_t>(I), [&](const auto& AEarlier) {
                                                return !FNames[AEarlier.second].Repeat &&
                                                       MatchKey(Name(AEarlier.second)) == Key;
                                            });
            FNames[Hashes[I].second].Repeat = Repeat;
            if (!Repeat)
                FByFolded.push_back(Hashes[I]);
        }
        First = End;
    }
    FByFolded.shrink_to_fit();
}

std::optional<std::string_view> TMasterNames::Find(std::string_view AName) const {
    const std::string Key = MatchKey(AName);
    const std::size_t Hash = std::hash<std::string>{}(Key);
    for (auto It = std::lower_bound(FByFolded.begin(), FByFolded.end(), std::make_pair(Hash, std::uint32_t{0}));
         It != FByFolded.end() && It->first == Hash; ++It)
        if (MatchKey(Name(It->second)) == Key)
            return Name(It->second);
    return std::nullopt;
}

std::vector<TNearMatch> TMasterNames::NearMatches(const std::vector<std::string>& APaths) const {
    struct TFile {
        std::string Folded;
        std::vector<std::uint32_t> Width;
        std::vector<std::uint32_t> Extension;
    };
    std::vector<TFile> Files(APaths.size());
    std::unordered_map<std::string, std::vector<std::size_t>> ByStem;
    std::unordered_map<std::string, std::vector<std::size_t>> ByWidth;
    for (std::size_t I = 0; I < APaths.size(); ++I) {
        const std::string Name = MasterFileName(APaths[I]);
        Files[I].Folded = MatchKey(Name);
        ByStem[std::string(Stem(Files[I].Folded))].push_back(I);
        ByWidth[FoldWidthAndCase(ComposeName(Name))].push_back(I);
    }
    if (Files.empty())
        return {};

    for (std::uint32_t J = 0; J < FNames.size(); ++J) {
        if (FNames[J].Repeat)
            continue;
        const std::string Folded = MatchKey(Name(J));
        // The same name is no near match.
        if (const auto Wide = ByWidth.find(FoldWidthAndCase(ComposeName(Name(J)))); Wide != ByWidth.end())
            for (const std::size_t I : Wide->second)
                if (Files[I].Folded != Folded)
                    Files[I].Width.push_back(J);
        if (const auto Same = ByStem.find(std::string(Stem(Folded))); Same != ByStem.end())
            for (const std::size_t I : Same->second)
                if (Files[I].Folded != Folded)
                    Files[I].Extension.push_back(J);
    }

    std::vector<TNearMatch> Result;
    for (std::size_t I = 0; I < Files.size(); ++I) {
        for (const std::uint32_t J : Files[I].Width)
            Result.push_back(TNearMatch{APaths[I], std::string(Name(J)), TNearMatchReason::Width});
        // A name near in both ways is given once.
        for (const std::uint32_t J : Files[I].Extension)
            if (std::find(Files[I].Width.begin(), Files[I].Width.end(), J) == Files[I].Width.end())
                Result.push_back(TNearMatch{APaths[I], std::string(Name(J)), TNearMatchReason::Extension});
    }
    return Result;
}

void TCaseCollisions::Grow(std::size_t ASlots) {
    std::vector<TSlot> Old(ASlots);
    Old.swap(FSlots);
    FUsed = 0;
    for (const TSlot& Slot : Old)
        if (Slot.Index >= 0) {
            std::size_t At = Slot.Hash & (FSlots.size() - 1);
            while (FSlots[At].Index >= 0)
                At = (At + 1) & (FSlots.size() - 1);
            FSlots[At] = Slot;
            ++FUsed;
        }
}

void TCaseCollisions::Reserve(std::size_t ACount) {
    std::size_t Slots = 1024;
    while (Slots < ACount * 2 + 2)
        Slots *= 2;
    if (Slots > FSlots.size())
        Grow(Slots);
}

int TCaseCollisions::Check(const std::string& APath, int AIndex, const TFileList& AFiles) {
    if (FUsed * 2 >= FSlots.size())
        Grow(std::max<std::size_t>(FSlots.size() * 2, 1024));
    const std::string Folded = FoldCase(APath);
    const auto Hash = static_cast<std::uint32_t>(std::hash<std::string>{}(Folded));
    std::size_t At = Hash & (FSlots.size() - 1);
    for (; FSlots[At].Index >= 0; At = (At + 1) & (FSlots.size() - 1))
        if (FSlots[At].Hash == Hash && FoldCase(AFiles.Utf8(FSlots[At].Index)) == Folded)
            return FSlots[At].Index == AIndex ? -1 : FSlots[At].Index; // asked again for one file
    FSlots[At] = TSlot{Hash, AIndex};
    ++FUsed;
    return -1;
}
