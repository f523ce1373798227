#include "IniFile.h"

#include "TextRules.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";
// Names and values lose the profile blanks at both ends, on reading as on writing.
std::string_view Trim(std::string_view AText) { return TrimProfileBlanks(AText); }

// At most AMax characters of UTF-8 text, never splitting a character.
std::string_view CutCharacters(std::string_view AText, std::size_t AMax) {
    std::size_t Count = 0;
    for (std::size_t I = 0; I < AText.size(); ++I) {
        const bool StartsCharacter = (static_cast<unsigned char>(AText[I]) & 0xC0) != 0x80;
        if (StartsCharacter && Count++ == AMax)
            return AText.substr(0, I);
    }
    return AText;
}

std::string SystemMessage(int AError) {
    return std::strerror(AError);
}

// One line of the file: its text and its own line end ("\r\n", "\n" or "" for the last).
struct TLine {
    std::string Text;
    std::string Ending;
};

enum class TLineKind { Other, Section, Key };

struct TLineInfo {
    TLineKind Kind = TLineKind::Other;
    std::string_view Name;
    std::string_view Value;
    std::size_t Equals = 0; // position of '=' in the line, for keys
};

// Blank lines and ';' comments are neither sections nor keys.
TLineInfo ParseLine(std::string_view AText) {
    TLineInfo Info;
    const std::string_view Text = Trim(AText);
    if (Text.empty() || Text.front() == ';')
        return Info;
    if (Text.front() == '[') {
        const std::size_t Close = Text.rfind(']');
        if (Close != std::string_view::npos) {
            Info.Kind = TLineKind::Section;
            Info.Name = Trim(Text.substr(1, Close - 1));
        }
        return Info;
    }
    const std::size_t Equals = AText.find('=');
    if (Equals == std::string_view::npos)
        return Info;
    Info.Kind = TLineKind::Key;
    Info.Name = Trim(AText.substr(0, Equals));
    Info.Value = Trim(AText.substr(Equals + 1));
    Info.Equals = Equals;
    return Info;
}

struct TProfile {
    bool HasBom = false;
    std::vector<TLine> Lines;

    explicit TProfile(std::string_view AContent) {
        if (AContent.starts_with(Utf8Bom)) {
            HasBom = true;
            AContent.remove_prefix(Utf8Bom.size());
        }
        while (!AContent.empty()) {
            const std::size_t End = AContent.find('\n');
            if (End == std::string_view::npos) {
                Lines.push_back({std::string(AContent), ""});
                break;
            }
            const bool Crlf = End > 0 && AContent[End - 1] == '\r';
            const std::size_t TextEnd = Crlf ? End - 1 : End;
            Lines.push_back({std::string(AContent.substr(0, TextEnd)), Crlf ? "\r\n" : "\n"});
            AContent.remove_prefix(End + 1);
        }
    }

    std::string Text() const {
        std::string Result(HasBom ? Utf8Bom : std::string_view());
        for (const TLine& Line : Lines)
            Result += Line.Text + Line.Ending;
        return Result;
    }

    // The line end new lines get: the file's first one, "\n" for a file without any.
    std::string NewLine() const {
        for (const TLine& Line : Lines)
            if (!Line.Ending.empty())
                return Line.Ending;
        return "\n";
    }

    // Index of the first section line of that name.
    std::optional<std::size_t> FindSection(std::string_view ASection) const {
        for (std::size_t I = 0; I < Lines.size(); ++I) {
            const TLineInfo Info = ParseLine(Lines[I].Text);
            if (Info.Kind == TLineKind::Section && SameText(Info.Name, ASection))
                return I;
        }
        return std::nullopt;
    }

    // One past the last line of the section that starts at ASection.
    std::size_t SectionEnd(std::size_t ASection) const {
        std::size_t I = ASection + 1;
        while (I < Lines.size() && ParseLine(Lines[I].Text).Kind != TLineKind::Section)
            ++I;
        return I;
    }

    std::optional<std::size_t> FindKey(std::size_t ASection, std::string_view AKey) const {
        const std::size_t End = SectionEnd(ASection);
        for (std::size_t I = ASection + 1; I < End; ++I) {
            const TLineInfo Info = ParseLine(Lines[I].Text);
            if (Info.Kind == TLineKind::Key && SameText(Info.Name, AKey))
                return I;
        }
        return std::nullopt;
    }

    // Inserts a line before AIndex, giving the line above a line end when it had none.
    void InsertLine(std::size_t AIndex, std::string AText) {
        const std::string Ending = NewLine();
        if (AIndex > 0 && Lines[AIndex - 1].Ending.empty())
            Lines[AIndex - 1].Ending = Ending;
        Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(AIndex),
                     {std::move(AText), Ending});
    }

    void SetValue(std::string_view ASection, std::string_view AKey, std::string_view AValue) {
        const std::optional<std::size_t> Section = FindSection(ASection);
        if (!Section) {
            if (!Lines.empty() && !Trim(Lines.back().Text).empty())
                InsertLine(Lines.size(), "");
            // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "[" + s + "]".
            std::string Header = "[";
            Header.append(ASection).append("]");
            InsertLine(Lines.size(), std::move(Header));
            InsertLine(Lines.size(), std::string(AKey) + "=" + std::string(AValue));
            return;
        }
        if (const std::optional<std::size_t> Key = FindKey(*Section, AKey)) {
            // The name keeps its spelling and spacing; only the value changes.
            std::string& Text = Lines[*Key].Text;
            Text = Text.substr(0, ParseLine(Text).Equals + 1) + std::string(AValue);
            return;
        }
        // After the last key of the section, so that blank lines and comments leading into
        // the next section stay with it.
        std::size_t After = *Section;
        for (std::size_t I = *Section + 1; I < SectionEnd(*Section); ++I)
            if (ParseLine(Lines[I].Text).Kind == TLineKind::Key)
                After = I;
        InsertLine(After + 1, std::string(AKey) + "=" + std::string(AValue));
    }
};

// Closes a descriptor on every way out.
struct TFileHandle {
    int Fd = -1;
    explicit TFileHandle(int AFd) : Fd(AFd) {}
    ~TFileHandle() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;
    int Release() { return std::exchange(Fd, -1); }
};

enum class TReadResult { Read, Missing, Failed };

// The whole file; on failure AError holds the errno value.
TReadResult ReadWholeFile(const std::string& AFileName, std::string& AContent, int& AError) {
    AContent.clear();
    TFileHandle File(::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (File.Fd < 0) {
        AError = errno;
        return AError == ENOENT ? TReadResult::Missing : TReadResult::Failed;
    }
    struct stat Info {};
    if (::fstat(File.Fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        AError = S_ISDIR(Info.st_mode) ? EISDIR : EINVAL;
        return TReadResult::Failed;
    }
    char Buffer[65536];
    for (;;) {
        const ssize_t Count = ::read(File.Fd, Buffer, sizeof Buffer);
        if (Count == 0)
            return TReadResult::Read;
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            AError = errno;
            return TReadResult::Failed;
        }
        AContent.append(Buffer, static_cast<std::size_t>(Count));
    }
}

[[noreturn]] void ThrowWriteError(const std::string& AFileName, int AError) {
    throw TIniError("Cannot write the profile file " + Quoted(AFileName) + ": " +
                    SystemMessage(AError));
}

// Writes the new content beside the file and renames it over the file, so that readers see
// the old file or the new one, never a part of either.
void ReplaceFile(const std::string& AFileName, const std::string& AContent) {
    // Through a symbolic link the target is replaced, not the link.
    std::string Target = AFileName;
    if (char* Resolved = ::realpath(AFileName.c_str(), nullptr)) {
        Target = Resolved;
        std::free(Resolved);
    }

    struct stat Old {};
    const bool Exists = ::stat(Target.c_str(), &Old) == 0;
    // Renaming would get round a read-only file; the profile functions refuse to write it.
    if (Exists && ::access(Target.c_str(), W_OK) != 0)
        ThrowWriteError(AFileName, errno);

    static std::atomic<unsigned> Counter{0};
    std::string Temp;
    int Fd = -1;
    for (int Attempt = 0; Fd < 0 && Attempt < 100; ++Attempt) {
        Temp = Target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(Counter++);
        Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (Fd < 0 && errno != EEXIST)
            break;
    }
    if (Fd < 0)
        ThrowWriteError(AFileName, errno);
    TFileHandle File(Fd);

    const auto Fail = [&](int AError) {
        ::close(File.Release());
        ::unlink(Temp.c_str());
        ThrowWriteError(AFileName, AError);
    };
    if (Exists && ::fchmod(File.Fd, Old.st_mode & 07777) != 0)
        Fail(errno);
    std::size_t Done = 0;
    while (Done < AContent.size()) {
        const ssize_t Count = ::write(File.Fd, AContent.data() + Done, AContent.size() - Done);
        if (Count < 0) {
            if (errno == EINTR)
                continue;
            Fail(errno);
        }
        Done += static_cast<std::size_t>(Count);
    }
    if (::fsync(File.Fd) != 0)
        Fail(errno);
    if (::close(File.Release()) != 0) {
        const int Error = errno;
        ::unlink(Temp.c_str());
        ThrowWriteError(AFileName, Error);
    }
    if (::rename(Temp.c_str(), Target.c_str()) != 0) {
        const int Error = errno;
        ::unlink(Temp.c_str());
        ThrowWriteError(AFileName, Error);
    }
}

bool FitsOnOneLine(std::string_view AText) {
    return AText.find_first_of("\r\n") == std::string_view::npos;
}

void CheckNames(const std::string& AFileName, std::string_view ASection, std::string_view AKey,
                std::string_view AValue) {
    const std::string_view Key = Trim(AKey);
    const bool Valid = FitsOnOneLine(ASection) && FitsOnOneLine(AKey) && FitsOnOneLine(AValue) &&
                       !Trim(ASection).empty() && ASection.find(']') == std::string_view::npos &&
                       !Key.empty() && Key.find('=') == std::string_view::npos &&
                       Key.front() != '[' && Key.front() != ';';
    if (!Valid)
        throw TIniError("Cannot write the profile file " + Quoted(AFileName) +
                        ": the section, key or value cannot be stored in a profile line");
}

} // namespace

std::int32_t ProfileStringToInt(std::string_view AText, std::int32_t ADefault) {
    std::string_view Text = Trim(AText);
    const bool Hex = Text.size() > 2 && Text[0] == '0' && (Text[1] == 'x' || Text[1] == 'X');
    bool Negative = false;
    if (Hex) {
        Text.remove_prefix(2);
    } else if (!Text.empty() && (Text.front() == '-' || Text.front() == '+')) {
        Negative = Text.front() == '-';
        Text.remove_prefix(1);
    }
    if (Text.empty())
        return ADefault;
    const std::uint64_t Base = Hex ? 16 : 10;
    const std::uint64_t Limit = Hex ? 0xFFFFFFFFu : (Negative ? 0x80000000u : 0x7FFFFFFFu);
    std::uint64_t Value = 0;
    for (const char Char : Text) {
        unsigned Digit;
        if (Char >= '0' && Char <= '9')
            Digit = static_cast<unsigned>(Char - '0');
        else if (Hex && LowerAscii(Char) >= 'a' && LowerAscii(Char) <= 'f')
            Digit = static_cast<unsigned>(LowerAscii(Char) - 'a' + 10);
        else
            return ADefault;
        Value = Value * Base + Digit;
        if (Value > Limit)
            return ADefault;
    }
    if (Negative)
        return static_cast<std::int32_t>(-static_cast<std::int64_t>(Value));
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(Value));
}

std::optional<std::string> TIniFile::ReadValue(std::string_view ASection, std::string_view AKey) const {
    std::string Content;
    int Error = 0;
    if (ReadWholeFile(FFileName, Content, Error) != TReadResult::Read)
        return std::nullopt;
    const TProfile Profile(Content);
    const std::optional<std::size_t> Section = Profile.FindSection(Trim(ASection));
    const std::optional<std::size_t> Key =
        Section ? Profile.FindKey(*Section, Trim(AKey)) : std::nullopt;
    if (!Key)
        return std::nullopt;
    std::string_view Value = ParseLine(Profile.Lines[*Key].Text).Value;
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
        Value.back() == Value.front())
        Value = Value.substr(1, Value.size() - 2);
    return std::string(CutCharacters(Value, MaxValueLength));
}

std::string TIniFile::ReadString(std::string_view ASection, std::string_view AKey,
                                 std::string_view ADefault) const {
    if (std::optional<std::string> Value = ReadValue(ASection, AKey))
        return std::move(*Value);
    return std::string(CutCharacters(ADefault, MaxValueLength));
}

std::int32_t TIniFile::ReadInteger(std::string_view ASection, std::string_view AKey,
                                   std::int32_t ADefault) const {
    return ProfileStringToInt(ReadString(ASection, AKey, ""), ADefault);
}

bool TIniFile::ReadBool(std::string_view ASection, std::string_view AKey, bool ADefault) const {
    return ReadInteger(ASection, AKey, ADefault ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view ASection, std::string_view AKey,
                           std::string_view AValue) {
    CheckNames(FFileName, ASection, AKey, AValue);
    std::string Content;
    int Error = 0;
    // An existing file that cannot be read is left alone rather than replaced by one key.
    if (ReadWholeFile(FFileName, Content, Error) == TReadResult::Failed)
        throw TIniError("Cannot update the profile file " + Quoted(FFileName) +
                        ": it cannot be read: " + SystemMessage(Error));
    TProfile Profile(Content);
    Profile.SetValue(Trim(ASection), Trim(AKey), AValue);
    // A text file ends with a line end; an editor or a tool reading lines may drop a last
    // line without one.
    if (!Profile.Lines.empty() && Profile.Lines.back().Ending.empty())
        Profile.Lines.back().Ending = Profile.NewLine();
    ReplaceFile(FFileName, Profile.Text());
}

void TIniFile::WriteInteger(std::string_view ASection, std::string_view AKey, std::int32_t AValue) {
    WriteString(ASection, AKey, std::to_string(AValue));
}

void TIniFile::WriteBool(std::string_view ASection, std::string_view AKey, bool AValue) {
    WriteString(ASection, AKey, AValue ? "1" : "0");
}
