#include "ThrdFileSearch.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Length of the valid UTF-8 sequence at AAt, 0 when the bytes there are not one (overlong
// forms, surrogates and code points above U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view ABytes, std::size_t AAt) {
    const auto Byte = [&](std::size_t AIndex) { return static_cast<unsigned char>(ABytes[AIndex]); };
    const unsigned char Lead = Byte(AAt);
    if (Lead < 0x80)
        return 1;
    std::size_t Length = 0;
    unsigned char Low = 0x80;
    unsigned char High = 0xBF;
    if (Lead >= 0xC2 && Lead <= 0xDF) {
        Length = 2;
    } else if (Lead >= 0xE0 && Lead <= 0xEF) {
        Length = 3;
        if (Lead == 0xE0)
            Low = 0xA0;
        else if (Lead == 0xED)
            High = 0x9F;
    } else if (Lead >= 0xF0 && Lead <= 0xF4) {
        Length = 4;
        if (Lead == 0xF0)
            Low = 0x90;
        else if (Lead == 0xF4)
            High = 0x8F;
    } else {
        return 0;
    }
    if (AAt + Length > ABytes.size() || Byte(AAt + 1) < Low || Byte(AAt + 1) > High)
        return 0;
    for (std::size_t I = 2; I < Length; ++I)
        if ((Byte(AAt + I) & 0xC0) != 0x80)
            return 0;
    return Length;
}

QString SystemReason(int AError) { return QString::fromLocal8Bit(std::strerror(AError)); }

} // namespace

bool IsValidUtf8(std::string_view ABytes) {
    for (std::size_t I = 0; I < ABytes.size();) {
        const std::size_t Length = Utf8SequenceLength(ABytes, I);
        if (Length == 0)
            return false;
        I += Length;
    }
    return true;
}

QString EscapeInvalidUtf8(std::string_view ABytes) {
    QString Result;
    for (std::size_t I = 0; I < ABytes.size();) {
        const std::size_t Length = Utf8SequenceLength(ABytes, I);
        if (Length == 0) {
            const auto Byte = static_cast<unsigned char>(ABytes[I]);
            Result += QLatin1String("\\x") + QString::number(Byte, 16).rightJustified(2, u'0').toUpper();
            ++I;
        } else {
            Result += QString::fromUtf8(ABytes.data() + I, static_cast<qsizetype>(Length));
            I += Length;
        }
    }
    return Result;
}

std::string CollectedFilePath(const std::string& ARoot, const std::string& ARelative,
                              const TPathStyle& AStyle) {
    std::string Path = ARoot;
    if (Path.empty() || Path.back() != AStyle.Separator)
        Path += AStyle.Separator;
    Path += ARelative;
    return MergeBackslashPairs(Path, AStyle);
}

TFileSearchThrd::TFileSearchThrd(bool CreateSuspended, TWindowHandle AOwnerHandle,
                                 const QString& ASearchPath, const QString& ASuffixs,
                                 TStringListRef AFiles)
    : FOwnerHandle(AOwnerHandle), FSearchPath(ASearchPath), FSuffixs(ASuffixs),
      FFiles(AFiles ? std::move(AFiles) : std::make_shared<QStringList>()), FFilter(ASuffixs) {
    connect(this, &QThread::finished, this, &QObject::deleteLater);
    if (!CreateSuspended)
        start();
}

TFileSearchThrd::~TFileSearchThrd() = default;

void TFileSearchThrd::run() {
    // The walk belongs to the UI thread (it processes the window's events); this thread waits.
    if (QCoreApplication* App = QCoreApplication::instance())
        QMetaObject::invokeMethod(App, [this] { SearchFiles(); }, Qt::BlockingQueuedConnection);
}

void TFileSearchThrd::SendStatus(const QString& AText) {
    SendMessageW(FOwnerHandle, WM_WIZ_STATUS, 0, reinterpret_cast<TLParam>(AText.utf16()));
}

void TFileSearchThrd::EntryDone() {
    SendMessageW(FOwnerHandle, WM_WIZ_PROGRESS, static_cast<TWParam>(FDidCount), 0);
    // Every message is delivered, but the UI's events are processed at screen rate: one pass
    // polls the system (a syscall that would dominate the walk) and repaints whatever the
    // messages changed, so doing it per entry would make the search several times slower.
    const auto Now = std::chrono::steady_clock::now();
    if (Now - FLastEvents >= EventSlice)
        ProcessEvents();
}

void TFileSearchThrd::ProcessEvents() {
    QCoreApplication::processEvents();
    FLastEvents = std::chrono::steady_clock::now();
}

void TFileSearchThrd::Record(std::string_view APath, const QString& AReason) {
    FNotCollected.push_back(TNotCollected{EscapeInvalidUtf8(APath), AReason});
}

void TFileSearchThrd::SearchFiles() {
    // FFiles is this worker's own reference: a window closing inside the event processing
    // below drops only its reference, and the list lives until the worker is gone.
    SendStatus(QStringLiteral("正在初始化,请稍侯..."));
    ProcessEvents();
    FDidCount = 0;
    FFiles->clear();
    FNotCollected.clear();
    SendStatus(QStringLiteral("正在搜索文件..."));
    ProcessEvents();
    SearchDir(FSearchPath);
    *FReport = TFileSearchReport{FDidCount, FNotCollected, isInterruptionRequested()};
    SendStatus(QStringLiteral("搜索文件已完成!"));
}

int TFileSearchThrd::SearchDir(const QString& Path) {
    if (isInterruptionRequested())
        return 0;
    const QByteArray Encoded = QFile::encodeName(Path);
    std::string Folder(Encoded.constData(), static_cast<std::size_t>(Encoded.size()));
    // An empty path names no folder (not the root of everything): the open below refuses it.
    if (!Folder.empty() && Folder.back() != '/')
        Folder += '/';
    const int Fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0) {
        Record(std::string_view(Encoded.constData(), static_cast<std::size_t>(Encoded.size())),
               SystemReason(errno));
        return 0;
    }
    return WalkFolder(Fd, Folder);
}

int TFileSearchThrd::WalkFolder(int ADirFd, std::string& APath) {
    const std::size_t FolderSize = APath.size();
    struct stat Info {};
    if (fstat(ADirFd, &Info) != 0) {
        Record(APath, SystemReason(errno));
        close(ADirFd);
        return 0;
    }
    // A folder already open on the way down from the root is reached again through a link:
    // walking it would never end, and its files are collected where it stands.
    for (const TFolderId& Open : FOpenFolders) {
        if (Open.Device == Info.st_dev && Open.Inode == Info.st_ino) {
            close(ADirFd);
            return 0;
        }
    }
    DIR* Dir = fdopendir(ADirFd);
    if (Dir == nullptr) {
        Record(APath, SystemReason(errno));
        close(ADirFd);
        return 0;
    }
    if (APath.empty() || APath.back() != '/')
        APath += '/';
    const std::size_t Base = APath.size();
    FOpenFolders.push_back(TFolderId{Info.st_dev, Info.st_ino});

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
        const std::string_view NameView(Name);
        APath.resize(Base);
        APath.append(NameView);

        bool IsFolder = Entry->d_type == DT_DIR;
        if (Entry->d_type == DT_LNK || Entry->d_type == DT_UNKNOWN) {
            struct stat Target {};
            IsFolder = fstatat(dirfd(Dir), Name, &Target, 0) == 0 && S_ISDIR(Target.st_mode);
        }
        if (!IsValidUtf8(NameView)) {
            // As text the name would stand for another file; it is shown, not collected.
            if (IsFolder) {
                Record(APath, QStringLiteral("folder name is not valid UTF-8; not searched"));
            } else {
                ++Count;
                ++FDidCount;
                Record(APath, QStringLiteral("file name is not valid UTF-8"));
            }
        } else if (IsFolder) {
            const int SubFd = openat(dirfd(Dir), Name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (SubFd < 0)
                Record(APath, SystemReason(errno));
            else
                Count += WalkFolder(SubFd, APath);
        } else {
            ++Count;
            ++FDidCount;
            if (FFilter.Accepts(NameView))
                FFiles->append(QString::fromUtf8(APath.data(), static_cast<qsizetype>(APath.size())));
        }
        EntryDone();
    }

    FOpenFolders.pop_back();
    closedir(Dir);
    APath.resize(FolderSize);
    return Count;
}
