#include "Utf8.h"

std::size_t DecodeUtf8(std::string_view AText, std::size_t APos, char32_t& ACode) {
    const auto Byte = [&](std::size_t I) { return static_cast<unsigned char>(AText[APos + I]); };
    const std::size_t Left = AText.size() - APos;
    const unsigned char Lead = Byte(0);
    std::size_t Length = 0;
    unsigned char Low = 0x80;
    unsigned char High = 0xBF;
    if (Lead < 0x80) {
        ACode = Lead;
        return 1;
    }
    if (Lead >= 0xC2 && Lead <= 0xDF) {
        Length = 2;
        ACode = Lead & 0x1Fu;
    } else if (Lead >= 0xE0 && Lead <= 0xEF) {
        Length = 3;
        ACode = Lead & 0x0Fu;
        if (Lead == 0xE0)
            Low = 0xA0;
        else if (Lead == 0xED)
            High = 0x9F;
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
        Length = 4;
        ACode = Lead & 0x07u;
        if (Lead == 0xF0)
            Low = 0x90;
        else if (Lead == 0xF4)
            High = 0x8F;
    } else {
        return 0;
    }
    if (Left < Length || Byte(1) < Low || Byte(1) > High)
        return 0;
    for (std::size_t I = 1; I < Length; ++I) {
        if ((Byte(I) & 0xC0u) != 0x80u)
            return 0;
        ACode = (ACode << 6) | (Byte(I) & 0x3Fu);
    }
    return Length;
}

void AppendUtf8(std::string& AText, char32_t ACode) {
    if (ACode < 0x80) {
        AText += static_cast<char>(ACode);
    } else if (ACode < 0x800) {
        AText += static_cast<char>(0xC0 | (ACode >> 6));
        AText += static_cast<char>(0x80 | (ACode & 0x3F));
    } else if (ACode < 0x10000) {
        AText += static_cast<char>(0xE0 | (ACode >> 12));
        AText += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
        AText += static_cast<char>(0x80 | (ACode & 0x3F));
    } else {
        AText += static_cast<char>(0xF0 | (ACode >> 18));
        AText += static_cast<char>(0x80 | ((ACode >> 12) & 0x3F));
        AText += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
        AText += static_cast<char>(0x80 | (ACode & 0x3F));
    }
}

bool IsValidUtf8(std::string_view AText) {
    for (std::size_t I = 0; I < AText.size();) {
        char32_t Code = 0;
        const std::size_t Length = DecodeUtf8(AText, I, Code);
        if (Length == 0)
            return false;
        I += Length;
    }
    return true;
}

std::string Utf16ToUtf8(const char16_t* AText, std::size_t ALength) {
    const auto High = [](char32_t AUnit) { return AUnit >= 0xD800 && AUnit < 0xDC00; };
    const auto Low = [](char32_t AUnit) { return AUnit >= 0xDC00 && AUnit < 0xE000; };
    std::string Result;
    Result.reserve(ALength);
    for (std::size_t I = 0; I < ALength; ++I) {
        const char32_t Unit = AText[I];
        if (High(Unit) && I + 1 < ALength && Low(AText[I + 1])) {
            AppendUtf8(Result, 0x10000 + ((Unit - 0xD800) << 10) + (AText[I + 1] - 0xDC00u));
            ++I;
        } else if (High(Unit) || Low(Unit)) {
            AppendUtf8(Result, 0xFFFD);
        } else {
            AppendUtf8(Result, Unit);
        }
    }
    return Result;
}
