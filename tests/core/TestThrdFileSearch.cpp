// The file search worker against real folders, traced through a registered window. Built
// twice: on a QCoreApplication, and with THRDFILESEARCH_GUI on a QApplication whose window is
// a shown label that repaints as the count changes.
#include "TestSupport.h"
#include "QtTestSupport.h"
#include "ThrdFileSearch.h"
#include "WinMessages.h"

#include <QDir>
#include <QPointer>
#include <QRegularExpression>
#include <QtTest>

#ifdef THRDFILESEARCH_GUI
#include <QLabel>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const QString StatusInit = QStringLiteral("正在初始化,请稍侯...");
const QString StatusSearching = QStringLiteral("正在搜索文件...");
const QString StatusDone = QStringLiteral("搜索文件已完成!");

// A message as the trace shows it: "S<wParam> <text>" or "P<wParam>/<lParam>".
QString S(const QString& AText) { return "S0 " + AText; }
QString P(TWParam ACount) { return QStringLiteral("P%1/0").arg(ACount); }

#ifdef THRDFILESEARCH_GUI
using TWindowBase = QLabel;
#else
using TWindowBase = QObject;
#endif

// Records every message it is sent (and on which thread), then runs OnMessage.
class TTraceWindow : public TWindowBase {
public:
    TTraceWindow() {
        Handle = RegisterWindow(this, [this](unsigned AMsg, TWParam AWParam, TLParam ALParam) -> TLParam {
            OffUiThread = OffUiThread || QThread::currentThread() != QCoreApplication::instance()->thread();
            QString Message;
            if (AMsg == WM_WIZ_STATUS) {
                Message = QStringLiteral("S%1 ").arg(AWParam) +
                          QString::fromUtf16(reinterpret_cast<const char16_t*>(ALParam));
            } else if (AMsg == WM_WIZ_PROGRESS) {
                Message = QStringLiteral("P%1/%2").arg(AWParam).arg(ALParam);
                ProgressValues.push_back(AWParam);
#ifdef THRDFILESEARCH_GUI
                setText(QString::number(AWParam));
#endif
            }
            Messages.append(Message);
            if (OnMessage)
                OnMessage(Message);
            return 0;
        });
#ifdef THRDFILESEARCH_GUI
        resize(200, 40);
        show();
#endif
    }

    QStringList Progress() const { return Messages.filter(QRegularExpression("^P")); }

    TWindowHandle Handle;
    QStringList Messages;
    std::vector<TWParam> ProgressValues;
    std::function<void(const QString&)> OnMessage;
    bool OffUiThread = false;
    QPointer<TFileSearchThrd> Search;
};

} // namespace

// Sets the worker's event slice (0: the UI's events after every entry).
struct TFileSearchProbe {
    static void SetEventSlice(TFileSearchThrd& ASearch, std::chrono::milliseconds ASlice) {
        ASearch.FEventSlice = ASlice;
    }
};

namespace {

struct TOutcome {
    bool Completed = false;
    int DidCount = -1;
    std::vector<TNotCollected> NotCollected;
    // Taken before the start, read after the worker is gone.
    TFileSearchReportRef Report;
};

// Runs the worker as the wizard does (created suspended, started, released by itself) and
// waits until it is gone.
TOutcome RunSearch(TTraceWindow& AWindow, const std::string& ARoot, const QString& ASuffixs,
                   TStringListRef AFiles,
                   std::chrono::milliseconds AEventSlice = TFileSearchThrd::EventSlice) {
    TOutcome Outcome;
    auto* Search = new TFileSearchThrd(true, AWindow.Handle, QString::fromStdString(ARoot), ASuffixs,
                                       std::move(AFiles));
    TFileSearchProbe::SetEventSlice(*Search, AEventSlice);
    AWindow.Search = Search;
    Outcome.Report = Search->Report();
    TWorkers Workers;
    Workers.Start(Search, Search->End(), &AWindow, [&Outcome] {
        Outcome.Completed = true;
        Outcome.DidCount = Outcome.Report->Seen;
        Outcome.NotCollected = Outcome.Report->NotCollected;
    });
    if (!QTest::qWaitFor([&AWindow] { return AWindow.Search.isNull(); }, 30000))
        qWarning("the search did not release itself");
    return Outcome;
}

void Touch(const fs::path& AFile) { std::ofstream(AFile) << "x"; }

QStringList Sorted(QStringList AList) {
    AList.sort();
    return AList;
}

QString Q(const fs::path& APath) { return QString::fromStdString(APath.string()); }

} // namespace

class TestThrdFileSearch : public QObject {
    Q_OBJECT
private slots:
    void SuffixFilter_data();
    void SuffixFilter();
    void CollectedPath_data();
    void CollectedPath();
    void EscapedPath_data();
    void EscapedPath();
    void EmptyFolder();
    void MessageSequenceOfATreeWithASubfolder();
    void CountsSeenSkippedAndAccepted();
    void NativePathsKeepNamesAsEnumerated();
    void TerminationFromAMessageStopsEveryLevel();
    void TerminationFromAnEventDuringTheWalk();
    void CloseInsideTheFirstEventProcessing();
    void LinksToFoldersAreWalkedOnceAndCyclesEnd();
    void LinkFanOutWalksEachFolderOnce();
    void FolderReachedTwoWaysIsCollectedByTheSameWayInAnyListingOrder_data();
    void FolderReachedTwoWaysIsCollectedByTheSameWayInAnyListingOrder();
    void OnlyRegularFilesAreCollected_data();
    void OnlyRegularFilesAreCollected();
    void FolderTypedAnotherWayGivesTheSamePaths_data();
    void FolderTypedAnotherWayGivesTheSamePaths();
    void NamesThatAreNotUtf8AreRecordedNotCollected();
    void FolderThatCannotBeEnumerated_data();
    void FolderThatCannotBeEnumerated();
    void FolderVanishingDuringTheWalkAddsNothing();
    void HeadlessRunWithoutAThread();
#ifdef THRDFILESEARCH_GUI
    void RepaintsAreCoalesced();
#endif
};

void TestThrdFileSearch::SuffixFilter_data() {
    QTest::addColumn<QString>("Suffixs");
    QTest::addColumn<QStringList>("Entries");
    QTest::addColumn<QStringList>("Accepted");
    QTest::addColumn<QStringList>("Rejected");
    const QString Kelvin = QString(QChar(0x212A)); // folds to k
    QTest::addRow("two extensions, any case")
        << ".mpg;.vob" << QStringList{".mpg", ".vob"} << QStringList{"a.mpg", "B.MPG", "c.Vob"}
        << QStringList{"d.avi", "mpg", "e.mpg.txt", "noext", "f."};
    QTest::addRow("blanks and controls separate")
        << " .mpg .vob\t.dat\n" << QStringList{".mpg", ".vob", ".dat"} << QStringList{"a.DAT"}
        << QStringList{"b.avi"};
    QTest::addRow("blank after ;") << ".mpg; .vob" << QStringList{".mpg", ".vob"}
                                   << QStringList{"a.vob"} << QStringList{"noext"};
    QTest::addRow("quoted entry keeps blanks")
        << "\".m p\";.vob" << QStringList{".m p", ".vob"} << QStringList{"a.M P"} << QStringList{"a.m"};
    QTest::addRow("doubled quote inside quotes") << "\"a\"\"b\"" << QStringList{"a\"b"}
                                                 << QStringList{} << QStringList{};
    QTest::addRow("unterminated quote runs to the end")
        << "\".mpg;.vob" << QStringList{".mpg;.vob"} << QStringList{} << QStringList{"a.mpg"};
    QTest::addRow("two ; give an empty entry")
        << ".mpg;;.vob" << QStringList{".mpg", "", ".vob"} << QStringList{"noext", "a.mpg"}
        << QStringList{"dot.", "a.avi"};
    QTest::addRow("trailing ;") << ".mpg;" << QStringList{".mpg", ""} << QStringList{"noext"}
                                << QStringList{"a.avi"};
    QTest::addRow("leading ;") << ";.mpg" << QStringList{"", ".mpg"} << QStringList{"noext"}
                               << QStringList{"a.avi"};
    QTest::addRow("trailing ; then a blank") << ".mpg; " << QStringList{".mpg"} << QStringList{}
                                             << QStringList{"noext"};
    QTest::addRow("everything") << ".*" << QStringList{".*"}
                                << QStringList{"a.x", "noext", ".hidden", "b."} << QStringList{};
    QTest::addRow("everything among others") << ".mpg;\".*\"" << QStringList{".mpg", ".*"}
                                             << QStringList{"a.x"} << QStringList{};
    QTest::addRow("empty text") << "" << QStringList{} << QStringList{}
                                << QStringList{"a.mpg", "noext"};
    QTest::addRow("last dot starts the extension")
        << ".gz;.hidden" << QStringList{".gz", ".hidden"} << QStringList{"a.tar.gz", ".hidden"}
        << QStringList{"a.gz.tar"};
    QTest::addRow("Unicode case folding")
        << QString(".ÄÖ;.Σ;.") + Kelvin << QStringList{".ÄÖ", ".Σ", "." + Kelvin}
        << QStringList{"x.äö", "y.σ", "z.ς", "a.k", "b.K"} << QStringList{"x.ao", "y.s"};
}

void TestThrdFileSearch::SuffixFilter() {
    QFETCH(QString, Suffixs);
    QFETCH(QStringList, Entries);
    QFETCH(QStringList, Accepted);
    QFETCH(QStringList, Rejected);
    QCOMPARE(TSuffixFilter::Split(Suffixs), Entries);
    const TSuffixFilter Filter(Suffixs);
    for (const QString& Name : Accepted)
        QVERIFY2(Filter.Accepts(Name.toStdString()), qPrintable(Name));
    for (const QString& Name : Rejected)
        QVERIFY2(!Filter.Accepts(Name.toStdString()), qPrintable(Name));
}

void TestThrdFileSearch::CollectedPath_data() {
    QTest::addColumn<bool>("Windows");
    QTest::addColumn<QString>("Root");
    QTest::addColumn<QString>("Relative");
    QTest::addColumn<QString>("Expected");
    QTest::addRow("separator added") << true << R"(D:\Songs)" << "a.mpg" << R"(D:\Songs\a.mpg)";
    QTest::addRow("separator present") << true << R"(D:\Songs\)" << "a.mpg" << R"(D:\Songs\a.mpg)";
    QTest::addRow("drive root") << true << R"(D:\)" << R"(sub\a.mpg)" << R"(D:\sub\a.mpg)";
    QTest::addRow("pair merged") << true << R"(D:\Songs\\)" << "a.mpg" << R"(D:\Songs\a.mpg)";
    QTest::addRow("three become two") << true << R"(D:\Songs)" << R"(x\\\y)" << R"(D:\Songs\x\\y)";
    QTest::addRow("network path keeps its prefix")
        << true << R"(\\server\share)" << "a.mpg" << R"(\\server\share\a.mpg)";
    QTest::addRow("network path, pair inside")
        << true << R"(\\server\\share\)" << R"(sub\a.mpg)" << R"(\\server\share\sub\a.mpg)";
    QTest::addRow("native separator added") << false << "/songs" << "a.mpg" << "/songs/a.mpg";
    QTest::addRow("native separator present") << false << "/songs/" << "a.mpg" << "/songs/a.mpg";
    QTest::addRow("native root") << false << "/" << "a.mpg" << "/a.mpg";
    QTest::addRow("native doubled separators go") << false << "//net/share//" << "sub/a" << "/net/share/sub/a";
    QTest::addRow("native dot names go") << false << "./songs/./" << "a.mpg" << "songs/a.mpg";
    QTest::addRow("native dot parent stays") << false << "/songs/x/../" << "a.mpg" << "/songs/x/../a.mpg";
    QTest::addRow("native backslashes are name characters")
        << false << R"(/so\\ngs)" << R"(a\\b.mpg)" << R"(/so\\ngs/a\\b.mpg)";
}

void TestThrdFileSearch::CollectedPath() {
    QFETCH(bool, Windows);
    QFETCH(QString, Root);
    QFETCH(QString, Relative);
    QFETCH(QString, Expected);
    const TPathStyle& Style = Windows ? WindowsPathStyle : NativePathStyle;
    QCOMPARE(QString::fromStdString(CollectedFilePath(Root.toStdString(), Relative.toStdString(), Style)),
             Expected);
}

void TestThrdFileSearch::EscapedPath_data() {
    QTest::addColumn<QByteArray>("Bytes");
    QTest::addColumn<QString>("Shown");
    QTest::addRow("plain") << QByteArray("/songs/歌曲 1.mpg") << "/songs/歌曲 1.mpg";
    QTest::addRow("newline") << QByteArray("/s/a\nb.mpg") << R"(/s/a\x0Ab.mpg)";
    QTest::addRow("carriage return") << QByteArray("/s/a\r\n.mpg") << R"(/s/a\x0D\x0A.mpg)";
    QTest::addRow("tab, escape and delete") << QByteArray("a\tb\x1b[0m\x7f") << R"(a\x09b\x1B[0m\x7F)";
    QTest::addRow("not UTF-8") << QByteArray("bad\xff\xc0\xaf") << R"(bad\xFF\xC0\xAF)";
    QTest::addRow("lone backslashes stay") << QByteArray(R"(a\b\\c\x\xg1\x4)") << R"(a\b\\c\x\xg1\x4)";
    QTest::addRow("a backslash that reads as an escape")
        << QByteArray(R"(a\x0Ab\xffc)") << R"(a\x5Cx0Ab\x5Cxffc)";
    QTest::addRow("backslash before a newline") << QByteArray("a\\\n") << R"(a\\x0A)";
    QTest::addRow("trailing backslash") << QByteArray(R"(a\)") << R"(a\)";
}

void TestThrdFileSearch::EscapedPath() {
    QFETCH(QByteArray, Bytes);
    QFETCH(QString, Shown);
    const std::string Escaped = EscapePath(std::string_view(Bytes.constData(), static_cast<std::size_t>(Bytes.size())));
    QCOMPARE(QString::fromUtf8(Escaped.c_str()), Shown);
    QVERIFY(!QByteArray::fromStdString(Escaped).contains('\n'));
    // A reader that turns every \xNN back into its byte gets the path again.
    QByteArray Decoded;
    for (std::size_t I = 0; I < Escaped.size(); ++I) {
        bool Hex = false;
        if (Escaped[I] == '\\' && Escaped.compare(I + 1, 1, "x") == 0 && I + 3 < Escaped.size()) {
            const int Byte = QByteArray::fromStdString(Escaped.substr(I + 2, 2)).toInt(&Hex, 16);
            if (Hex) {
                Decoded += static_cast<char>(Byte);
                I += 3;
            }
        }
        if (!Hex)
            Decoded += Escaped[I];
    }
    QCOMPARE(Decoded, Bytes);
}

void TestThrdFileSearch::EmptyFolder() {
    TTempDir Dir;
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>(QStringList{"left from before"});
    const TOutcome Outcome = RunSearch(Window, Dir.Path().string(), ".*", Files);
    QVERIFY(Outcome.Completed);
    QVERIFY(Files->isEmpty());
    QCOMPARE(Outcome.DidCount, 0);
    // "." and ".." each give their progress message.
    QCOMPARE(Window.Messages, (QStringList{S(StatusInit), S(StatusSearching), P(0), P(0), S(StatusDone)}));
    QVERIFY(!Window.OffUiThread);
}

void TestThrdFileSearch::MessageSequenceOfATreeWithASubfolder() {
    TTempDir Dir;
    Touch(Dir.Path() / "f1");
    fs::create_directory(Dir.Path() / "sub");
    Touch(Dir.Path() / "sub" / "f2");
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    QVERIFY(RunSearch(Window, Dir.Path().string(), ".*", Files).Completed);

    // The order of f1 and sub is the file system's; the subfolder is walked where it stands.
    const QStringList FileFirst{S(StatusInit), S(StatusSearching), P(0), P(0), P(1),
                                          P(1), P(1), P(2), P(2), S(StatusDone)};
    const QStringList FolderFirst{S(StatusInit), S(StatusSearching), P(0), P(0), P(0),
                                            P(0), P(1), P(1), P(2), S(StatusDone)};
    if (Window.Messages != FileFirst)
        QCOMPARE(Window.Messages, FolderFirst);
    QCOMPARE(Sorted(*Files), (QStringList{Q(Dir.Path() / "f1"), Q(Dir.Path() / "sub" / "f2")}));
    QVERIFY(!Window.OffUiThread);
}

void TestThrdFileSearch::CountsSeenSkippedAndAccepted() {
    TTempDir Dir;
    const fs::path& R = Dir.Path();
    for (const char* Name : {"a.MPG", "b.vob", "c.txt", "noext", ".hidden.vob"})
        Touch(R / Name);
    QCOMPARE(mkfifo((R / "pipe.vob").c_str(), 0600), 0); // seen, but no song
    QCOMPARE(mkfifo((R / "pipe.txt").c_str(), 0600), 0); // not asked for: not listed either
    fs::create_directory(R / "sub.mpg");                 // a folder is never collected
    Touch(R / "sub.mpg" / "d.Mpg");
    Touch(R / "sub.mpg" / "e.avi");
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, R.string(), ".mpg;.vob", Files);

    QCOMPARE(Outcome.DidCount, 9);
    QCOMPARE(Sorted(*Files), Sorted({Q(R / "a.MPG"), Q(R / "b.vob"), Q(R / ".hidden.vob"),
                                     Q(R / "sub.mpg" / "d.Mpg")}));
    const QStringList Progress = Window.Progress();
    // Root: "." , ".." and 8 entries; the subfolder: ".", ".." and 2 files.
    QCOMPARE(Progress.size(), qsizetype(14));
    QCOMPARE(Progress.back(), P(9));
    QVERIFY(std::is_sorted(Window.ProgressValues.begin(), Window.ProgressValues.end()));
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(1));
    QCOMPARE(Outcome.NotCollected[0].Path, Q(R / "pipe.vob"));
    QCOMPARE(Outcome.NotCollected[0].Reason, QString("not a regular file"));
}

void TestThrdFileSearch::NativePathsKeepNamesAsEnumerated() {
    TTempDir Dir;
    fs::create_directory(Dir.Path() / R"(x\\y)");
    Touch(Dir.Path() / R"(x\\y)" / R"(a\\b.mpg)");
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    RunSearch(Window, Dir.Path().string() + "/", ".*", Files);
    QCOMPARE(*Files, QStringList{QString::fromStdString(
                         CollectedFilePath(Dir.Path().string() + "/", R"(x\\y/a\\b.mpg)"))});
    QCOMPARE(Files->front(), Q(Dir.Path()) + R"(/x\\y/a\\b.mpg)");
}

void TestThrdFileSearch::TerminationFromAMessageStopsEveryLevel() {
    TTempDir Dir;
    const fs::path Deep = Dir.Path() / "sub" / "deep";
    fs::create_directories(Deep);
    for (int I = 1; I <= 5; ++I)
        Touch(Deep / std::to_string(I));
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const std::weak_ptr<QStringList> List = Files;
    qsizetype AtRequest = -1;
    bool ListAliveAtEnd = false;
    Window.OnMessage = [&](const QString& AMessage) {
        if (AMessage == P(2) && AtRequest < 0) {
            // As the window's close does: ask the worker to stop, drop the window's list.
            Window.Search->requestInterruption();
            AtRequest = Files->size();
            Files.reset();
        }
        if (AMessage == S(StatusDone))
            ListAliveAtEnd = !List.expired();
    };
    const TOutcome Outcome = RunSearch(Window, Dir.Path().string(), ".*", Files);

    // Each enclosing level sends the progress of the folder entry it was on, then stops.
    QCOMPARE(Window.Messages,
             (QStringList{S(StatusInit), S(StatusSearching), P(0), P(0), P(0), P(0), P(0),
                                    P(0), P(1), P(2), P(2), P(2), S(StatusDone)}));
    QCOMPARE(AtRequest, qsizetype(2));
    QVERIFY(ListAliveAtEnd);
    QVERIFY(Outcome.Completed);
    QCOMPARE(Outcome.DidCount, 2);
    QVERIFY(List.expired()); // the worker let go of it when it released itself
}

void TestThrdFileSearch::TerminationFromAnEventDuringTheWalk() {
    TTempDir Dir;
    fs::create_directory(Dir.Path() / "sub");
    for (int I = 0; I < 20; ++I) {
        Touch(Dir.Path() / std::to_string(I));
        Touch(Dir.Path() / "sub" / std::to_string(I));
    }
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    qsizetype MessagesAtRequest = 0;
    qsizetype FilesAtRequest = -1;
    TWParam SeenAtRequest = 0;
    bool Posted = false;
    Window.OnMessage = [&](const QString& AMessage) {
        if (AMessage != P(2) || Posted)
            return;
        Posted = true;
        QMetaObject::invokeMethod(&Window, [&] {
            Window.Search->requestInterruption();
            MessagesAtRequest = Window.Messages.size();
            FilesAtRequest = Files->size();
            SeenAtRequest = Window.ProgressValues.back();
        }, Qt::QueuedConnection);
    };
    // Events let through after every entry: the request comes in the processing that follows
    // this message.
    const TOutcome Outcome =
        RunSearch(Window, Dir.Path().string(), ".*", Files, std::chrono::milliseconds(0));

    QVERIFY(MessagesAtRequest > 0);
    QVERIFY(Outcome.Report->Interrupted);
    QCOMPARE(SeenAtRequest, TWParam(2)); // handled before the next entry
    QVERIFY(Outcome.DidCount < 40);
    QCOMPARE(Outcome.DidCount, static_cast<int>(SeenAtRequest));
    QCOMPARE(Files->size(), FilesAtRequest);
    // After the request: at most the subfolder's entry in the root, then the closing status.
    const QStringList After = Window.Messages.mid(MessagesAtRequest);
    QVERIFY(!After.empty() && After.size() <= 2);
    QCOMPARE(After.back(), S(StatusDone));
    if (After.size() == 2)
        QCOMPARE(After.front(), P(SeenAtRequest));
}

void TestThrdFileSearch::CloseInsideTheFirstEventProcessing() {
    TTempDir Dir;
    Touch(Dir.Path() / "a.mpg");
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>(QStringList{"left from before"});
    const std::weak_ptr<QStringList> List = Files;
    qsizetype SizeAtEnd = -1;
    Window.OnMessage = [&](const QString& AMessage) {
        if (AMessage == S(StatusInit))
            QMetaObject::invokeMethod(&Window, [&] {
                Window.Search->requestInterruption();
                Files.reset();
            }, Qt::QueuedConnection);
        if (AMessage == S(StatusDone))
            if (const auto Alive = List.lock())
                SizeAtEnd = Alive->size();
    };
    const TOutcome Outcome = RunSearch(Window, Dir.Path().string(), ".*", Files);

    QVERIFY(!Files);
    QCOMPARE(Window.Messages, (QStringList{S(StatusInit), S(StatusSearching), S(StatusDone)}));
    QCOMPARE(SizeAtEnd, qsizetype(0)); // emptied, nothing added, still there
    QVERIFY(Outcome.Completed);
    QVERIFY(List.expired());
}

// The folder a not-collected repeat names as walked before ("already walked as PATH").
QString WalkedBefore(const TNotCollected& AEntry) {
    const QString Prefix = QStringLiteral("already walked as ");
    return AEntry.Reason.startsWith(Prefix) ? AEntry.Reason.mid(Prefix.size()) : QString();
}

void TestThrdFileSearch::LinksToFoldersAreWalkedOnceAndCyclesEnd() {
    TTempDir Dir;
    const fs::path& R = Dir.Path();
    for (const char* Folder : {"a", "b", "c", "d"})
        fs::create_directory(R / Folder);
    Touch(R / "a" / "fa");
    Touch(R / "b" / "fb");
    Touch(R / "c" / "fc");
    Touch(R / "d" / "fd");
    fs::create_directory_symlink("..", R / "a" / "up");    // its own parent, the root
    fs::create_directory_symlink(".", R / "a" / "self");   // itself
    fs::create_directory_symlink("../b", R / "a" / "tob"); // a sibling: walked where first reached
    fs::create_directory_symlink(R, R / "root");           // the root, by absolute path
    fs::create_directory_symlink("../d", R / "c" / "l1");  // two links pointing at each other
    fs::create_directory_symlink("../c", R / "d" / "l2");
    fs::create_directory_symlink("gone", R / "gone_dir");  // broken: a file
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, R.string(), ".*", Files);

    QVERIFY(Outcome.Completed);
    // Each file once, by the way without a link (the broken link is a file).
    QCOMPARE(Sorted(*Files), Sorted({Q(R / "a" / "fa"), Q(R / "b" / "fb"), Q(R / "c" / "fc"),
                                     Q(R / "d" / "fd"), Q(R / "gone_dir")}));
    QStringList Physical;
    for (const QString& File : *Files)
        Physical << (File == Q(R / "gone_dir") ? File : Q(fs::canonical(File.toStdString())));
    QCOMPARE(Sorted(Physical), Sorted({Q(R / "a" / "fa"), Q(R / "b" / "fb"), Q(R / "c" / "fc"),
                                       Q(R / "d" / "fd"), Q(R / "gone_dir")}));
    QCOMPARE(Outcome.DidCount, 5);
    // Eleven arrivals at five folders: six repeats, each naming where that folder was walked.
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(6));
    QStringList Repeats;
    for (const TNotCollected& Entry : Outcome.NotCollected) {
        const QString Before = WalkedBefore(Entry);
        QVERIFY2(!Before.isEmpty() && Before != Entry.Path, qPrintable(Entry.Path + ": " + Entry.Reason));
        QCOMPARE(fs::canonical(Before.toStdString()), fs::canonical(Entry.Path.toStdString()));
        Repeats << Entry.Path + " <- " + Before;
    }
    // The links back up are the same in any order.
    for (const QString& Cycle : {Q(R / "a" / "up") + " <- " + Q(R), Q(R / "a" / "self") + " <- " + Q(R / "a"),
                                 Q(R / "root") + " <- " + Q(R)})
        QVERIFY2(Repeats.contains(Cycle), qPrintable(Repeats.join('\n')));
}

// Fifteen folders, each with three links to the next and the last with one file: walked by
// every way in, that is 3^14 (4.8 million) folders.
void TestThrdFileSearch::LinkFanOutWalksEachFolderOnce() {
    TTempDir Dir;
    const auto Folder = [&Dir](int AIndex) { return Dir.Path() / QStringLiteral("f%1").arg(AIndex).toStdString(); };
    for (int I = 1; I <= 15; ++I) {
        fs::create_directory(Folder(I));
        if (I < 15)
            for (const char* Link : {"x", "y", "z"})
                fs::create_directory_symlink(Folder(I + 1), Folder(I) / Link);
    }
    Touch(Folder(15) / "song.mpg");
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, Folder(1).string(), ".*", Files);

    QVERIFY(Outcome.Completed);
    QCOMPARE(Files->size(), qsizetype(1));
    QVERIFY(Files->front().endsWith("/song.mpg"));
    QCOMPARE(Outcome.DidCount, 1);
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(3 * 14 - 14));
    for (const TNotCollected& Entry : Outcome.NotCollected)
        QVERIFY2(!WalkedBefore(Entry).isEmpty(), qPrintable(Entry.Reason));
}

// A folder reached directly and through a link, or through two links: the way collected must
// not depend on the order the folder lists its entries in. Each tree is made with its entries
// created in both orders (tmpfs lists the newest first) and under names swapped (ext4 lists
// by a hash of the name), so that among the rows the link is listed first and last.
void TestThrdFileSearch::FolderReachedTwoWaysIsCollectedByTheSameWayInAnyListingOrder_data() {
    QTest::addColumn<QStringList>("Entries"); // in the order made: "name" a folder, "name>target" a link
    QTest::addColumn<QString>("Collected");   // the song's path below the root
    QTest::addColumn<QString>("Repeat");      // the path not walked again, below the root
    const QStringList Trees[][2] = {
        // A link beside the folder it names: the folder's own path.
        {{"a>b", "b"}, {"b/song.mpg", "a"}},
        {{"b", "a>b"}, {"b/song.mpg", "a"}},
        {{"b>a", "a"}, {"a/song.mpg", "b"}},
        {{"a", "b>a"}, {"a/song.mpg", "b"}},
        {{"link>songs", "songs"}, {"songs/song.mpg", "link"}},
        {{"songs", "link>songs"}, {"songs/song.mpg", "link"}},
        {{"x1>x2", "x2"}, {"x2/song.mpg", "x1"}},
        {{"x2>x1", "x1"}, {"x1/song.mpg", "x2"}},
        // Deeper without a link than with one.
        {{"a>z/deep/songs", "z/deep/songs"}, {"z/deep/songs/song.mpg", "a"}},
        {{"z/deep/songs", "a>z/deep/songs"}, {"z/deep/songs/song.mpg", "a"}},
        {{"z>a/deep/songs", "a/deep/songs"}, {"a/deep/songs/song.mpg", "z"}},
        // Two links to a folder outside the tree: the least in byte order.
        {{"b>../outside", "a>../outside"}, {"a/song.mpg", "b"}},
        {{"a>../outside", "b>../outside"}, {"a/song.mpg", "b"}},
        {{"Z>../outside", "a>../outside"}, {"Z/song.mpg", "a"}},
        {{"a>../outside", "Z>../outside"}, {"Z/song.mpg", "a"}},
    };
    for (const auto& Tree : Trees)
        QTest::addRow("%s", qPrintable(Tree[0].join(' '))) << Tree[0] << Tree[1][0] << Tree[1][1];
}

void TestThrdFileSearch::FolderReachedTwoWaysIsCollectedByTheSameWayInAnyListingOrder() {
    QFETCH(QStringList, Entries);
    QFETCH(QString, Collected);
    QFETCH(QString, Repeat);
    TTempDir Dir;
    const fs::path Root = Dir.Path() / "root";
    fs::create_directories(Root);
    fs::create_directories(Dir.Path() / "outside");
    Touch(Dir.Path() / "outside" / "song.mpg");
    for (const QString& Entry : Entries) {
        const QStringList Parts = Entry.split(u'>');
        const fs::path Path = Root / Parts[0].toStdString();
        if (Parts.size() == 2) {
            fs::create_directories(Path.parent_path());
            fs::create_directory_symlink(fs::path(Parts[1].toStdString()), Path);
        } else {
            fs::create_directories(Path);
            Touch(Path / "song.mpg");
        }
    }
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, Root.string(), ".*", Files);

    QCOMPARE(*Files, QStringList{Q(Root / Collected.toStdString())});
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(1));
    QCOMPARE(Outcome.NotCollected[0].Path, Q(Root / Repeat.toStdString()));
}

void TestThrdFileSearch::OnlyRegularFilesAreCollected_data() {
    QTest::addColumn<QString>("Kind");
    QTest::addColumn<bool>("Collected");
    QTest::addRow("regular file") << "file" << true;
    QTest::addRow("link to a regular file") << "link to file" << true;
    QTest::addRow("broken link") << "broken link" << true;
    QTest::addRow("FIFO") << "fifo" << false;
    QTest::addRow("link to a FIFO") << "link to fifo" << false;
    QTest::addRow("socket") << "socket" << false;
    QTest::addRow("character device") << "char device" << false;
    QTest::addRow("block device") << "block device" << false;
}

void TestThrdFileSearch::OnlyRegularFilesAreCollected() {
    QFETCH(QString, Kind);
    QFETCH(bool, Collected);
    TTempDir Dir;
    const fs::path Entry = Dir.Path() / "entry.mpg";
    Touch(Dir.Path() / "plain.dat");
    QCOMPARE(mkfifo((Dir.Path() / "fifo.dat").c_str(), 0600), 0);
    if (Kind == "file") {
        Touch(Entry);
    } else if (Kind == "link to file") {
        fs::create_symlink("plain.dat", Entry);
    } else if (Kind == "broken link") {
        fs::create_symlink("nowhere", Entry);
    } else if (Kind == "fifo") {
        QCOMPARE(mkfifo(Entry.c_str(), 0600), 0);
    } else if (Kind == "link to fifo") {
        fs::create_symlink("fifo.dat", Entry);
    } else if (Kind == "socket") {
        const int Socket = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un Address{};
        Address.sun_family = AF_UNIX;
        QVERIFY(Entry.string().size() < sizeof Address.sun_path);
        std::strcpy(Address.sun_path, Entry.c_str());
        QCOMPARE(bind(Socket, reinterpret_cast<const sockaddr*>(&Address), sizeof Address), 0);
        close(Socket);
    } else {
        if (geteuid() != 0)
            QSKIP("making a device node needs root");
        const mode_t Type = Kind == "char device" ? S_IFCHR : S_IFBLK;
        QCOMPARE(mknod(Entry.c_str(), Type | 0600, makedev(1, 3)), 0);
    }
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, Dir.Path().string(), ".mpg", Files);

    QCOMPARE(Outcome.DidCount, 3); // seen and counted, whatever it is
    QCOMPARE(*Files, Collected ? QStringList{Q(Entry)} : QStringList{});
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(Collected ? 0 : 1));
    if (!Collected) {
        QCOMPARE(Outcome.NotCollected[0].Path, Q(Entry));
        QCOMPARE(Outcome.NotCollected[0].Reason, QString("not a regular file"));
    }
}

void TestThrdFileSearch::FolderTypedAnotherWayGivesTheSamePaths_data() {
    QTest::addColumn<QString>("Typed"); // relative to the test folder, or from it with ./
    QTest::addColumn<QString>("Stored"); // the folder part of the stored paths
    QTest::addRow("as is") << "Songs" << "Songs";
    QTest::addRow("trailing separator") << "Songs/" << "Songs";
    QTest::addRow("two trailing separators") << "Songs//" << "Songs";
    QTest::addRow("separators doubled inside") << "/Songs//sub///.." << "Songs/sub/..";
    QTest::addRow("dot names") << "/./Songs/./" << "Songs";
    QTest::addRow("relative, dot names") << "./Songs/." << "Songs";
    QTest::addRow("relative, dot only") << "." << ".";
    QTest::addRow("dot parent stays") << "Songs/sub/.." << "Songs/sub/..";
}

void TestThrdFileSearch::FolderTypedAnotherWayGivesTheSamePaths() {
    QFETCH(QString, Typed);
    QFETCH(QString, Stored);
    TTempDir Dir;
    const QString R = Q(Dir.Path());
    fs::create_directories(Dir.Path() / "Songs" / "sub");
    Touch(Dir.Path() / "Songs" / "a.mpg");
    Touch(Dir.Path() / "Songs" / "sub" / "b.mpg");
    // Relative rows run from inside the test folder (a "." row from inside Songs).
    const bool Relative = Typed.startsWith('.') || !Typed.startsWith('/');
    const QString Root = Relative ? Typed : R + Typed;
    const QString Current = QDir::currentPath();
    QVERIFY(QDir::setCurrent(Typed == "." ? R + "/Songs" : R));
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, Root.toStdString(), ".*", Files);
    QDir::setCurrent(Current);

    const QString Folder = Relative ? Stored : R + "/" + Stored;
    QCOMPARE(Sorted(*Files), Sorted({Folder + "/a.mpg", Folder + "/sub/b.mpg"}));
    QVERIFY(Outcome.NotCollected.empty());
}

void TestThrdFileSearch::NamesThatAreNotUtf8AreRecordedNotCollected() {
    TTempDir Dir;
    const std::string R = Dir.Path().string();
    Touch(Dir.Path() / "good.mpg");
    Touch(R + "/bad\xff.mpg");
    QCOMPARE(mkdir((R + "/dir\xfe").c_str(), 0700), 0);
    Touch(R + "/dir\xfe/inner.mpg");
    fs::create_directory(Dir.Path() / "ok");
    Touch(R + "/ok/\xc0\xaf.mpg"); // an overlong '/'
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, R, ".*", Files);

    QCOMPARE(*Files, QStringList{Q(Dir.Path() / "good.mpg")});
    QCOMPARE(Outcome.DidCount, 3); // the folder with the bad name is not entered
    std::vector<TNotCollected> Recorded = Outcome.NotCollected;
    std::sort(Recorded.begin(), Recorded.end(),
              [](const TNotCollected& A, const TNotCollected& B) { return A.Path < B.Path; });
    const QString Root = QString::fromStdString(R);
    QCOMPARE(Recorded.size(), std::size_t(3));
    QCOMPARE(Recorded[0].Path, Root + R"(/bad\xFF.mpg)");
    QCOMPARE(Recorded[1].Path, Root + R"(/dir\xFE)");
    QCOMPARE(Recorded[2].Path, Root + R"(/ok/\xC0\xAF.mpg)");
    QVERIFY(Recorded[0].Reason.contains("file name is not valid UTF-8"));
    QVERIFY(Recorded[1].Reason.contains("folder name is not valid UTF-8"));
}

void TestThrdFileSearch::FolderThatCannotBeEnumerated_data() {
    QTest::addColumn<QString>("Relative");
    QTest::addColumn<int>("Error");
    QTest::addRow("missing") << "missing" << ENOENT;
    QTest::addRow("a file") << "file" << ENOTDIR;
    QTest::addRow("below a file") << "file/sub" << ENOTDIR;
    QTest::addRow("a broken link") << "broken" << ENOENT;
    QTest::addRow("no path at all") << "" << ENOENT;
}

void TestThrdFileSearch::FolderThatCannotBeEnumerated() {
    // Run as root, permissions do not stop a read: these folders fail in other ways.
    QFETCH(QString, Relative);
    QFETCH(int, Error);
    TTempDir Dir;
    Touch(Dir.Path() / "file");
    fs::create_symlink("nowhere", Dir.Path() / "broken");
    const std::string Root = Relative.isEmpty() ? std::string() : Dir.File(Relative.toStdString());
    TTraceWindow Window;
    auto Files = std::make_shared<QStringList>(QStringList{"left from before"});
    const TOutcome Outcome = RunSearch(Window, Root, ".*", Files);

    QVERIFY(Outcome.Completed);
    QVERIFY(Files->isEmpty());
    QCOMPARE(Window.Messages, (QStringList{S(StatusInit), S(StatusSearching), S(StatusDone)}));
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(1));
    QCOMPARE(Outcome.NotCollected[0].Path, QString::fromStdString(Root));
    QCOMPARE(Outcome.NotCollected[0].Reason, QString::fromLocal8Bit(std::strerror(Error)));
}

void TestThrdFileSearch::FolderVanishingDuringTheWalkAddsNothing() {
    TTempDir Dir;
    for (const char* Folder : {"d1", "d2"}) {
        fs::create_directory(Dir.Path() / Folder);
        Touch(Dir.Path() / Folder / "f");
    }
    TTraceWindow Window;
    Window.OnMessage = [&](const QString& AMessage) {
        // Inside whichever folder comes first: both go, the other before it is opened.
        if (AMessage == P(1) && fs::exists(Dir.Path() / "d1")) {
            fs::remove_all(Dir.Path() / "d1");
            fs::remove_all(Dir.Path() / "d2");
        }
    };
    auto Files = std::make_shared<QStringList>();
    const TOutcome Outcome = RunSearch(Window, Dir.Path().string(), ".*", Files);

    QCOMPARE(Files->size(), qsizetype(1));
    QVERIFY(!Outcome.Report->Interrupted);
    const bool D1First = Files->front() == Q(Dir.Path() / "d1" / "f");
    QCOMPARE(Files->front(), Q(Dir.Path() / (D1First ? "d1" : "d2") / "f"));
    QCOMPARE(Outcome.NotCollected.size(), std::size_t(1));
    QCOMPARE(Outcome.NotCollected[0].Path, Q(Dir.Path() / (D1First ? "d2" : "d1")));
    QCOMPARE(Outcome.NotCollected[0].Reason, QString::fromLocal8Bit(std::strerror(ENOENT)));
    // Root: ".", ".."; the first folder: ".", "..", its file, its entry; the vanished one: only
    // its entry in the root.
    QCOMPARE(Window.Progress(), (QStringList{P(0), P(0), P(0), P(0), P(1), P(1), P(1)}));
}

void TestThrdFileSearch::HeadlessRunWithoutAThread() {
    TTempDir Dir;
    fs::create_directory(Dir.Path() / "sub");
    Touch(Dir.Path() / "sub" / "a.mpg");
    Touch(Dir.Path() / "b.txt");
    auto Files = std::make_shared<QStringList>();
    TFileSearchThrd Search(true, 0, Q(Dir.Path()), ".MPG", Files);
    Search.SearchFiles();
    QCOMPARE(*Files, QStringList{Q(Dir.Path() / "sub" / "a.mpg")});
    QCOMPARE(Search.Report()->Seen, 2);
    QCOMPARE(Search.SearchDir(Q(Dir.Path() / "sub")), 1);
}

#ifdef THRDFILESEARCH_GUI

void TestThrdFileSearch::RepaintsAreCoalesced() {
    TTempDir Dir;
    for (int I = 0; I < 3000; ++I)
        Touch(Dir.Path() / std::to_string(I));
    TTraceWindow Window;
    QVERIFY(QTest::qWaitForWindowExposed(&Window));
    TPaintCounter Counter;
    Window.installEventFilter(&Counter);
    auto Files = std::make_shared<QStringList>();
    RunSearch(Window, Dir.Path().string(), ".*", Files);
    QCOMPARE(Files->size(), qsizetype(3000));
    QCOMPARE(Window.text(), QStringLiteral("3000"));
    // Every count reached the label; the screen saw only some of them.
    QCOMPARE(Window.Progress().size(), qsizetype(3002));
    QVERIFY2(Counter.Paints * 20 < 3002, qPrintable(QString::number(Counter.Paints)));
}
#endif

#ifdef THRDFILESEARCH_GUI
QTEST_MAIN(TestThrdFileSearch)
#else
QTEST_GUILESS_MAIN(TestThrdFileSearch)
#endif
#include "TestThrdFileSearch.moc"
