// Text rules shared by the database layer and the profile files: names compared without regard
// to ASCII letter case (as Jet and the Windows profile functions compare them), quoting for
// messages, and the two blank sets used for trimming.
#pragma once

#include <string>
#include <string_view>

inline char LowerAscii(char AChar) {
    return AChar >= 'A' && AChar <= 'Z' ? static_cast<char>(AChar - 'A' + 'a') : AChar;
}
bool SameText(std::string_view ALeft, std::string_view ARight);

// "TEXT", for file names and statements in messages.
std::string Quoted(std::string_view AText);

// Without characters of code 32 and below at either end: what the connection string reader
// and the wizard's folder and file edits treat as blank.
std::string_view TrimControls(std::string_view AText);

// Without spaces, tabs, carriage returns, vertical tabs and form feeds at either end: the
// profile functions keep other control characters as part of a name or value.
std::string_view TrimProfileBlanks(std::string_view AText);
