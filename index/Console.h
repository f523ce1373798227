// What corvena-index says on standard error, and the text helpers its lines share.
#pragma once

#include <QString>

#include <string>

inline constexpr const char* ProgramName = "corvena-index";

// The text on one line: newlines and carriage returns become blanks.
std::string OneLine(std::string AText);
// "TEXT", for names in messages.
std::string Quoted(const QString& AText);
// "corvena-index: TEXT" on standard error, at once.
void Say(const std::string& AText);
// Says AText (on one line) and returns the exit status of a run that does not start.
int Refuse(const std::string& AText);
