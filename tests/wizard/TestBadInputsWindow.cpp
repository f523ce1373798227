// Bad inputs through the wizard window, one row each: an error box (at step 2 when a database
// cannot be opened, before the last step when the run fails) or a run that saves what it can,
// and nothing already saved lost.
#include "BadInputsSupport.h"
#include "BoxSeams.h"
#include "DamagedAccess.h"
#include "Main.h"
#include "QtTestSupport.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sys/mount.h>

namespace fs = std::filesystem;
using namespace badinputs;

class TProbe : public TMainForm {
public:
    using TMainForm::TMainForm;
    using TMainForm::btnNext;
    using TMainForm::edtSongPath;
    using TMainForm::edtTotalPath;
    using TMainForm::FCloseConfirmation;
    using TMainForm::lblNotes;
};

namespace {


// KTV/Tools/corvena (the program), KTV/Configure.ini naming KTV/DataBase/Ktv.mdb, the master
// KTV/DataBase/Total.mdb with six songs NNN.mpg, those files in KTV/Songs/A, and one song
// already in the local database.
struct TLibrary {
    TLibrary() {
        Master = MakeDatabase(Dir, "Total.mdb", TSchemaKind::Master);
        fs::create_directories(Dir.Path() / "KTV/Tools");
        Local = MakeDatabase(Dir, "Ktv.mdb", TSchemaKind::Local);
        AddSaved(Local);
        for (int I = 1; I <= 6; ++I)
            AddSong("00" + std::to_string(I) + ".mpg", "Songs/A/00" + std::to_string(I) + ".mpg");
        Songs = Dir.File("Songs");
    }
    ~TLibrary() {
        for (const std::string& Command : Undo)
            Shell(Command);
    }
    void AddSong(const std::string& AName, const std::string& ARelative) {
        ++Count;
        RunSql(Master, "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, TypeName,"
                       " PublishDate, CharsCount, Track, Sound, DemandTimes) values ('" +
                           std::to_string(80000000 + Count) + "', '歌曲', '" + Escaped(AName) +
                           "', '歌手', '国语', '情歌', 36000, 2, 0, 0, 0)");
        WriteFile(Dir.Path() / ARelative, "");
    }
    static void AddSaved(const std::string& ALocal) {
        RunSql(ALocal, "insert into Songs (SongNumber, SongName, FilePath, SingerName, CharsCount, Track,"
                       " PublishDate) values ('1', '旧歌', '/elsewhere/old.mpg', '旧歌手', 2, 1, 40000)");
    }
    std::string Saved() const {
        return QueryText(Local, "select quote(SongNumber) || quote(SongName) || quote(SingerName) ||"
                                " quote(CharsCount) || quote(Track) || quote(PublishDate) from Songs"
                                " where FilePath = '/elsewhere/old.mpg'");
    }
    std::string SavedAt(const std::string& ARelative) const {
        return QueryText(Local, "select count(*) from Songs where FilePath = '" + Escaped(Dir.File(ARelative)) + "'");
    }
    QString Program() const { return QString::fromStdString(Dir.File("KTV/Tools/corvena")); }
    void WriteConfiguration() const {
        WriteFile(Dir.Path() / "KTV/Configure.ini", "[DataBase]\nLocal=" + Local + "\n");
    }

    TTempDir Dir;
    std::string Master, Local, Songs;
    std::vector<std::string> Undo;
    std::string Skip;
    bool Hold = false;
    bool LocalIsADatabase = true;
    int Count = 0;
};

void SetMaster(TLibrary& L, const char* ASet) {
    RunSql(L.Master, std::string("update Songs set ") + ASet + " where FilePath = '002.mpg'");
}

// The spoilers by name; a row of the table names one.
const std::map<QString, std::function<void(TLibrary&)>>& Spoilers() {
    static const std::map<QString, std::function<void(TLibrary&)>> Table{
        {"none", [](TLibrary&) {}},
        {"local garbage",
         [](TLibrary& L) {
             WriteFile(L.Local, RandomBytes(64 * 1024));
             L.LocalIsADatabase = false;
         }},
        {"local truncated",
         [](TLibrary& L) {
             std::string Rows;
             for (int I = 0; I < 400; ++I)
                 Rows += "insert into Songs (SongNumber, SongName, FilePath) values ('" + std::to_string(I) +
                         "', '歌曲', '/old/" + std::to_string(I) + ".mpg');";
             RunSql(L.Local, Rows);
             fs::resize_file(L.Local, fs::file_size(L.Local) / 2);
             L.LocalIsADatabase = false;
         }},
        {"local read-only",
         [](TLibrary& L) {
             if (Shell("chattr +i '" + L.Local + "'") != 0)
                 L.Skip = "chattr +i does not work on this file system, and root writes read-only files";
             else
                 L.Undo.push_back("chattr -i '" + L.Local + "'");
         }},
        {"local held, WAL",
         [](TLibrary& L) {
             RunSql(L.Local, "pragma journal_mode=wal");
             L.Hold = true;
         }},
        {"local held",
         [](TLibrary& L) {
             RunSql(L.Local, "pragma journal_mode=delete");
             L.Hold = true;
         }},
        {"disk full",
         [](TLibrary& L) {
             const fs::path Small = L.Dir.Path() / "small";
             fs::create_directory(Small);
             if (mount("tmpfs", Small.c_str(), "tmpfs", 0, "size=160k") != 0) {
                 L.Skip = std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
                 return;
             }
             L.Undo.insert(L.Undo.begin(), "umount '" + Small.string() + "'");
             L.Local = (Small / "Ktv.mdb").string();
             CreateDatabase(L.Local, TSchemaKind::Local);
             TLibrary::AddSaved(L.Local);
             for (int I = 10; I < 200; ++I)
                 L.AddSong(std::to_string(I) + ".mpg", "Songs/A/" + std::to_string(I) + ".mpg");
         }},
        {"master no database", [](TLibrary& L) { WriteFile(L.Master, "Title,Singer\nSong,Someone\n"); }},
        {"master Access crashing the reader",
         [](TLibrary& L) { MakeDamagedAccess(ACCESS_TEST_DATA, "UsageMapPointer", L.Master); }},
        {"master without Songs", [](TLibrary& L) { RunSql(L.Master, "drop table Songs; create table Singers (Name text)"); }},
        {"master without Track", [](TLibrary& L) { RunSql(L.Master, "alter table Songs drop column Track"); }},
        {"master name with ;",
         [](TLibrary& L) {
             const std::string Master = L.Dir.File("To;tal.mdb");
             fs::rename(L.Master, Master);
             L.Master = Master;
         }},
        {"link cycle",
         [](TLibrary& L) {
             fs::create_directory_symlink("..", L.Dir.Path() / "Songs/A/up");
             fs::create_directory_symlink(L.Dir.Path() / "Songs", L.Dir.Path() / "Songs/A/root");
         }},
        {"names not UTF-8",
         [](TLibrary& L) {
             L.AddSong("bad\xff.mpg", "Songs/A/bad\xff.mpg");
             L.AddSong("in.mpg", "Songs/dir\xfe/in.mpg");
         }},
        {"long paths", [](TLibrary& L) { L.AddSong(std::string(255 - 8, 'z') + "deep.mpg", LongRelative()); }},
        {"quotes ; %",
         [](TLibrary& L) {
             L.AddSong("it's \"x\";100%.mpg", "Songs/a;b%c'd\"e/it's \"x\";100%.mpg");
             L.AddSong("%_;.mpg", "Songs/A/%_;.mpg");
         }},
        {"huge date", [](TLibrary& L) { SetMaster(L, "PublishDate = 1e300"); }},
        {"negative date", [](TLibrary& L) { SetMaster(L, "PublishDate = -1e9"); }},
        {"date text", [](TLibrary& L) { SetMaster(L, "PublishDate = 'not a date'"); }},
        {"CharsCount text", [](TLibrary& L) { SetMaster(L, "CharsCount = 'abc'"); }},
        {"Track text", [](TLibrary& L) { SetMaster(L, "Track = 'x'"); }},
    };
    return Table;
}

} // namespace

class TestBadInputsWindow : public QObject {
    Q_OBJECT
private slots:
    void init() { FSavedDir = QDir::currentPath(); }
    void cleanup() {
        if (FForm) {
            FForm->FCloseConfirmation = false;
            delete FForm.data();
        }
        QDir::setCurrent(FSavedDir);
    }
    void BadInput_data();
    void BadInput();

private:
    QPointer<TProbe> FForm;
    QString FSavedDir;
};

void TestBadInputsWindow::BadInput_data() {
    QTest::addColumn<QString>("Spoiler");
    QTest::addColumn<int>("Step");   // where the window stands afterwards
    QTest::addColumn<QString>("Box"); // the error box's text begins so ("" none); @L, @T the files
    QTest::addColumn<QString>("Also"); // and holds this too
    QTest::addColumn<int>("Saved");   // songs the run saved (-1: not checked)
    const QString LocalBox = "无法正确连接歌库数据库“@L”。\r请检查数据库文件是否正常。";
    const QString MasterBox = "无法正确连接总歌库数据库“@T”。\r请检查数据库文件是否正常。";
    const QString Stopped = "数据库出错，索引在第 1 个文件（共 %1 个）处停止。\r";
    const QString OneFailed = "有 1 个文件未能写入歌曲信息。\r第一个错误：";
    // Databases
    QTest::addRow("local of garbage bytes") << "local garbage" << 2 << LocalBox << "" << 0;
    QTest::addRow("local truncated") << "local truncated" << 2 << LocalBox << "" << 0;
    QTest::addRow("local read-only") << "local read-only" << 2 << LocalBox << "" << 0;
    QTest::addRow("local held by a writer") << "local held" << 2 << LocalBox << "" << 0;
    QTest::addRow("master no database") << "master no database" << 2 << MasterBox << "" << 0;
    QTest::addRow("master name with ;") << "master name with ;" << 2 << MasterBox << "" << 0;
    QTest::addRow("damaged Access master crashing the reader")
        << "master Access crashing the reader" << 2 << MasterBox << "" << 0;
    QTest::addRow("master without Songs")
        << "master without Songs" << 5 << "无法从总歌库数据库“@T”读取歌曲信息。\r" << "Songs" << 0;
    QTest::addRow("master without a column")
        << "master without Track" << 5 << "有 6 个文件未能写入歌曲信息。\r第一个错误：" << "Track" << 0;
    QTest::addRow("local held by a writer, WAL")
        << "local held, WAL" << 5 << Stopped.arg(6) << "database is locked" << 0;
    QTest::addRow("disk fills up") << "disk full" << 5 << "数据库出错，索引在第 " << "disk is full" << -1;
    // Files
    QTest::addRow("link cycle") << "link cycle" << 5 << "" << "" << 6;
    QTest::addRow("names not UTF-8") << "names not UTF-8" << 5 << "" << "" << 6;
    QTest::addRow("4,000-character paths") << "long paths" << 5 << "" << "" << 7;
    QTest::newRow("quotes ; %") << "quotes ; %" << 5 << "" << "" << 8;
    // Master rows
    QTest::addRow("huge date") << "huge date" << 5 << OneFailed << "not a valid date" << 5;
    QTest::addRow("negative date") << "negative date" << 5 << OneFailed << "not a valid date" << 5;
    QTest::addRow("date text") << "date text" << 5 << OneFailed << "not a date" << 5;
    QTest::addRow("CharsCount text") << "CharsCount text" << 5 << OneFailed << "CharsCount" << 5;
    QTest::addRow("Track text") << "Track text" << 5 << OneFailed << "Track" << 5;
}

void TestBadInputsWindow::BadInput() {
    QFETCH(QString, Spoiler);
    QFETCH(int, Step);
    QFETCH(QString, Box);
    QFETCH(QString, Also);
    QFETCH(int, Saved);
    TLibrary L;
    Spoilers().at(Spoiler)(L);
    if (!L.Skip.empty())
        QSKIP(L.Skip.c_str());
    L.WriteConfiguration();
    const std::string LocalBefore = ReadFile(L.Local);
    const std::string SavedBefore = L.LocalIsADatabase ? L.Saved() : std::string();
    // Last: closing another handle on the file in this process would drop the writer's locks.
    std::unique_ptr<TWriter> Writer;
    if (L.Hold) {
        Writer = std::make_unique<TWriter>(L.Local);
        QVERIFY(Writer->Holding());
    }

    TScriptedBoxes Boxes;
    FForm = new TProbe({"corvena"}, L.Program());
    FForm->show();
    FForm->edtSongPath->setText(QString::fromStdString(L.Songs));
    FForm->btnNext->click();
    QCOMPARE(FForm->Step(), 2);
    FForm->edtTotalPath->setText(QString::fromStdString(L.Master));
    QElapsedTimer Timer;
    Timer.start();
    FForm->btnNext->click();
    if (Step == 5)
        QVERIFY(RunUntil([&] { return FForm->Step() == 5; }, 30000));
    QCOMPARE(FForm->Step(), Step);
    // One busy timeout at most.
    QVERIFY2(Timer.elapsed() < 15000, qPrintable(QString::number(Timer.elapsed())));
    Writer.reset();

    Box.replace("@L", QString::fromStdString(L.Local)).replace("@T", QString::fromStdString(L.Master));
    if (Box.isEmpty()) {
        QVERIFY2(Boxes.Shown().empty(), Boxes.Shown().empty() ? "" : qPrintable(Boxes.Shown().front().Text));
    } else if (Step == 5) {
        // A run that failed says so on step 5, one line, not in a box before it.
        QVERIFY2(Boxes.Shown().empty(), Boxes.Shown().empty() ? "" : qPrintable(Boxes.Shown().front().Text));
        const QString Text = FForm->lblNotes->toolTip();
        QVERIFY2(Text.startsWith(QString(Box).replace('\r', ' ')), qPrintable(Text));
        QVERIFY2(Text.contains(Also), qPrintable(Text));
    } else {
        QCOMPARE(Boxes.Shown().size(), std::size_t(1));
        QCOMPARE(Boxes.Shown()[0].Kind, TBoxKind::Error);
        const QString Text = Boxes.Shown()[0].Text;
        QVERIFY2(Text.startsWith(Box), qPrintable(Text));
        QVERIFY2(Text.contains(Also), qPrintable(Text));
    }
    if (Step == 2) {
        // The local database opens first: a master that fails finds it open, not changed.
        if (Box.startsWith("无法正确连接歌库数据库"))
            QCOMPARE(ReadFile(L.Local), LocalBefore);
        else
            QCOMPARE(L.Saved(), SavedBefore);
        return;
    }
    if (Saved >= 0)
        QCOMPARE(QueryText(L.Local, "select count(*) from Songs"), std::to_string(Saved + 1));
    else
        QVERIFY(std::stoi(QueryText(L.Local, "select count(*) from Songs")) > 1); // some were saved
    QCOMPARE(QueryText(L.Local, "pragma integrity_check"), std::string("ok"));
    QCOMPARE(QueryText(L.Local, "select count(*) from Songs where ifnull(SongName, '') = ''"
                                " or ifnull(SongNumber, '') = ''"),
             std::string("0"));
    QCOMPARE(L.Saved(), SavedBefore);
    if (Spoiler == "long paths")
        QCOMPARE(L.SavedAt(LongRelative()), std::string("1"));
    if (Spoiler == "quotes ; %") {
        QCOMPARE(L.SavedAt("Songs/a;b%c'd\"e/it's \"x\";100%.mpg"), std::string("1"));
        QCOMPARE(L.SavedAt("Songs/A/%_;.mpg"), std::string("1"));
    }
}

QTEST_MAIN(TestBadInputsWindow)
#include "TestBadInputsWindow.moc"
