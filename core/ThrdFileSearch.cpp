#include "ThrdFileSearch.h"

#include "ThreadEnd.h"
#include "Utf8.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemReason(int AError) { return QString::fromLocal8Bit(std::strerror(AError)); }

// The event that hands the walk to the thread the worker object belongs to.
QEvent::Type WalkEventType() {
    static const auto Type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return Type;
}

// How often a worker whose walk has not started yet looks for a termination request: a window
// closed before the walk's event was delivered leaves that event undelivered for good.
constexpr std::chrono::milliseconds AbandonPoll{20};

} // namespace

std::string EscapePath(std::string_view ABytes) {
    const auto IsHex = [](char AChar) { return std::isxdigit(static_cast<unsigned char>(AChar)) != 0; };
    std::string Result;
    Result.reserve(ABytes.size());
    for (std::size_t I = 0; I < ABytes.size();) {
        const auto Byte = static_cast<unsigned char>(ABytes[I]);
        char32_t Code = 0;
        const std::size_t Length = DecodeUtf8(ABytes, I, Code);
        const bool Control = Byte < 0x20 || Byte == 0x7F;
        const bool ReadsAsEscape = Byte == '\\' && I + 3 < ABytes.size() && ABytes[I + 1] == 'x' &&
                                   IsHex(ABytes[I + 2]) && IsHex(ABytes[I + 3]);
        if (Length == 0 || Control || ReadsAsEscape) {
            static constexpr char Digits[] = "0123456789ABCDEF";
            Result += "\\x";
            Result += Digits[Byte >> 4];
            Result += Digits[Byte & 0xF];
            ++I;
        } else {
            Result.append(ABytes.substr(I, Length));
            I += Length;
        }
    }
    return Result;
}

std::string UnescapePath(std::string_view AText) {
    const auto IsHex = [](char AChar) { return std::isxdigit(static_cast<unsigned char>(AChar)) != 0; };
    const auto Value = [](char AChar) {
        return AChar <= '9' ? AChar - '0' : (AChar | 0x20) - 'a' + 10;
    };
    std::string Bytes;
    Bytes.reserve(AText.size());
    for (std::size_t I = 0; I < AText.size(); ++I) {
        if (AText[I] == '\\' && I + 3 < AText.size() && AText[I + 1] == 'x' && IsHex(AText[I + 2]) &&
            IsHex(AText[I + 3])) {
            Bytes += static_cast<char>(Value(AText[I + 2]) * 16 + Value(AText[I + 3]));
            I += 3;
        } else {
            Bytes += AText[I];
        }
    }
    return Bytes;
}

std::string CollectedFilePath(const std::string& ARoot, const std::string& ARelative,
                              const TPathStyle& AStyle) {
    std::string Path = AStyle.Separator == '/' ? LexicalFolderPath(ARoot) : ARoot;
    if (Path.empty() || Path.back() != AStyle.Separator)
        Path += AStyle.Separator;
    Path += ARelative;
    return MergeBackslashPairs(Path, AStyle);
}

TFileSearchThrd::TFileSearchThrd(bool CreateSuspended, TWindowHandle AOwnerHandle,
                                 const QString& ASearchPath, const QString& ASuffixs,
                                 TStringListRef AFiles)
    : FOwnerHandle(AOwnerHandle), FSearchPath(ASearchPath),
      FFiles(AFiles ? std::move(AFiles) : std::make_shared<QStringList>()), FFilter(ASuffixs) {
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    if (!CreateSuspended)
        start();
}

TFileSearchThrd::~TFileSearchThrd() { FEnd->Pass(); }

void TFileSearchThrd::run() {
    // The walk belongs to the UI thread (it processes the window's events); this thread waits.
    // The event is made and read under FWalkLock: Qt's own queue orders the two as well, but
    // the thread sanitizer cannot see Qt's locks.
    const TThreadBodyEnd BodyEnd;
    const TWorkerEnd::TMark Mark(*FEnd);
    if (QCoreApplication::instance() == nullptr)
        return;
    std::unique_lock Guard(FWalkLock);
    FWalkState = TWalkState::Posted;
    QCoreApplication::postEvent(this, new QEvent(WalkEventType()));
    while (!FWalkEnded.wait_for(Guard, AbandonPoll, [this] { return FWalkState == TWalkState::Ended; })) {
        if (FWalkState == TWalkState::Posted && isInterruptionRequested()) {
            // Stopped before the walk began: the UI thread may be gone from its event loop.
            FWalkState = TWalkState::Abandoned;
            return;
        }
    }
}

bool TFileSearchThrd::event(QEvent* AEvent) {
    {
        std::unique_lock Guard(FWalkLock);
        if (AEvent->type() != WalkEventType()) {
            Guard.unlock(); // the event may be this object's deletion
            return QThread::event(AEvent);
        }
        if (FWalkState != TWalkState::Posted)
            return true;
        FWalkState = TWalkState::Walking;
    }
    SearchFiles();
    {
        std::lock_guard Guard(FWalkLock);
        FWalkState = TWalkState::Ended;
    }
    FWalkEnded.notify_all();
    return true;
}

void TFileSearchThrd::SendStatus(TWorkerStatus AStatus) { SendWorkerStatus(FOwnerHandle, 0, AStatus); }

void TFileSearchThrd::EntryDone() {
    SendMessageW(FOwnerHandle, WM_WIZ_PROGRESS, static_cast<TWParam>(FDidCount), 0);
    // Every message is delivered, but the UI's events are processed at screen rate: one pass
    // polls the system (a syscall that would dominate the walk) and repaints whatever the
    // messages changed, so doing it per entry would make the search several times slower.
    const auto Now = std::chrono::steady_clock::now();
    if (Now - FLastEvents >= FEventSlice)
        ProcessEvents();
}

void TFileSearchThrd::ProcessEvents() {
    QCoreApplication::processEvents();
    FLastEvents = std::chrono::steady_clock::now();
}

void TFileSearchThrd::Record(std::string_view APath, const QString& AReason) {
    const std::string Shown = EscapePath(APath);
    FReport->NotCollected.push_back(
        TNotCollected{QString::fromUtf8(Shown.data(), static_cast<qsizetype>(Shown.size())), AReason});
}

void TFileSearchThrd::SearchFiles() {
    // FFiles is this worker's own reference: a window closing inside the event processing
    // below drops only its reference, and the list lives until the worker is gone.
    SendStatus(TWorkerStatus::Initializing);
    ProcessEvents();
    FDidCount = 0;
    FFiles->clear();
    *FReport = TFileSearchReport{};
    SendStatus(TWorkerStatus::Searching);
    ProcessEvents();
    SearchDir(FSearchPath);
    FReport->Seen = FDidCount;
    FReport->Interrupted = isInterruptionRequested();
    SendStatus(TWorkerStatus::SearchDone);
}

int TFileSearchThrd::SearchDir(const QString& Path) {
    if (isInterruptionRequested())
        return 0;
    FWalked.clear();
    const QByteArray Encoded = QFile::encodeName(Path);
    // The same folder typed another way ("Songs/", "./Songs/.") gives the same paths.
    std::string Folder = LexicalFolderPath(std::string(Encoded.constData(), static_cast<std::size_t>(Encoded.size())));
    // An empty path names no folder (not the root of everything): the open below refuses it.
    const int Fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0) {
        Record(Folder, SystemReason(errno));
        return 0;
    }
    int Count = WalkFolder(Fd, Folder);
    // The folders reached through links, round by round (links found in a round's folders
    // wait for the next), each round in byte order: which of two ways to a folder is walked
    // depends on the tree, never on the order the folders list their entries in.
    while (!FThroughLinks.empty() && !isInterruptionRequested()) {
        std::vector<std::string> Round;
        Round.swap(FThroughLinks);
        std::sort(Round.begin(), Round.end());
        for (std::string& Link : Round) {
            if (isInterruptionRequested())
                break;
            const int LinkFd = open(Link.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (LinkFd < 0)
                Record(Link, SystemReason(errno));
            else
                Count += WalkFolder(LinkFd, Link);
        }
    }
    // The walk's record is for this walk only; a big tree's would otherwise stay with the worker.
    FWalked = {};
    FThroughLinks = {};
    return Count;
}

TFileSearchThrd::TEntryKind TFileSearchThrd::KindOf(DIR* ADir, const dirent* AEntry) {
    TEntryKind Kind{AEntry->d_type == DT_DIR, AEntry->d_type == DT_REG, AEntry->d_type == DT_LNK};
    if (AEntry->d_type == DT_UNKNOWN) {
        struct stat Own {};
        if (fstatat(dirfd(ADir), AEntry->d_name, &Own, AT_SYMLINK_NOFOLLOW) == 0) {
            Kind.Link = S_ISLNK(Own.st_mode);
            Kind.Folder = S_ISDIR(Own.st_mode);
            Kind.Regular = S_ISREG(Own.st_mode);
        } else {
            Kind.Regular = true; // gone since: a file, as below
        }
    }
    if (Kind.Link) {
        struct stat Target {};
        if (fstatat(dirfd(ADir), AEntry->d_name, &Target, 0) == 0) {
            Kind.Folder = S_ISDIR(Target.st_mode);
            Kind.Regular = S_ISREG(Target.st_mode);
        } else {
            // A broken link (or an entry gone since) names a file, as it always did.
            Kind.Regular = true;
        }
    }
    return Kind;
}

DIR* TFileSearchThrd::EnterFolder(int ADirFd, const std::string& APath) {
    struct stat Info {};
    if (fstat(ADirFd, &Info) != 0) {
        Record(APath, SystemReason(errno));
        close(ADirFd);
        return nullptr;
    }
    // A folder entered before in this walk is reached again through a link: a link back up
    // would never end, and several links to one folder multiply (links to links to links: each
    // level more). Its files are collected where it was first entered.
    const auto [Walked, IsNew] = FWalked.try_emplace(TFolderId{Info.st_dev, Info.st_ino}, APath);
    if (!IsNew) {
        Record(APath, QStringLiteral("already walked as ") + QString::fromUtf8(EscapePath(Walked->second).c_str()));
        close(ADirFd);
        return nullptr;
    }
    DIR* Dir = fdopendir(ADirFd);
    if (Dir == nullptr) {
        Record(APath, SystemReason(errno));
        close(ADirFd);
    }
    return Dir;
}

int TFileSearchThrd::WalkFolder(int ADirFd, std::string& APath) {
    const std::size_t FolderSize = APath.size();
    DIR* Dir = EnterFolder(ADirFd, APath);
    if (Dir == nullptr)
        return 0;
    if (APath.empty() || APath.back() != '/')
        APath += '/';
    const std::size_t Base = APath.size();

    int Count = 0;
    // The enumeration the wizard was designed for lists "." and ".." first; readdir may list
    // them anywhere, so they are reported here, in no count, and skipped below.
    for (int Dot = 0; Dot < 2 && !isInterruptionRequested(); ++Dot)
        EntryDone();
    while (!isInterruptionRequested()) {
        errno = 0;
        const dirent* Entry = readdir(Dir);
        if (Entry == nullptr) {
            if (errno != 0)
                Record(std::string_view(APath).substr(0, FolderSize), SystemReason(errno));
            break;
        }
        const char* Name = Entry->d_name;
        if (Name[0] == '.' && (Name[1] == '\0' || (Name[1] == '.' && Name[2] == '\0')))
            continue;
        APath.resize(Base);
        APath.append(Name);
        Count += WalkEntry(Dir, Name, KindOf(Dir, Entry), APath);
        EntryDone();
    }

    closedir(Dir);
    APath.resize(FolderSize);
    return Count;
}

int TFileSearchThrd::WalkEntry(DIR* ADir, const char* AName, const TEntryKind& AKind, std::string& APath) {
    const std::string_view NameView(AName);
    if (!IsValidUtf8(NameView)) {
        // As text the name would stand for another file; it is shown, not collected.
        if (AKind.Folder) {
            Record(APath, QStringLiteral("folder name is not valid UTF-8; not searched"));
            return 0;
        }
        ++FDidCount;
        Record(APath, QStringLiteral("file name is not valid UTF-8"));
        return 1;
    }
    if (AKind.Folder && AKind.Link) {
        // Walked once every folder reached without a link has been (SearchDir).
        FThroughLinks.push_back(APath);
        return 0;
    }
    if (AKind.Folder) {
        const int SubFd = openat(dirfd(ADir), AName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (SubFd >= 0)
            return WalkFolder(SubFd, APath);
        Record(APath, SystemReason(errno));
        return 0;
    }
    ++FDidCount;
    if (FFilter.Accepts(NameView)) {
        // A pipe, socket or device is no song: reading it would block or never end.
        if (AKind.Regular)
            FFiles->append(QString::fromUtf8(APath.data(), static_cast<qsizetype>(APath.size())));
        else
            Record(APath, QStringLiteral("not a regular file"));
    }
    return 1;
}
