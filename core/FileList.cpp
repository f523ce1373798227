#include "FileList.h"

#include <algorithm>

namespace {

// The first block is small (a watch's batch of a few files), the next ones twice as large, up
// to this.
constexpr std::size_t FirstBlock = 4096;
constexpr std::size_t LargestBlock = 1 << 20;

} // namespace

TFileList::TFileList(const QStringList& AFiles) {
    for (const QString& File : AFiles)
        append(File);
}

void TFileList::append(const QString& AFile) {
    const QByteArray Utf8 = AFile.toUtf8();
    Append(std::string_view(Utf8.constData(), static_cast<std::size_t>(Utf8.size())));
}

void TFileList::Append(std::string_view AFile) {
    if (FBlocks.empty() || FBlocks.back().capacity() - FBlocks.back().size() < AFile.size()) {
        const std::size_t Next = FBlocks.empty() ? FirstBlock : std::min(LargestBlock, FBlocks.back().capacity() * 2);
        FBlocks.emplace_back();
        FBlocks.back().reserve(std::max(Next, AFile.size()));
    }
    std::string& Block = FBlocks.back();
    FEntries.push_back(TEntry{static_cast<std::uint32_t>(FBlocks.size() - 1), static_cast<std::uint32_t>(Block.size()),
                              static_cast<std::uint32_t>(AFile.size())});
    Block.append(AFile);
}

void TFileList::clear() {
    FBlocks.clear();
    FEntries.clear();
}

std::string_view TFileList::Utf8(qsizetype AIndex) const {
    const TEntry& Entry = FEntries[static_cast<std::size_t>(AIndex)];
    return std::string_view(FBlocks[Entry.Block]).substr(Entry.Offset, Entry.Length);
}

QString TFileList::operator[](qsizetype AIndex) const {
    const std::string_view Path = Utf8(AIndex);
    return QString::fromUtf8(Path.data(), static_cast<qsizetype>(Path.size()));
}

TFileList TFileList::mid(qsizetype AFrom, qsizetype ACount) const {
    TFileList Part;
    const qsizetype To = ACount < 0 ? size() : std::min(size(), AFrom + ACount);
    for (qsizetype I = std::max<qsizetype>(AFrom, 0); I < To; ++I)
        Part.Append(Utf8(I));
    return Part;
}

QStringList TFileList::ToStringList() const {
    QStringList Files;
    Files.reserve(size());
    for (qsizetype I = 0; I < size(); ++I)
        Files.append((*this)[I]);
    return Files;
}
