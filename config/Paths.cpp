#include "Paths.h"

namespace {

bool IsDelimiter(char AChar, const TPathStyle& AStyle) {
    return AChar == AStyle.Separator ||
           (AStyle.DriveDelimiter != '\0' && AChar == AStyle.DriveDelimiter);
}

} // namespace

std::string ExtractFilePath(const std::string& APath, const TPathStyle& AStyle) {
    for (std::size_t I = APath.size(); I > 0; --I)
        if (IsDelimiter(APath[I - 1], AStyle))
            return APath.substr(0, I);
    return {};
}

std::string ExtractFileDir(const std::string& APath, const TPathStyle& AStyle) {
    std::string Result = ExtractFilePath(APath, AStyle);
    const std::size_t Size = Result.size();
    // The separator stays when it is the root: first character, or after C: or another one.
    if (Size > 1 && Result.back() == AStyle.Separator && !IsDelimiter(Result[Size - 2], AStyle))
        Result.pop_back();
    return Result;
}

std::string GetParentPath(const std::string& APath, const TPathStyle& AStyle) {
    std::string Folder = ExtractFilePath(APath, AStyle);
    if (!Folder.empty() && Folder.back() == AStyle.Separator)
        Folder.pop_back();
    return ExtractFilePath(Folder, AStyle);
}

std::string GetUpperPath(const std::string& AFileName, int ALevels, const TPathStyle& AStyle) {
    std::string Folder = ExtractFilePath(AFileName, AStyle);
    if (ALevels <= 0)
        return Folder;
    // Climbing drops everything up to the last separator; with none left the climb has reached
    // the drive (or the root) and stays there.
    std::string Dir = ExtractFileDir(Folder, AStyle);
    for (int Level = 0; Level < ALevels; ++Level) {
        const std::size_t Last = Dir.rfind(AStyle.Separator);
        if (Last == std::string::npos)
            break;
        Dir.erase(Last);
    }
    return Dir + AStyle.Separator;
}

std::string MergeBackslashPairs(const std::string& APath, const TPathStyle& AStyle) {
    if (AStyle.Separator != '\\')
        return APath;
    std::string Result;
    Result.reserve(APath.size());
    std::size_t I = 0;
    if (APath.compare(0, 2, "\\\\") == 0) {
        Result = "\\\\";
        I = 2;
    }
    while (I < APath.size()) {
        Result += APath[I];
        I += (APath[I] == '\\' && I + 1 < APath.size() && APath[I + 1] == '\\') ? 2 : 1;
    }
    return Result;
}

std::string LexicalFolderPath(const std::string& APath) {
    if (APath.empty())
        return {};
    const bool Absolute = APath.front() == '/';
    std::string Result = Absolute ? "/" : "";
    std::size_t At = 0;
    while (At < APath.size()) {
        std::size_t End = APath.find('/', At);
        if (End == std::string::npos)
            End = APath.size();
        const std::size_t Length = End - At;
        if (Length > 0 && !(Length == 1 && APath[At] == '.')) {
            if (!Result.empty() && Result.back() != '/')
                Result += '/';
            Result.append(APath, At, Length);
        }
        At = End + 1;
    }
    // Nothing but "." names: the current folder.
    return Result.empty() ? "." : Result;
}
