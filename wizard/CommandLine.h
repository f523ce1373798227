// The wizard's command line: "/i" or "/e" followed by the host's window handle.
#pragma once

#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>

// A number as the host writes it: decimal, or hexadecimal after "$" or "0x", with an optional
// sign, within 64 bits. Nothing for anything else.
std::optional<std::int64_t> ParseInt64(const QString& AText);

// The host window handle from the program's arguments (AArguments[0] is the program): the low
// 32 bits of the number after an exact "/i" or "/e"; 0 when there is none or it is no number.
std::uintptr_t HostHandleFromArguments(const QStringList& AArguments);

// What "--version" or "-h"/"--help" as the first argument prints before the program ends with
// status 0; both are answered before any window exists, so they work without a display. Nothing
// for every other command line: after "/i" or "/e" the same word is the host's handle.
std::optional<std::string> InfoOptionText(int AArgc, const char* const* AArgv);
