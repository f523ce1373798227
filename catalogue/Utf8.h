// UTF-8 and UTF-16 without Qt (the plug-in links this): decoding, encoding and checking one
// code point at a time, and the host's UTF-16 text as UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence at AText[APos] and its code point; 0 when the
// bytes there are no such sequence (overlong forms, surrogates and code points above U+10FFFF
// included).
std::size_t DecodeUtf8(std::string_view AText, std::size_t APos, char32_t& ACode);

// Appends ACode (a code point up to U+10FFFF) as UTF-8.
void AppendUtf8(std::string& AText, char32_t ACode);

// True when every byte belongs to a well-formed sequence.
bool IsValidUtf8(std::string_view AText);

// ALength UTF-16 units as UTF-8; a surrogate without its partner becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* AText, std::size_t ALength);
