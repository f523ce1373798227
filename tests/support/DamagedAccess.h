// Damaged Access files for the tests, made from the real ones in tests/data/access: each
// tests/data/access/damaged/NAME.txt names its source file and the bytes changed or cut
// ("from FILE", "set OFFSET HEX...", "truncate SIZE"; "#" starts a comment).
#pragma once

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

// The damaged file made from ADataDir/damaged/AName.txt, written to AOutput.
inline void MakeDamagedAccess(const std::string& ADataDir, const std::string& AName,
                              const std::string& AOutput) {
    std::ifstream Recipe(ADataDir + "/damaged/" + AName + ".txt");
    if (!Recipe)
        throw std::runtime_error("no damaged file " + AName);
    std::string Bytes, Line;
    while (std::getline(Recipe, Line)) {
        std::istringstream Words(Line);
        std::string Verb;
        Words >> Verb;
        if (Verb.empty() || Verb[0] == '#')
            continue;
        if (Verb == "from") {
            std::string Source;
            Words >> Source;
            std::ifstream In(ADataDir + "/" + Source, std::ios::binary);
            Bytes.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
            if (Bytes.empty())
                throw std::runtime_error("cannot read " + Source);
        } else if (Verb == "set") {
            std::size_t Offset = 0;
            Words >> Offset;
            for (std::string Hex; Words >> Hex; ++Offset)
                Bytes.at(Offset) = static_cast<char>(std::stoi(Hex, nullptr, 16));
        } else if (Verb == "truncate") {
            std::size_t Size = 0;
            Words >> Size;
            Bytes.resize(Size);
        } else {
            throw std::runtime_error("bad line in " + AName + ": " + Line);
        }
    }
    std::ofstream(AOutput, std::ios::binary) << Bytes;
}
