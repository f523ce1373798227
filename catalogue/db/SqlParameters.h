// The `:Name` parameters of a statement text, as the catalogue's statements write them: a name
// is one parameter in any letter case (`:X` and `:x` are bound together), wherever it stands.
// Found here once for every engine: an engine with named parameters matches them by name, one
// with numbered ones (`$1`) puts its marks at the places given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct TSqlParameters {
    // A mark of a parameter in the text.
    struct TMark {
        std::size_t Place;  // where it begins (the colon)
        std::size_t Length; // colon included
        int Parameter;      // its number in Names
    };
    // One a parameter, as first written without the colon, in the order the names first appear.
    std::vector<std::string> Names;
    // Every mark, in the order of the text.
    std::vector<TMark> Marks;
};

// A name is ASCII letters, digits, '_', '$' and any byte above 0x7F (as SQLite reads them). A
// colon inside quotes ('...', "...", `...`, [...]) or a comment (-- to the line's end, /* ... */)
// marks nothing, nor does one that follows another colon (a cast such as x::int).
TSqlParameters FindSqlParameters(std::string_view ASQL);
