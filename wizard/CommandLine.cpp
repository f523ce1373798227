#include "CommandLine.h"

#include <limits>
#include <string_view>

std::optional<std::int64_t> ParseInt64(const QString& AText) {
    qsizetype Pos = 0;
    bool Negative = false;
    if (Pos < AText.size() && (AText[Pos] == u'+' || AText[Pos] == u'-')) {
        Negative = AText[Pos] == u'-';
        ++Pos;
    }
    int Base = 10;
    if (Pos < AText.size() && AText[Pos] == u'$') {
        Base = 16;
        ++Pos;
    } else if (Pos + 1 < AText.size() && AText[Pos] == u'0' &&
               (AText[Pos + 1] == u'x' || AText[Pos + 1] == u'X')) {
        Base = 16;
        Pos += 2;
    }
    if (Pos >= AText.size())
        return std::nullopt;
    // Hexadecimal may use all 64 bits (FFFFFFFFFFFFFFFF is -1); decimal stays within range.
    const std::uint64_t Limit = Base == 16 ? std::numeric_limits<std::uint64_t>::max()
                                           : (Negative ? 9223372036854775808ULL
                                                       : 9223372036854775807ULL);
    std::uint64_t Value = 0;
    for (; Pos < AText.size(); ++Pos) {
        const char16_t C = AText[Pos].unicode();
        int Digit = -1;
        if (C >= u'0' && C <= u'9')
            Digit = C - u'0';
        else if (Base == 16 && C >= u'a' && C <= u'f')
            Digit = C - u'a' + 10;
        else if (Base == 16 && C >= u'A' && C <= u'F')
            Digit = C - u'A' + 10;
        if (Digit < 0)
            return std::nullopt;
        if (Value > (Limit - static_cast<std::uint64_t>(Digit)) / static_cast<std::uint64_t>(Base))
            return std::nullopt;
        Value = Value * static_cast<std::uint64_t>(Base) + static_cast<std::uint64_t>(Digit);
    }
    return static_cast<std::int64_t>(Negative ? 0 - Value : Value);
}

std::uintptr_t HostHandleFromArguments(const QStringList& AArguments) {
    if (AArguments.size() < 2 || (AArguments[1] != u"/i" && AArguments[1] != u"/e"))
        return 0;
    if (AArguments.size() < 3 || AArguments[2].isEmpty())
        return 0;
    const auto Value = ParseInt64(AArguments[2]);
    if (!Value)
        return 0; // not a number: no host to tell, but the window is still built completely
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(*Value));
}

std::optional<std::string> InfoOptionText(int AArgc, const char* const* AArgv) {
    if (AArgc < 2)
        return std::nullopt;
    const std::string_view First = AArgv[1];
    if (First == "--version")
        return std::string("corvena " CORVENA_VERSION "\n");
    if (First == "--help" || First == "-h")
        return std::string(
            "Usage: corvena [/i HANDLE | /e HANDLE]\n"
            "       corvena --version | --help\n"
            "\n"
            "The Corvena wizard: in five steps it collects every file below a song folder, looks\n"
            "each file name up in the master catalogue and writes the songs it finds into the local\n"
            "song database.\n"
            "\n"
            "  /i HANDLE, /e HANDLE  started by the song-request host: HANDLE is its window (decimal,\n"
            "                        or hexadecimal after \"$\" or \"0x\"), told when indexing has ended\n"
            "  --version             print the version and exit\n"
            "  -h, --help            show this text and exit\n"
            "\n"
            "Configure.ini in the folder above the program names the master catalogue and the local\n"
            "song database ([DataBase] Total and Local); Tools.ini beside the program keeps the last\n"
            "song folder, master catalogue and choice.\n");
    return std::nullopt;
}
