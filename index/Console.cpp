#include "Console.h"

#include "Indexer.h"

#include <algorithm>
#include <cstdio>

std::string OneLine(std::string AText) {
    std::replace_if(AText.begin(), AText.end(), [](char C) { return C == '\n' || C == '\r'; }, ' ');
    return AText;
}

std::string Quoted(const QString& AText) {
    std::string Result(1, '"');
    Result += AText.toStdString();
    Result += '"';
    return Result;
}

void Say(const std::string& AText) {
    std::fprintf(stderr, "%s: %s\n", ProgramName, AText.c_str());
    std::fflush(stderr);
}

int Refuse(const std::string& AText) {
    std::fprintf(stderr, "%s: %s\n", ProgramName, OneLine(AText).c_str());
    return IndexExitRefused;
}
