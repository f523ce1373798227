// Profile (INI) files read and written by the rules of Windows private profiles: bracketed
// section lines and key=value lines, names matched without regard to ASCII letter case, the
// first match wins, blanks around names and values ignored, a value in matching surrounding
// quotes read without them, values cut at 2047 characters. Files are UTF-8; a byte-order mark
// and CRLF line ends are read and kept. Every call reads the file afresh, as the profile
// functions do; a missing or unreadable file reads as all defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

// A profile file could not be written; the message names the file.
class TIniError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TIniFile {
public:
    // Longest value a read returns, in characters; longer ones are cut.
    static constexpr std::size_t MaxValueLength = 2047;

    explicit TIniFile(std::string AFileName) : FFileName(std::move(AFileName)) {}

    const std::string& FileName() const { return FFileName; }

    // The value, or ADefault when the file, the section or the key is missing. A key present
    // with nothing after the equals sign reads as "".
    std::string ReadString(std::string_view ASection, std::string_view AKey,
                           std::string_view ADefault) const;
    // The value, or nothing when the file, the section or the key is missing.
    std::optional<std::string> ReadValue(std::string_view ASection, std::string_view AKey) const;
    // A decimal integer, or hexadecimal after 0x; ADefault when empty, missing, not an integer
    // or out of the 32-bit range.
    std::int32_t ReadInteger(std::string_view ASection, std::string_view AKey,
                             std::int32_t ADefault) const;
    // True when the integer value is not 0; ADefault where ReadInteger falls back.
    bool ReadBool(std::string_view ASection, std::string_view AKey, bool ADefault) const;

    // Sets the one key: replaced in place, or added at the end of its section, or added with
    // a new section at the end of the file; every other byte stays as it was, except that the
    // file always ends with a line end (the file's own kind). Creates the
    // file when missing. The file is replaced whole (temporary file and rename), so a failure
    // leaves the old file intact. Throws TIniError on failure, or when a name or the value
    // could not be stored in a line of its own.
    void WriteString(std::string_view ASection, std::string_view AKey, std::string_view AValue);
    void WriteInteger(std::string_view ASection, std::string_view AKey, std::int32_t AValue);
    // Written as 1 or 0.
    void WriteBool(std::string_view ASection, std::string_view AKey, bool AValue);

private:
    std::string FFileName;
};

// Reads the integer of a profile value: optional sign and decimal digits, or 0x and
// hexadecimal digits (up to 32 bits, FFFFFFFF being -1); blanks around it are ignored.
// ADefault for anything else.
std::int32_t ProfileStringToInt(std::string_view AText, std::int32_t ADefault);
