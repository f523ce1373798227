// The `:Name` parameters of a statement text, as the catalogue's statements write them: a name
// is one parameter in any letter case (`:X` and `:x` are bound together), wherever it stands.
// Found here once for every engine: an engine with named parameters matches them by name, one
// with numbered ones (`$1`) puts its marks at the places given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TSqlParameter {
    std::string Name;                // as first written, without the colon
    std::vector<std::size_t> Places; // where each of its marks begins (the colon)
    // The length of each mark, colon included.
    std::size_t MarkLength() const { return Name.size() + 1; }
};

// One entry per name, in the order the names first appear. A name is ASCII letters, digits,
// '_', '$' and any byte above 0x7F (as SQLite reads them). A colon inside quotes ('...', "...",
// `...`, [...]) or a comment (-- to the line's end, /* ... */) marks nothing, nor does one that
// follows another colon (a cast such as x::int).
std::vector<TSqlParameter> FindSqlParameters(std::string_view ASQL);
