// The list of collected files: owned by the wizard window and lent to both workers as a shared
// reference, so a worker still stopping after the window closed keeps it alive.
//
// TFileList keeps the full paths as UTF-8, one after another in blocks of up to 1 MiB, and reads
// them back as QString or UTF-8. A million paths take little more than their bytes: as a
// QStringList (UTF-16, a header and an allocation each, and an array that doubles) they took
// three times as much, the largest part of a run's memory.
//
// Thread safety: written by one thread at a time (the search), read by the index worker after it.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TFileList {
public:
    TFileList() = default;
    explicit TFileList(const QStringList& AFiles);

    void append(const QString& AFile);
    // AFile as UTF-8 (the search's own bytes: no conversion).
    void Append(std::string_view AFile);
    void clear();

    qsizetype size() const { return static_cast<qsizetype>(FEntries.size()); }
    bool isEmpty() const { return FEntries.empty(); }
    std::string_view Utf8(qsizetype AIndex) const;
    QString operator[](qsizetype AIndex) const;
    QString front() const { return (*this)[0]; }
    QString back() const { return (*this)[size() - 1]; }
    // ACount entries from AFrom on (to the end when negative).
    TFileList mid(qsizetype AFrom, qsizetype ACount = -1) const;
    QStringList ToStringList() const;

    // The paths as QStrings, one made for each step.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = QString;
        using difference_type = qsizetype;
        using pointer = void;
        using reference = QString;

        const_iterator(const TFileList* AList, qsizetype AIndex) : FList(AList), FIndex(AIndex) {}
        QString operator*() const { return (*FList)[FIndex]; }
        const_iterator& operator++() {
            ++FIndex;
            return *this;
        }
        bool operator==(const const_iterator& AOther) const { return FIndex == AOther.FIndex; }
        bool operator!=(const const_iterator& AOther) const { return FIndex != AOther.FIndex; }

    private:
        const TFileList* FList;
        qsizetype FIndex;
    };
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

private:
    struct TEntry {
        std::uint32_t Block;
        std::uint32_t Offset;
        std::uint32_t Length;
    };
    // A block is never grown past what it reserved, so no path moves; the entries are a deque
    // for the same reason (no array copied whole, and twice as large, as it grows).
    std::vector<std::string> FBlocks;
    std::deque<TEntry> FEntries;
};

using TStringListRef = std::shared_ptr<TFileList>;
