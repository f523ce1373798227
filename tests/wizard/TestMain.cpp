#include "BoxSeams.h"
#include "Config.h"
#include "ConfigPlaces.h"
#include "Language.h"
#include "Main.h"
#include "QtTestSupport.h"
#include "SkippedFiles.h"
#include "TestSupport.h"
#include "WindowThreadHooks.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <numeric>
#include <thread>

// Opens the window's insides to the test.
class TProbe : public TMainForm {
public:
    using TMainForm::TMainForm;
    using TMainForm::Handle;
    using TMainForm::btnCancel;
    using TMainForm::btnNext;
    using TMainForm::btnPrior;
    using TMainForm::chkOnlyAdd;
    using TMainForm::cnnLocal;
    using TMainForm::cnnTotal;
    using TMainForm::edtSongPath;
    using TMainForm::edtTotalPath;
    using TMainForm::FCloseConfirmation;
    using TMainForm::FMainAppHandle;
    using TMainForm::FSongFiles;
    using TMainForm::FStepPanels;
    using TMainForm::imgProgress;
    using TMainForm::lblaLeft;
    using TMainForm::lblaRight;
    using TMainForm::lblsLeft;
    using TMainForm::lblsRight;
    using TMainForm::ProgressBar;
    using TMainForm::FThrdSearchFile;
    using TMainForm::FThrdSongIndex;
    using TMainForm::FIndexReport;
    using TMainForm::FSearchReport;
    using TMainForm::btnSkipped;
    using TMainForm::FSkippedDialog;
    using TMainForm::lblHint5_0;
    using TMainForm::lblNotes;
    using TMainForm::lblHint3_0;
    using TMainForm::lblHint4_0;

    ~TProbe() override {
        FHooks.Close();
        UnregisterWindow(Handle());
    }

    // Every message the window handled, with the texts as they were; and a hook run after each,
    // on the window's thread while the sender waits. Set before the run; read on the window's
    // thread once the worker has finished.
    struct TSeen {
        unsigned Msg;
        TWParam WParam;
        TLParam LParam;
        QString Text;
    };
    std::vector<TSeen> Seen;
    std::function<void(const TSeen&)> AfterMessage;

protected:
    TLParam WndProc(unsigned AMsg, TWParam AWParam, TLParam ALParam) override {
        const TLParam Result = TMainForm::WndProc(AMsg, AWParam, ALParam);
        Handled({AMsg, AWParam, ALParam, QString()});
        return Result;
    }
    TLParam WorkerMessage(unsigned AMsg, TWParam AWParam, TLParam ALParam) override {
        const TSeen Message{AMsg, AWParam, AMsg == WM_WIZ_STATUS ? 0 : ALParam,
                            AMsg == WM_WIZ_STATUS
                                ? QString::fromUtf16(reinterpret_cast<const char16_t*>(ALParam))
                                : QString()};
        const TLParam Result = TMainForm::WorkerMessage(AMsg, AWParam, ALParam);
        Handled(Message);
        return Result;
    }

private:
    void Handled(const TSeen& AMessage) {
        // Without a hook the worker does not wait for the window's thread, as in the program.
        if (!AfterMessage) {
            const std::lock_guard Guard(FSeenLock);
            Seen.push_back(AMessage);
            return;
        }
        FHooks.Run([&] {
            Seen.push_back(AMessage);
            AfterMessage(AMessage);
        });
    }

    std::mutex FSeenLock;
    TWindowThreadHooks FHooks;
};

// A song-request system folder: KTV/Tools/corvena (the program), KTV/Configure.ini,
// KTV/DataBase/Ktv.mdb and Total.mdb, KTV/Songs/.
class TKtvFolder {
public:
    TKtvFolder() {
        std::filesystem::create_directories(FDir.Path() / "KTV" / "Tools");
        std::filesystem::create_directories(FDir.Path() / "KTV" / "DataBase");
        std::filesystem::create_directories(FDir.Path() / "KTV" / "Songs");
        MakeDatabase(FDir, "KTV/DataBase/Ktv.mdb", TSchemaKind::Local);
        MakeDatabase(FDir, "KTV/DataBase/Total.mdb", TSchemaKind::Master);
        WriteFile("KTV/Configure.ini", "[DataBase]\nLocal=" + FDir.File("KTV/DataBase/Ktv.mdb") + "\n");
    }
    QString Path(const char* AName) const { return QString::fromStdString(FDir.File(AName)); }
    QString Program() const { return Path("KTV/Tools/corvena"); }
    void WriteFile(const char* AName, const std::string& AText) const {
        std::ofstream(FDir.File(AName), std::ios::binary) << AText;
    }

private:
    TTempDir FDir;
};

namespace {

// Acts on the program's window once RunCorvena has shown it, from the program's own event loop.
// When none shows within the bound the program is ended (status 1), so that the test fails
// instead of waiting for ever.
class TProgramWindowWatch {
public:
    explicit TProgramWindowWatch(std::function<void(TMainForm*)> AAct) : FAct(std::move(AAct)) {
        QObject::connect(&FPoll, &QTimer::timeout, [this] { Look(); });
        FBound.setSingleShot(true);
        QObject::connect(&FBound, &QTimer::timeout, [this] {
            FPoll.stop();
            QCoreApplication::exit(1);
        });
        FPoll.start(1);
        FBound.start(20000);
    }

private:
    void Look() {
        for (QWidget* Window : QApplication::topLevelWidgets())
            if (auto* Form = qobject_cast<TMainForm*>(Window); Form != nullptr && Form->isVisible()) {
                FPoll.stop();
                FBound.stop();
                FAct(Form);
                return;
            }
    }

    std::function<void(TMainForm*)> FAct;
    QTimer FPoll;
    QTimer FBound;
};

// Receives one low-priority posted event: delivered after every event posted before it.
class TPostedMarker : public QObject {
public:
    bool Reached = false;

protected:
    bool event(QEvent* AEvent) override {
        if (AEvent->type() != QEvent::User)
            return QObject::event(AEvent);
        Reached = true;
        return true;
    }
};

// Delivers every event posted so far, deferred deletions too: a close or a deletion already on
// its way has happened when this returns.
bool DeliverPostedEvents() {
    TPostedMarker Marker;
    QCoreApplication::postEvent(&Marker, new QEvent(QEvent::User), Qt::LowEventPriority);
    const bool Reached = RunUntil([&Marker] { return Marker.Reached; });
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return Reached;
}

} // namespace

class TestMain : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void FirstRunState();
    void RemembersTheLastRun();
    void InvalidHandleStillBuildsTheWholeWindow();
    void SongFolderChecks_data();
    void SongFolderChecks();
    void MasterChecks_data();
    void MasterChecks();
    void LocalDatabaseThatCannotOpen();
    void SecondTryAfterAMasterFailure();
    void BackBetweenTheFirstTwoSteps();
    void ClosingAsks_data();
    void ClosingAsks();
    void HostCloseNeedsNoAnswer_data();
    void HostCloseNeedsNoAnswer();
    void CloseReleasesTheConnections();
    void BrowseButtons();
    void BrowseDialogsStartAtWhatIsTyped_data();
    void BrowseDialogsStartAtWhatIsTyped();
    void EnterFinishesOnStepFive_data();
    void EnterFinishesOnStepFive();
    void NewUserOfTheInstalledProgram();
    void ErrorBoxKeepsThePathOnOneLine_data();
    void ErrorBoxKeepsThePathOnOneLine();
    void StatusAndProgressMessages();
    void StatusFromAnotherThreadIsReadWhileItsSenderWaits();
    void IndexWorkerDoesNotWaitForTheWindow();
    void IndexProgressAtScreenRate();
    void ProgressAnimation();
    void ProgramRunsUntilItsWindowCloses_data();
    void ProgramRunsUntilItsWindowCloses();
    void WholeRun_data();
    void WholeRun();
    void ClosingDuringTheRun_data();
    void ClosingDuringTheRun();
    void FinishedWorkersCompletionAfterClose();
    void HostCloseWhileTheQuestionIsOpen();
    void FailedRunsAreShown_data();
    void FailedRunsAreShown();
    void HostToldBeforeAnyoneClicks();
    void ToolFileWriteFailureIsSaidOnce_data();
    void ToolFileWriteFailureIsSaidOnce();
    void ProgramWaitsForAStoppingWorker();
    void StepFiveShowsTheRun_data();
    void StepFiveShowsTheRun();
    void SkippedListAndItsFile();
    void NearMatchesAreListed();
    void KeyboardPath_data();
    void KeyboardPath();
    void TheRunEndingClosesTheQuestion();
    void LanguageFollowsTheLocale_data();
    void LanguageFollowsTheLocale();
    void WindowLanguage_data();
    void WindowLanguage();
    void ProgramChoosesItsLanguage();
    void RelativeNamesFromTheStartFolder_data();
    void RelativeNamesFromTheStartFolder();
    void Screenshots();

private:
    // A small library: master rows for NAME.mpg of every name given, and those files below
    // KTV/Songs (two folders).
    void MakeLibrary(int ACount, const char* AMasterColumns = nullptr);
    // Steps 1 and 2 confirmed on the library; the run starts.
    void StartRun(TProbe* AForm);
    TProbe* Make(const QStringList& AArguments = {QStringLiteral("corvena")},
                 const QString& AProgram = QString());
    void Next(TProbe* AForm) { AForm->btnNext->click(); }
    QString LastBoxText() const {
        return FBoxes->Shown().empty() ? QString() : FBoxes->Shown().back().Text;
    }

    std::unique_ptr<TKtvFolder> FKtv;
    std::unique_ptr<TScriptedBoxes> FBoxes;
    QPointer<TProbe> FForm;
    QString FSavedDir;
};

void TestMain::init() {
    FSavedDir = QDir::currentPath();
    FKtv = std::make_unique<TKtvFolder>();
    // The user's folders inside the test's own: nothing of the real user's is read or written.
    qputenv("XDG_CONFIG_HOME", FKtv->Path("home/config").toUtf8());
    qputenv("XDG_DATA_HOME", FKtv->Path("home/data").toUtf8());
    FBoxes = std::make_unique<TScriptedBoxes>();
}

void TestMain::cleanup() {
    if (FForm) {
        FForm->FCloseConfirmation = false;
        delete FForm.data();
    }
    FBoxes.reset();
    QDir::setCurrent(FSavedDir);
    FKtv.reset();
}

void TestMain::MakeLibrary(int ACount, const char* AMasterColumns) {
    const std::string Master = FKtv->Path("KTV/DataBase/Total.mdb").toStdString();
    if (AMasterColumns != nullptr)
        RunSql(Master, std::string("drop table Songs; create table Songs (") + AMasterColumns + ")");
    RunSql(FKtv->Path("KTV/DataBase/Ktv.mdb").toStdString(),
           "insert into DiscoTypes (TypeID, TypeName) values (7, 'Disco')");
    std::string Rows;
    for (int I = 1; I <= ACount; ++I) {
        const std::string Name = std::to_string(10000 + I);
        const std::string Folder = I % 2 == 0 ? "KTV/Songs/A" : "KTV/Songs/B";
        std::filesystem::create_directories(FKtv->Path(Folder.c_str()).toStdString());
        FKtv->WriteFile((Folder + "/" + Name + ".mpg").c_str(), "");
        if (AMasterColumns == nullptr)
            Rows += "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, "
                    "TypeName, PublishDate, CharsCount) values ('" + Name + "', '歌" + Name +
                    "', '" + Name + ".mpg', '歌手', '国语', '" + (I % 3 == 0 ? "Disco" : "流行") +
                    "', 44197.0, 3);";
        else
            Rows += "insert into Songs (SongNumber, SongName, FilePath) values ('" + Name +
                    "', '歌" + Name + "', '" + Name + ".mpg');";
    }
    RunSql(Master, Rows);
}

void TestMain::StartRun(TProbe* AForm) {
    AForm->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(AForm);
    AForm->edtTotalPath->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
    Next(AForm);
    QCOMPARE(AForm->Step(), 3);
}

TProbe* TestMain::Make(const QStringList& AArguments, const QString& AProgram) {
    FForm = new TProbe(AArguments, AProgram.isEmpty() ? FKtv->Program() : AProgram);
    FForm->show();
    return FForm;
}

void TestMain::FirstRunState() {
    QFile::remove(FKtv->Path("KTV/Configure.ini"));
    TProbe* Form = Make({"corvena", "/i", "1234"});
    QCOMPARE(Form->windowTitle(), QString("  向导 离线索引歌曲"));
    QCOMPARE(Form->Step(), 1);
    QCOMPARE(Form->Title(), QString("第1步：指定歌曲文件"));
    QCOMPARE(Form->FMainAppHandle, std::uintptr_t(1234));
    QCOMPARE(Form->edtSongPath->text(), QString());
    QVERIFY(!Form->chkOnlyAdd->isChecked());
    // No Configure.ini and no master two levels above the program's folder: nothing to suggest.
    QCOMPARE(Form->edtTotalPath->text(), QString());
    QVERIFY(Form->FCloseConfirmation);
    QVERIFY(Form->FSongFiles && Form->FSongFiles->isEmpty());
    QVERIFY(!Form->cnnLocal->Connected());
    QCOMPARE(QDir::currentPath() + "/", FKtv->Path("KTV/Tools/"));
    QVERIFY(!Form->btnPrior->isEnabled());
    QCOMPARE(Form->btnNext->text(), QString("下一步(&N)"));
    QVERIFY(Form->FStepPanels.size() == 5);
    QCOMPARE(Form->FStepPanels[0]->objectName(), QString("pnl1"));
    // The count labels of steps 3 and 4 before the first count, as the system has them.
    QCOMPARE(Form->lblsRight->text(), QString("0%"));
    QCOMPARE(Form->lblaRight->text(), QString("0%"));
    QVERIFY(Form->FStepPanels[0]->isVisible());
    QCOMPARE(Form->windowIcon().availableSizes().size(), 7);
}

void TestMain::RemembersTheLastRun() {
    FKtv->WriteFile("KTV/Tools/Tools.ini", "[Corvena]\nOverWrite=0\n[History]\n"
                                           "CorvenSongPath= D:\\歌曲 \nCorvenTotalPath=\" \"\n");
    FKtv->WriteFile("KTV/Configure.ini", "[DataBase]\nTotal=X:\\Total.mdb\n");
    TProbe* Form = Make();
    QVERIFY(Form->chkOnlyAdd->isChecked());
    QCOMPARE(Form->edtSongPath->text(), QString("D:\\歌曲"));
    QCOMPARE(Form->edtTotalPath->text(), QString("X:\\Total.mdb"));
}

void TestMain::InvalidHandleStillBuildsTheWholeWindow() {
    FKtv->WriteFile("KTV/Tools/Tools.ini", "[History]\nCorvenSongPath=/songs\n");
    TProbe* Form = Make({"corvena", "/i", "xyz"});
    QCOMPARE(Form->FMainAppHandle, std::uintptr_t(0));
    QCOMPARE(Form->Step(), 1);
    QCOMPARE(Form->Title(), QString("第1步：指定歌曲文件"));
    QCOMPARE(Form->edtSongPath->text(), QString("/songs"));
    QVERIFY(Form->FCloseConfirmation);
}

void TestMain::SongFolderChecks_data() {
    QTest::addColumn<QString>("Folder");
    QTest::addColumn<QString>("Error");
    QTest::addColumn<QString>("Reason"); // the second line names the folder and says why
    const QString Missing = "指定的路径不存在!";
    QTest::addRow("empty") << QString() << QString("请指定歌曲文件的存放位置!") << QString();
    QTest::addRow("blanks only") << QString("   ") << Missing << QString("没有这个文件夹");
    QTest::addRow("missing") << QString("@missing") << Missing << QString("没有这个文件夹");
    QTest::addRow("a file") << QString("@file") << Missing << QString("这是一个文件，不是文件夹");
    QTest::addRow("below a file") << QString("@file/x") << Missing << QString("路径中有一部分不是文件夹");
    QTest::addRow("folder with blank around") << QString("@songs ") << Missing << QString("没有这个文件夹");
    QTest::addRow("folder") << QString("@songs") << QString() << QString();
}

void TestMain::SongFolderChecks() {
    QFETCH(QString, Folder);
    QFETCH(QString, Error);
    QFETCH(QString, Reason);
    FKtv->WriteFile("KTV/song.mpg", "");
    Folder.replace("@missing", FKtv->Path("KTV/Nowhere"))
        .replace("@file", FKtv->Path("KTV/song.mpg"))
        .replace("@songs", FKtv->Path("KTV/Songs"));
    TProbe* Form = Make();
    Form->edtSongPath->setText(Folder);
    Next(Form);
    if (Error.isEmpty()) {
        QCOMPARE(Form->Step(), 2);
        QVERIFY(FBoxes->Shown().empty());
        return;
    }
    QCOMPARE(Form->Step(), 1);
    QCOMPARE(FBoxes->Shown().size(), std::size_t(1));
    const TBoxRequest& Box = FBoxes->Shown().front();
    QCOMPARE(Box.Kind, TBoxKind::Error);
    QCOMPARE(Box.Title, QString("  错误"));
    if (Reason.isEmpty()) {
        QCOMPARE(Box.Text, Error);
    } else {
        // The system's text as it is, then the folder and why.
        QCOMPARE(Box.Text, Error + "\r“" + Folder + "”：" + Reason);
        QCOMPARE(Box.Unbroken, QStringList{Folder});
    }
    QCOMPARE(Box.Buttons, QStringList{"确定"});
}

void TestMain::MasterChecks_data() {
    QTest::addColumn<QString>("Master");
    QTest::addColumn<QString>("Error");
    QTest::addColumn<QString>("Reason"); // the line after the system's text starts with this
    const QString Missing = "指定的数据库文件不存在!";
    QTest::addRow("empty") << QString() << QString("请指定“总歌库数据库”文件的存放位置!") << QString();
    QTest::addRow("missing") << QString("@nowhere.mdb") << Missing << QString("“@nowhere.mdb”：没有这个文件");
    QTest::addRow("a folder") << QString("@folder") << Missing << QString("“@Songs”：这是一个文件夹，不是文件");
    QTest::addRow("not a database")
        << QString("@text.mdb") << QString("无法正确连接总歌库数据库“@text.mdb”。\r请检查数据库文件是否正常。")
        << QString("the file is not a database");
    QTest::addRow("an Access file")
        << QString("@access.mdb") << QString("无法正确连接总歌库数据库“@access.mdb”。\r请检查数据库文件是否正常。")
        << QString("it is a damaged Access database: ");
    QTest::addRow("working") << QString("@DataBase/Total.mdb") << QString() << QString();
#ifdef ACCESS_TEST_DATA
    QTest::addRow("a real Access file") << QString("@nwind.mdb") << QString() << QString();
#endif
}

void TestMain::MasterChecks() {
    QFETCH(QString, Master);
    QFETCH(QString, Error);
    QFETCH(QString, Reason);
    FKtv->WriteFile("KTV/text.mdb", "just some text\n");
    FKtv->WriteFile("KTV/access.mdb", std::string("\x00\x01\x00\x00Standard Jet DB\x00", 20));
#ifdef ACCESS_TEST_DATA
    {
        std::ifstream In(ACCESS_TEST_DATA "/nwind.mdb", std::ios::binary);
        FKtv->WriteFile("KTV/nwind.mdb", std::string(std::istreambuf_iterator<char>(In), {}));
    }
#endif
    const QString Base = FKtv->Path("KTV/");
    Master.replace("@folder", FKtv->Path("KTV/Songs")).replace("@", Base);
    Error.replace("@", Base);
    Reason.replace("@", Base);
    TProbe* Form = Make();
    Form->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(Form);
    QCOMPARE(Form->Step(), 2);
    Form->edtTotalPath->setText(Master);
    Next(Form);
    if (Error.isEmpty()) {
        QVERIFY2(FBoxes->Shown().empty(), qPrintable(LastBoxText()));
        QCOMPARE(Form->Step(), 3);
        QVERIFY(Form->cnnLocal->Connected());
        QVERIFY(Form->cnnTotal->Connected());
        return;
    }
    QCOMPARE(Form->Step(), 2);
    if (Reason.isEmpty())
        QCOMPARE(LastBoxText(), Error);
    else
        QVERIFY2(LastBoxText().startsWith(Error + "\r" + Reason), qPrintable(LastBoxText()));
    QCOMPARE(FBoxes->Shown().back().Title, QString("  错误"));
    if (!Reason.isEmpty())
        QVERIFY(FBoxes->Shown().back().Unbroken.contains(Master));
    QVERIFY(!Form->cnnTotal->Connected());
}

void TestMain::LocalDatabaseThatCannotOpen() {
    FKtv->WriteFile("KTV/Configure.ini", "[DataBase]\nLocal=DataBase/Missing.mdb\n");
    TProbe* Form = Make();
    Form->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(Form);
    Form->edtTotalPath->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
    Next(Form);
    QCOMPARE(Form->Step(), 2);
    // The reason, and where the name came from; a named database is never made.
    QCOMPARE(LastBoxText(),
             QString("无法正确连接歌库数据库“DataBase/Missing.mdb”。\r请检查数据库文件是否正常。\r"
                     "the file does not exist\r该名称来自 %1 中 [DataBase] 的 Local。")
                 .arg(FKtv->Path("KTV/Configure.ini")));
    QVERIFY(FBoxes->Shown().back().Unbroken.contains("DataBase/Missing.mdb"));
    QVERIFY(!QFileInfo::exists(FKtv->Path("KTV/Tools/DataBase/Missing.mdb")));
    QVERIFY(!Form->cnnLocal->Connected());
    QVERIFY(!Form->cnnTotal->Connected());

    // Relative names resolve against the program folder, which is now the current one.
    FKtv->WriteFile("KTV/Configure.ini", "[DataBase]\nLocal=../DataBase/Ktv.mdb\n");
    Next(Form);
    QCOMPARE(Form->Step(), 3);
    QCOMPARE(QString::fromStdString(Form->cnnLocal->FileName()),
             QFileInfo(FKtv->Path("KTV/DataBase/Ktv.mdb")).absoluteFilePath());
}

void TestMain::SecondTryAfterAMasterFailure() {
    FKtv->WriteFile("KTV/text.mdb", "not a database");
    TProbe* Form = Make();
    Form->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(Form);
    Form->edtTotalPath->setText(FKtv->Path("KTV/text.mdb"));
    Next(Form);
    QCOMPARE(Form->Step(), 2);
    QVERIFY(Form->cnnLocal->Connected()); // the local database opened before the master failed
    const TConnectionRef FirstLocal = Form->cnnLocal;
    Form->edtTotalPath->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
    Next(Form);
    QCOMPARE(Form->Step(), 3);
    QCOMPARE(FBoxes->Shown().size(), std::size_t(1));
    QVERIFY(Form->cnnLocal->Connected() && Form->cnnTotal->Connected());
    // The connection of the first try is left to whoever still holds it, untouched.
    QVERIFY(Form->cnnLocal != FirstLocal);
    QVERIFY(FirstLocal->Connected());
}

void TestMain::BackBetweenTheFirstTwoSteps() {
    TProbe* Form = Make();
    Form->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(Form);
    QVERIFY(Form->btnPrior->isEnabled());
    Form->btnPrior->click();
    QCOMPARE(Form->Step(), 1);
    QCOMPARE(Form->Title(), QString("第1步：指定歌曲文件"));
}

void TestMain::ClosingAsks_data() {
    QTest::addColumn<int>("Step");
    QTest::addColumn<QString>("Question");
    const QString Frame = "您确实要退出该向导吗？";
    const QString Working = "向导任务正在执行，您确实要退出该向导吗？";
    QTest::addRow("step 1") << 1 << Frame;
    QTest::addRow("step 2") << 2 << Frame;
    QTest::addRow("step 3") << 3 << Working;
    QTest::addRow("step 4") << 4 << Working;
    QTest::addRow("step 5") << 5 << QString();
}

void TestMain::ClosingAsks() {
    QFETCH(int, Step);
    QFETCH(QString, Question);
    TProbe* Form = Make();
    // The worker's messages wait for this thread, so that a worker of steps 3 and 4 is still at
    // work when the window is closed (it would otherwise be done with the small library first).
    Form->AfterMessage = [](const TProbe::TSeen&) {};
    Form->SetStep(Step);
    if (!Question.isEmpty()) {
        FBoxes->Answer(TBoxAnswer::No);
        Form->close();
        QVERIFY(FForm);
        QVERIFY(Form->isVisible());
        QCOMPARE(FBoxes->Shown().size(), std::size_t(1));
        QCOMPARE(FBoxes->Shown()[0].Kind, TBoxKind::Confirmation);
        QCOMPARE(FBoxes->Shown()[0].Title, QString("  确认"));
        QCOMPARE(FBoxes->Shown()[0].Text, Question);
        QCOMPARE(FBoxes->Shown()[0].Buttons, (QStringList{"是(&Y)", "否(&N)"}));
        QCOMPARE(FBoxes->Shown()[0].DefaultButton, 0);
        FBoxes->Answer(TBoxAnswer::Yes);
    }
    Form->close();
    QTRY_VERIFY(!FForm);
    QCOMPARE(FBoxes->Shown().size(), std::size_t(Question.isEmpty() ? 0 : 2));
}

void TestMain::HostCloseNeedsNoAnswer_data() {
    QTest::addColumn<int>("Step");
    for (int Step = 1; Step <= 5; ++Step)
        QTest::addRow("step %d", Step) << Step;
}

void TestMain::HostCloseNeedsNoAnswer() {
    QFETCH(int, Step);
    TProbe* Form = Make();
    Form->SetStep(Step);
    // From another thread, as the host's message would arrive.
    const TWindowHandle Handle = Form->Handle();
    std::unique_ptr<QThread> Host(QThread::create([Handle] { SendMessageW(Handle, WM_WIZ_CLOSE, 0, 0); }));
    Host->start();
    QTRY_VERIFY(!FForm);
    QVERIFY(Host->wait(5000));
    // No question (on step 4 a run without connections may report its failure first).
    for (const TBoxRequest& Box : FBoxes->Shown())
        QVERIFY(Box.Kind != TBoxKind::Confirmation);
}

void TestMain::CloseReleasesTheConnections() {
    TProbe* Form = Make();
    Form->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(Form);
    Form->edtTotalPath->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
    Next(Form);
    QCOMPARE(Form->Step(), 3);
    // Something still holding the connection and the list (as a stopping worker would)
    // keeps them usable after the window let go.
    TConnectionRef Held = Form->cnnLocal;
    TStringListRef Files = Form->FSongFiles;
    std::weak_ptr<TConnection> Total = Form->cnnTotal;
    FBoxes->Answer(TBoxAnswer::Yes);
    Form->close();
    Form->close(); // a second request runs nothing twice
    QCOMPARE(FBoxes->Shown().size(), std::size_t(1));
    QTRY_VERIFY(!FForm);
    QVERIFY(Total.expired());
    QVERIFY(Held->Connected());
    TQuery Query(*Held);
    Query.SetSQL("select count(*) from Songs");
    Query.Open();
    QCOMPARE(Query.FieldAsInteger(0), 0);
    Files->append("still here");
}

void TestMain::BrowseButtons() {
    TProbe* Form = Make();
    QString Answer = "/media/歌曲";
    std::vector<TDialogKind> Asked;
    SetDialogHandler([&](TDialogKind AKind, QFileDialog&) {
        Asked.push_back(AKind);
        return Answer;
    });
    Form->edtSongPath->Button()->click();
    QCOMPARE(Form->edtSongPath->text(), QString("/media/歌曲"));
    Answer = "/media/Total.mdb";
    Form->edtTotalPath->Button()->click();
    QCOMPARE(Form->edtTotalPath->text(), QString("/media/Total.mdb"));
    Answer.clear(); // cancelled: the edits keep their text
    Form->edtSongPath->Button()->click();
    Form->edtTotalPath->Button()->click();
    SetDialogHandler({});
    QCOMPARE(Form->edtSongPath->text(), QString("/media/歌曲"));
    QCOMPARE(Form->edtTotalPath->text(), QString("/media/Total.mdb"));
    QCOMPARE(Asked, (std::vector<TDialogKind>{TDialogKind::Folder, TDialogKind::File,
                                              TDialogKind::Folder, TDialogKind::File}));
    QCOMPARE(Form->edtSongPath->Button()->toolTip(), QString("浏览歌曲文件夹"));
    QCOMPARE(Form->edtTotalPath->Button()->toolTip(), QString("浏览总库数据库文件"));
}

void TestMain::BrowseDialogsStartAtWhatIsTyped_data() {
    QTest::addColumn<bool>("Folder"); // the song folder's browser, else the master's
    QTest::addColumn<QString>("Typed");
    QTest::addColumn<QString>("Directory"); // "~" is the home folder
    QTest::addColumn<QString>("Selected");  // the file chosen in it, "" for none
    QTest::addRow("folder: a folder") << true << "@KTV/Songs" << "@KTV/Songs" << "";
    QTest::addRow("folder: missing below a folder") << true << "@KTV/Songs/new/deeper" << "@KTV/Songs" << "";
    QTest::addRow("folder: relative, from the program's folder") << true << "../Songs" << "@KTV/Songs" << "";
    QTest::addRow("folder: nothing typed") << true << "" << "~" << "";
    QTest::addRow("master: a file") << false << "@KTV/DataBase/Total.mdb" << "@KTV/DataBase"
                                    << "@KTV/DataBase/Total.mdb";
    QTest::addRow("master: missing file") << false << "@KTV/DataBase/Gone.accdb" << "@KTV/DataBase" << "";
    QTest::addRow("master: a folder") << false << "@KTV/DataBase" << "@KTV/DataBase" << "";
}

// The dialogs open where the edit points, titled for what they pick; the master's offers
// .mdb and .accdb files, then any file.
void TestMain::BrowseDialogsStartAtWhatIsTyped() {
    QFETCH(bool, Folder);
    QFETCH(QString, Typed);
    QFETCH(QString, Directory);
    QFETCH(QString, Selected);
    const QString Root = FKtv->Path("");
    for (QString* Text : {&Typed, &Directory, &Selected})
        Text->replace("@", Root).replace("~", QDir::homePath());
    TProbe* Form = Make();
    TButtonEdit* Edit = Folder ? Form->edtSongPath : Form->edtTotalPath;
    Edit->setText(Typed);
    QString Title, Seen;
    QStringList Filters, Chosen;
    SetDialogHandler([&](TDialogKind, QFileDialog& ADialog) {
        Title = ADialog.windowTitle();
        Seen = ADialog.directory().absolutePath();
        Filters = ADialog.nameFilters();
        Chosen = ADialog.selectedFiles();
        return QString();
    });
    Edit->Button()->click();
    SetDialogHandler({});
    QCOMPARE(QDir(Seen).canonicalPath(), QDir(Directory).canonicalPath());
    if (!Selected.isEmpty())
        QCOMPARE(Chosen, QStringList{Selected});
    if (Folder) {
        QCOMPARE(Title, QString("浏览文件夹"));
    } else {
        QCOMPARE(Title, QString("选择总歌库数据库文件"));
        QCOMPARE(Filters, (QStringList{"数据库文件 (*.mdb *.accdb)", "所有文件 (*)"}));
    }
    QCOMPARE(Edit->text(), Typed); // cancelled: the edit keeps its text
}

void TestMain::StatusAndProgressMessages() {
    TProbe* Form = Make();
    const std::u16string Search = u"正在搜索文件...";
    const std::u16string Index = u"正在索引歌曲...";
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 0, reinterpret_cast<TLParam>(Search.c_str()));
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 1, reinterpret_cast<TLParam>(Index.c_str()));
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 2, reinterpret_cast<TLParam>(u"ignored"));
    QCOMPARE(Form->lblsLeft->text(), QString("正在搜索文件..."));
    QCOMPARE(Form->lblaLeft->text(), QString("正在索引歌曲..."));
    // The search count goes on its label in the event loop's next pass, sized to it.
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 1233, 0);
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 1234, 0);
    QVERIFY(RunUntil([&] { return Form->lblsRight->text() == QString("1234"); }, 2000));
    QCOMPARE(Form->lblsRight->geometry().right() + 1, 466);
    QCOMPARE(Form->lblsRight->width(), Form->lblsRight->sizeHint().width());
    QCOMPARE(Form->ProgressBar->value(), 0);
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 12, 340);
    QCOMPARE(Form->lblaRight->text(), QString("12/340"));
    QCOMPARE(Form->ProgressBar->maximum(), 340);
    QCOMPARE(Form->ProgressBar->value(), 12);
}

// A status from another thread is read while its sender waits (the text may be gone right
// after), and neither it nor a progress message waits for the window's thread, which shows them
// once it looks.
void TestMain::StatusFromAnotherThreadIsReadWhileItsSenderWaits() {
    TProbe* Form = Make();
    const TWindowHandle Handle = Form->Handle();
    auto Sender = std::async(std::launch::async, [Handle] {
        std::u16string Text = u"正在整理歌库...";
        SendMessageW(Handle, WM_WIZ_STATUS, 1, reinterpret_cast<TLParam>(Text.c_str()));
        Text.assign(Text.size(), u'x');
        SendMessageW(Handle, WM_WIZ_PROGRESS, 5, 9);
    });
    // This thread takes no events meanwhile.
    const bool Alone = Sender.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    QVERIFY(RunUntil([&] { return Sender.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    QVERIFY2(Alone, "the sender waited for the window's thread");
    QVERIFY(RunUntil([&] { return Form->lblaRight->text() == QString("5/9"); }, 2000));
    QCOMPARE(Form->lblaLeft->text(), QString("正在整理歌库..."));
    QCOMPARE(Form->ProgressBar->maximum(), 9);
    QCOMPARE(Form->ProgressBar->value(), 5);
}

// The index worker reports every file; the bar and its label change once a screen frame (the
// bar would otherwise repaint at once whenever it moves), and the last count always shows.
void TestMain::IndexProgressAtScreenRate() {
    TProbe* Form = Make();
    QWidget* Page = Form->FStepPanels[3];
    Page->show();
    Page->raise();
    QVERIFY(QTest::qWaitForWindowExposed(Form));
    QCoreApplication::processEvents();
    TPaintCounter Counter;
    Form->ProgressBar->installEventFilter(&Counter);
    Form->lblaRight->installEventFilter(&Counter);
    constexpr int Total = 20000;
    QElapsedTimer Clock;
    Clock.start();
    for (int I = 1; I <= Total; ++I) {
        SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, static_cast<TWParam>(I), Total);
        if (I % 50 == 0)
            QCoreApplication::processEvents(); // the event loop's passes during a run
    }
    const qint64 Elapsed = Clock.elapsed();
    const int Paints = Counter.Paints;
    QVERIFY(RunUntil([&] { return Form->lblaRight->text() == QString("20000/20000"); }, 2000));
    QCOMPARE(Form->ProgressBar->maximum(), Total);
    QCOMPARE(Form->ProgressBar->value(), Total);
    // Two widgets, each at most once a 16 ms frame (and once more at either end).
    qInfo("%d paints in %lld ms", Paints, static_cast<long long>(Elapsed));
    QVERIFY2(Paints <= 2 * (Elapsed / 16 + 2), qPrintable(QString::number(Paints)));
    // The status that ends the run shows the count as it stands.
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 3, 3);
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 4, 5);
    const std::u16string Done = u"索引歌曲已完成!";
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 1, reinterpret_cast<TLParam>(Done.c_str()));
    QCOMPARE(Form->lblaRight->text(), QString("4/5"));
    QCOMPARE(Form->ProgressBar->value(), 4);
}

void TestMain::ProgressAnimation() {
    TProbe* Form = Make();
    QMovie* Movie = Form->imgProgress->movie();
    QVERIFY(Movie != nullptr);
    QVERIFY2(Movie->isValid(), "the animation is missing from the resources");
    QCOMPARE(Movie->frameCount(), 92);
    QCOMPARE(Movie->loopCount(), -1);
    // The stored frame time, read from the file itself: a movie's next delay is what is left
    // of it, which a loaded machine can shorten.
    QImageReader Reader(QStringLiteral(":/wizard/progress.gif"));
    QCOMPARE(Reader.imageCount(), 92);
    QCOMPARE(Reader.nextImageDelay(), 100);
    QCOMPARE(Form->imgProgress->geometry(), QRect(91, 199, 375, 22));
    QCOMPARE(Movie->currentImage().size(), QSize(375, 22));
}

void TestMain::ProgramRunsUntilItsWindowCloses_data() {
    QTest::addColumn<QStringList>("Arguments");
    QTest::addColumn<qulonglong>("Host");
    QTest::addRow("no arguments") << QStringList{"corvena"} << 0ULL;
    QTest::addRow("/i 1234") << QStringList{"corvena", "/i", "1234"} << 1234ULL;
    QTest::addRow("/i xyz") << QStringList{"corvena", "/i", "xyz"} << 0ULL;
}

void TestMain::ProgramRunsUntilItsWindowCloses() {
    QFETCH(QStringList, Arguments);
    QFETCH(qulonglong, Host);
    int SeenStep = 0;
    qulonglong SeenHost = 99;
    const TProgramWindowWatch Watch([&](TMainForm* AForm) {
        SeenStep = AForm->Step();
        SeenHost = AForm->*(&TProbe::FMainAppHandle);
        AForm->close(); // answered Yes by default
    });
    QCOMPARE(RunCorvena(Arguments, FKtv->Program()), 0); // 1: no window showed
    QCOMPARE(SeenStep, 1);
    QCOMPARE(SeenHost, Host);
}

namespace {

// What the host link received.
struct THostSpy {
    THostSpy() {
        SetHostLink([this](TWindowHandle AHandle, unsigned AMsg, TWParam AWParam, TLParam ALParam) {
            Messages.push_back({AHandle, AMsg, AWParam, ALParam});
            return TLParam(0);
        });
    }
    ~THostSpy() { SetHostLink({}); }
    struct TMessage {
        TWindowHandle Handle;
        unsigned Msg;
        TWParam WParam;
        TLParam LParam;
    };
    std::vector<TMessage> Messages;
};

// The statuses a run showed, in order, as (wParam, text).
std::vector<std::pair<TWParam, QString>> Statuses(const TProbe& AForm) {
    std::vector<std::pair<TWParam, QString>> Result;
    for (const auto& Seen : AForm.Seen)
        if (Seen.Msg == WM_WIZ_STATUS)
            Result.emplace_back(Seen.WParam, Seen.Text);
    return Result;
}

int CountRows(const QString& AFile, const char* ATable) {
    return std::stoi(QueryText(AFile.toStdString(), std::string("select count(*) from ") + ATable));
}

} // namespace

// The index worker runs through its files while the window's thread is busy elsewhere (here:
// blocked until the worker ends); the window then shows where the run ended.
void TestMain::IndexWorkerDoesNotWaitForTheWindow() {
    MakeLibrary(300);
    TProbe* Form = Make();
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 4; }));
    const QPointer<QThread> Worker = Form->FThrdSongIndex;
    QVERIFY(Worker);
    // Deleted only by this thread's event loop once it has finished.
    const bool Alone = Worker->wait(10000);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY2(Alone, "the worker waited for the window's thread");
    QCOMPARE(CountRows(FKtv->Path("KTV/DataBase/Ktv.mdb"), "Songs"), 300);
    QCOMPARE(Form->lblaLeft->text(), QString("索引歌曲已完成!"));
    QCOMPARE(Form->lblaRight->text(), QString("300/300"));
    QCOMPARE(Form->ProgressBar->value(), 300);
    std::vector<TWParam> IndexSteps, Expected(300);
    std::iota(Expected.begin(), Expected.end(), TWParam(1));
    for (const auto& Seen : Form->Seen)
        if (Seen.Msg == WM_WIZ_PROGRESS && Seen.LParam != 0)
            IndexSteps.push_back(Seen.WParam);
    QCOMPARE(IndexSteps, Expected);
}

void TestMain::WholeRun_data() {
    QTest::addColumn<QStringList>("Arguments");
    QTest::addColumn<bool>("OnlyAdd");
    QTest::addRow("no host") << QStringList{"corvena"} << false;
    QTest::addRow("host 1234, only add") << QStringList{"corvena", "/i", "1234"} << true;
}

// The whole run in the real window: the search, the indexing, the host told, the choices saved.
void TestMain::WholeRun() {
    QFETCH(QStringList, Arguments);
    QFETCH(bool, OnlyAdd);
    MakeLibrary(6);
    FKtv->WriteFile("KTV/Songs/unknown.txt", "");
    THostSpy Host;
    TProbe* Form = Make(Arguments);
    Form->chkOnlyAdd->setChecked(OnlyAdd);
    StartRun(Form);
    QVERIFY(!Form->btnPrior->isEnabled());
    QVERIFY(!Form->btnNext->isEnabled());
    QCOMPARE(Form->imgProgress->movie()->speed(), 500);
    QCOMPARE(Form->imgProgress->movie()->state(), QMovie::Running);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY(FBoxes->Shown().empty());

    const std::vector<std::pair<TWParam, QString>> Expected{
        {0, "正在初始化,请稍侯..."}, {0, "正在搜索文件..."}, {0, "搜索文件已完成!"},
        {1, "正在初始化,请稍侯..."}, {1, "正在索引歌曲..."}, {1, "索引歌曲已完成!"}};
    QCOMPARE(Statuses(*Form), Expected);
    // Search progress counts the files seen; index progress runs 1..7 of 7.
    std::vector<TWParam> SearchCounts, IndexSteps;
    for (const auto& Seen : Form->Seen)
        if (Seen.Msg == WM_WIZ_PROGRESS)
            (Seen.LParam == 0 ? SearchCounts : IndexSteps).push_back(Seen.WParam);
    QCOMPARE(SearchCounts.back(), TWParam(7));
    QVERIFY(std::is_sorted(SearchCounts.begin(), SearchCounts.end()));
    QCOMPARE(IndexSteps, (std::vector<TWParam>{1, 2, 3, 4, 5, 6, 7}));
    QCOMPARE(Form->lblsLeft->text(), QString("搜索文件已完成!"));
    QCOMPARE(Form->lblsRight->text(), QString("7"));
    QCOMPARE(Form->lblaLeft->text(), QString("索引歌曲已完成!"));
    QCOMPARE(Form->lblaRight->text(), QString("7/7"));
    QCOMPARE(Form->ProgressBar->value(), 7);
    QCOMPARE(Form->ProgressBar->maximum(), 7);
    // The search's strip stopped on its empty track: no block left lit.
    QCOMPARE(Form->imgProgress->movie()->state(), QMovie::NotRunning);
    QCOMPARE(Form->imgProgress->movie()->currentFrameNumber(), 0);

    const QString Local = FKtv->Path("KTV/DataBase/Ktv.mdb");
    QCOMPARE(CountRows(Local, "Songs"), 6);
    QCOMPARE(CountRows(Local, "Discos"), 2);
    QCOMPARE(QueryText(Local.toStdString(), "select FilePath from Songs where SongNumber = '10002'"),
             FKtv->Path("KTV/Songs/A/10002.mpg").toStdString());

    // Step 5: only Finish, and the choices as typed.
    QVERIFY(!Form->btnPrior->isVisible());
    QVERIFY(Form->btnNext->isEnabled());
    QCOMPARE(Form->btnNext->text(), QString("完成(&F)"));
    const TWizardChoices Saved = ReadWizardChoices(StandardConfigPlaces(FKtv->Program().toStdString()));
    QCOMPARE(QString::fromStdString(Saved.SongPath), FKtv->Path("KTV/Songs"));
    QCOMPARE(QString::fromStdString(Saved.TotalPath), FKtv->Path("KTV/DataBase/Total.mdb"));
    QCOMPARE(Saved.OnlyAdd, OnlyAdd);

    if (Arguments.size() == 1) {
        QVERIFY(Host.Messages.empty());
    } else {
        QCOMPARE(Host.Messages.size(), std::size_t(1));
        QCOMPARE(Host.Messages[0].Handle, TWindowHandle(1234));
        QCOMPARE(Host.Messages[0].Msg, WM_WIZ_INDEXED);
        QCOMPARE(Host.Messages[0].WParam, TWParam(0));
        QCOMPARE(Host.Messages[0].LParam, TLParam(0));
    }
    Next(Form); // Finish
    QTRY_VERIFY(!FForm);
}

void TestMain::ClosingDuringTheRun_data() {
    QTest::addColumn<int>("Step");
    QTest::addColumn<bool>("Yes");
    QTest::addRow("step 3, Yes") << 3 << true;
    QTest::addRow("step 3, No") << 3 << false;
    QTest::addRow("step 4, Yes") << 4 << true;
    QTest::addRow("step 4, No") << 4 << false;
}

// Yes stops the worker and closes (no step 5, no host message); No goes on to the end.
void TestMain::ClosingDuringTheRun() {
    QFETCH(int, Step);
    QFETCH(bool, Yes);
    MakeLibrary(400);
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"});
    bool Asked = false;
    Form->AfterMessage = [&](const TProbe::TSeen& AMessage) {
        // Halfway through the step's work, from inside the worker's own message.
        const bool Halfway = Step == 3 ? AMessage.Msg == WM_WIZ_PROGRESS && AMessage.LParam == 0 &&
                                             AMessage.WParam == 200
                                       : AMessage.Msg == WM_WIZ_PROGRESS && AMessage.LParam != 0 &&
                                             AMessage.WParam == 200;
        if (!Halfway || Asked)
            return;
        Asked = true;
        FBoxes->Answer(Yes ? TBoxAnswer::Yes : TBoxAnswer::No);
        Form->close();
    };
    StartRun(Form);
    if (Yes) {
        QVERIFY(RunUntil([&] { return FForm.isNull(); }));
        QVERIFY(Asked);
        QVERIFY(Host.Messages.empty());
        const int Songs = CountRows(FKtv->Path("KTV/DataBase/Ktv.mdb"), "Songs");
        if (Step == 3)
            QCOMPARE(Songs, 0);
        else
            QVERIFY2(Songs >= 199 && Songs <= 200, qPrintable(QString::number(Songs)));
    } else {
        QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
        QVERIFY(Asked);
        QCOMPARE(Host.Messages.size(), std::size_t(1));
        QCOMPARE(CountRows(FKtv->Path("KTV/DataBase/Ktv.mdb"), "Songs"), 400);
    }
    QCOMPARE(FBoxes->Shown().size(), std::size_t(1));
    QCOMPARE(FBoxes->Shown()[0].Text, QString("向导任务正在执行，您确实要退出该向导吗？"));
}

// A worker that has just finished, its completion still queued when the window closes: the
// completion must not run (no host message, no step 5 after the operator quit).
void TestMain::FinishedWorkersCompletionAfterClose() {
    MakeLibrary(3);
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"});
    bool Closed = false;
    QPointer<QThread> Worker;
    Form->AfterMessage = [&](const TProbe::TSeen& AMessage) {
        if (AMessage.Msg != WM_WIZ_STATUS || AMessage.Text != "索引歌曲已完成!")
            return;
        // Runs after this message returns, before the worker's end is delivered.
        QMetaObject::invokeMethod(Form, [&] {
            Worker = Form->FThrdSongIndex;
            QVERIFY(Worker->wait(5000)); // finished, its completion queued
            FBoxes->Answer(TBoxAnswer::Yes);
            Form->close();
            Closed = true;
        }, Qt::QueuedConnection);
    };
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Closed; }));
    QTRY_VERIFY(!FForm);
    // The worker's release was queued behind its completion: once it is gone, the completion
    // has been delivered or dropped.
    QVERIFY(RunUntil([&] { return Worker.isNull(); }));
    QVERIFY(Host.Messages.empty());
}

// The host's close arriving while the close question is open wins: the window closes whatever
// the answer.
void TestMain::HostCloseWhileTheQuestionIsOpen() {
    TProbe* Form = Make();
    const TWindowHandle Handle = Form->Handle();
    int Asked = 0;
    SetBoxHandler([&](const TBoxRequest&) {
        ++Asked;
        SendMessageW(Handle, WM_WIZ_CLOSE, 0, 0);
        return TBoxAnswer::No;
    });
    Form->close();
    SetBoxHandler({});
    QTRY_VERIFY(!FForm);
    QCOMPARE(Asked, 1);
}

void TestMain::FailedRunsAreShown_data() {
    QTest::addColumn<QString>("Master");
    QTest::addColumn<QString>("Text");
    QTest::addRow("no Songs in the master") << "create table Other (X TEXT)"
                                           << "无法从总歌库数据库“%1”读取歌曲信息。\r";
    QTest::addRow("a column missing") << "SongID INTEGER PRIMARY KEY, SongNumber TEXT, SongName TEXT, FilePath TEXT"
                                      << "有 3 个文件未能写入歌曲信息。\r第一个错误：";
}

// No box: the host is told, and step 5 says what failed below the figures.
void TestMain::FailedRunsAreShown() {
    QFETCH(QString, Master);
    QFETCH(QString, Text);
    const std::string MasterFile = FKtv->Path("KTV/DataBase/Total.mdb").toStdString();
    if (Master.startsWith("create")) {
        MakeLibrary(3);
        RunSql(MasterFile, "drop table Songs;" + Master.toStdString());
    } else {
        MakeLibrary(3, Master.toUtf8().constData());
    }
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"});
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY2(FBoxes->Shown().empty(), qPrintable(LastBoxText()));
    const QString Expected = (Text.contains("%1") ? Text.arg(FKtv->Path("KTV/DataBase/Total.mdb")) : Text)
                                 .replace("\r", " ");
    const QString Notes = Form->lblNotes->toolTip();
    QVERIFY2(Notes.startsWith(Expected), qPrintable(Notes));
    QVERIFY2(Notes.size() > Expected.size() + 5, qPrintable(Notes)); // the error's own text
    QVERIFY(Form->lblNotes->isVisible() && !Form->lblNotes->text().isEmpty());
    QCOMPARE(Host.Messages.size(), std::size_t(1));
}

// Files failed and the host closes the wizard at the moment the run ends (as it might while a
// box waits for a click): the host has been told already.
void TestMain::HostToldBeforeAnyoneClicks() {
    MakeLibrary(3, "SongID INTEGER PRIMARY KEY, SongNumber TEXT, SongName TEXT, FilePath TEXT");
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"});
    const TWindowHandle Handle = Form->Handle();
    SetBoxHandler([&](const TBoxRequest&) {
        SendMessageW(Handle, WM_WIZ_CLOSE, 0, 0);
        return TBoxAnswer::Ok;
    });
    StartRun(Form);
    QVERIFY(RunUntil([&] { return FForm.isNull() || Form->Step() == 5; }));
    SetBoxHandler({});
    QCOMPARE(Host.Messages.size(), std::size_t(1));
    QCOMPARE(Host.Messages[0].Msg, WM_WIZ_INDEXED);
    QVERIFY(FForm && Form->Step() == 5);
}

// Step 5's write fails: said once on step 5, naming the file and why; the run is over all the
// same, so closing asks nothing and Finish closes.
void TestMain::ToolFileWriteFailureIsSaidOnce_data() {
    QTest::addColumn<QString>("Button");
    QTest::addRow("Finish") << QString("btnNext");
    QTest::addRow("Cancel") << QString("btnCancel");
}

void TestMain::ToolFileWriteFailureIsSaidOnce() {
    QFETCH(QString, Button);
    MakeLibrary(2);
    const std::filesystem::path ToolFile = FKtv->Path("KTV/Tools/Tools.ini").toStdString();
    std::filesystem::create_directories(ToolFile); // a folder where the file must go
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"});
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY2(FBoxes->Shown().empty(), qPrintable(LastBoxText()));
    QCOMPARE(Host.Messages.size(), std::size_t(1));
    const QString Notes = Form->lblNotes->toolTip();
    QVERIFY2(Notes.startsWith(QString("无法保存向导设置文件“%1”。 ").arg(FKtv->Path("KTV/Tools/Tools.ini"))),
             qPrintable(Notes));
    QVERIFY2(Notes.contains("Is a directory"), qPrintable(Notes));
    QCOMPARE(Notes.count("无法保存"), 1);
    QVERIFY(Form->btnNext->isEnabled());
    QCOMPARE(Form->Title(), QString("第5步：完成索引"));
    Form->findChild<QPushButton*>(Button)->click(); // nothing runs: no question either way
    QTRY_VERIFY(!FForm);
    QVERIFY(FBoxes->Shown().empty());
}

// Closed during the indexing, the program returns only once the worker has stopped: nothing
// is written after RunCorvena returned.
void TestMain::ProgramWaitsForAStoppingWorker() {
    MakeLibrary(400);
    const QString Local = FKtv->Path("KTV/DataBase/Ktv.mdb");
    QTimer Driver;
    bool Started = false;
    bool Stopped = false;
    QPointer<QThread> Worker;
    QObject::connect(&Driver, &QTimer::timeout, [&] {
        for (QWidget* Window : QApplication::topLevelWidgets()) {
            auto* Form = qobject_cast<TMainForm*>(Window);
            if (Form == nullptr)
                continue;
            // The program's own window: reached through its controls' names.
            const auto Edit = [Form](const char* AName) { return Form->findChild<QLineEdit*>(AName); };
            auto* NextButton = Form->findChild<QPushButton*>("btnNext");
            if (!Started) {
                Started = true;
                Edit("edtSongPath")->setText(FKtv->Path("KTV/Songs"));
                NextButton->click();
                Edit("edtTotalPath")->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
                NextButton->click();
            } else if (Form->Step() == 4 && Form->findChild<QProgressBar*>("ProgressBar")->value() > 20) {
                // The program's window is no probe, but the probe names the field public.
                Worker = Form->*(&TProbe::FThrdSongIndex);
                Stopped = !Worker.isNull();
                FBoxes->Answer(TBoxAnswer::Yes);
                Form->close();
            }
        }
    });
    Driver.start(1);
    QCOMPARE(RunCorvena({"corvena"}, FKtv->Program()), 0);
    Driver.stop();
    const int Songs = CountRows(Local, "Songs");
    QVERIFY2(Songs > 0 && Songs < 400, qPrintable(QString::number(Songs)));
    // Its thread has ended: nothing can be written any more.
    QVERIFY(Stopped);
    QVERIFY(Worker.isNull() || Worker->isFinished());
}

namespace {

QString FigureText(TProbe* AForm, const char* AName) {
    auto* Label = AForm->findChild<QLabel*>(AName);
    return Label != nullptr ? Label->text() : QStringLiteral("(missing)");
}

QByteArray ReadAll(const QString& AFile) {
    QFile File(AFile);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray("(unreadable)");
}

} // namespace

void TestMain::StepFiveShowsTheRun_data() {
    QTest::addColumn<QString>("Library");
    QTest::addColumn<int>("Runs");
    QTest::addColumn<bool>("OnlyAdd");
    // files found, new, rewritten, kept, without a name, unmatched, near, failed, not collected
    QTest::addColumn<QList<int>>("Figures");
    QTest::addRow("unmatched, nameless, not collected") << "mixed" << 1 << false
                                                        << QList<int>{7, 4, 0, 0, 1, 2, 0, 0, 1};
    QTest::addRow("again, rewriting") << "plain" << 2 << false << QList<int>{4, 0, 4, 0, 0, 0, 0, 0, 0};
    QTest::addRow("again, only adding") << "plain" << 2 << true << QList<int>{4, 0, 0, 4, 0, 0, 0, 0, 0};
    QTest::addRow("every write fails") << "failing" << 1 << false << QList<int>{3, 0, 0, 0, 0, 0, 0, 3, 0};
}

// The figures below the closing text, and the button only when something was left out.
void TestMain::StepFiveShowsTheRun() {
    QFETCH(QString, Library);
    QFETCH(int, Runs);
    QFETCH(bool, OnlyAdd);
    QFETCH(QList<int>, Figures);
    if (Library == "failing")
        MakeLibrary(3, "SongID INTEGER PRIMARY KEY, SongNumber TEXT, SongName TEXT, FilePath TEXT");
    else
        MakeLibrary(4);
    if (Library == "mixed") {
        FKtv->WriteFile("KTV/Songs/unknown.mpg", "");
        FKtv->WriteFile("KTV/Songs/B/unknown.vob", "");
        FKtv->WriteFile("KTV/Songs/bad\xff.mpg", "");
        FKtv->WriteFile("KTV/Songs/A/20001.mpg", "");
        RunSql(FKtv->Path("KTV/DataBase/Total.mdb").toStdString(),
               "insert into Songs (SongNumber, SongName, FilePath) values ('20001', '', '20001.mpg')");
    }
    for (int Run = 1; Run <= Runs; ++Run) {
        TProbe* Form = Make();
        Form->chkOnlyAdd->setChecked(OnlyAdd);
        StartRun(Form);
        QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
        if (Run < Runs) {
            Next(Form);
            QTRY_VERIFY(!FForm);
        }
    }
    TProbe* Form = FForm;
    // The original text stays as it was, the figures come below it.
    QCOMPARE(Form->lblHint5_0->text(), QString("    “离线索引歌曲”执行完毕!   点击“完成”，关闭该向导。"));
    const char* const Names[] = {"lblFilesFound", "lblInserted", "lblUpdated", "lblKept", "lblWithoutName",
                                 "lblUnmatched", "lblNearMatches", "lblFailed", "lblNotCollected"};
    for (std::size_t I = 0; I < std::size(Names); ++I) {
        QCOMPARE(FigureText(Form, Names[I]), QString::number(Figures[static_cast<qsizetype>(I)]));
        auto* Value = Form->findChild<QLabel*>(Names[I]);
        QVERIFY2(Value->isVisible() && Value->mapTo(Form, QPoint(0, 0)).y() >=
                                           Form->lblHint5_0->mapTo(Form, QPoint(0, Form->lblHint5_0->height())).y(),
                 Names[I]);
    }
    QCOMPARE(Form->btnSkipped->isEnabled(), Figures[4] + Figures[5] + Figures[7] + Figures[8] > 0);
    QVERIFY(Form->btnSkipped->isVisible());
    if (Library == "mixed") {
        // Files without a song name are left out too, and listed last.
        Form->btnSkipped->click();
        auto* Grid = Form->FSkippedDialog->findChild<QTableWidget*>("grdFiles");
        QCOMPARE(Grid->rowCount(), 4);
        QCOMPARE(Grid->item(3, 0)->text(), FKtv->Path("KTV/Songs/A/20001.mpg"));
        QCOMPARE(Grid->item(3, 1)->text(), QString("总歌库中没有歌名"));
    }
}

// The list: every file left out with its reason, saved as UTF-8 text and as CSV exactly.
void TestMain::SkippedListAndItsFile() {
    MakeLibrary(2, "SongID INTEGER PRIMARY KEY, SongNumber TEXT, SongName TEXT, FilePath TEXT");
    FKtv->WriteFile("KTV/Songs/odd, \"name\".mpg", "");
    FKtv->WriteFile("KTV/Songs/bad\xff.mpg", "");
    TProbe* Form = Make();
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY(Form->btnSkipped->isEnabled());
    Form->btnSkipped->click();
    QVERIFY(Form->FSkippedDialog && Form->FSkippedDialog->isVisible());
    auto* Grid = Form->FSkippedDialog->findChild<QTableWidget*>("grdFiles");
    QCOMPARE(Grid->rowCount(), 4);
    const QString Songs = FKtv->Path("KTV/Songs/");
    const QString Unmatched = Songs + "odd, \"name\".mpg";
    // Not collected, the failures (in the order indexed), the unmatched.
    QCOMPARE(Grid->item(0, 0)->text(), Songs + "bad\\xFF.mpg");
    QCOMPARE(Grid->item(0, 1)->text(), QString("未收集"));
    QCOMPARE(Grid->item(0, 2)->text(), QString("file name is not valid UTF-8"));
    QStringList Failed{Grid->item(1, 0)->text(), Grid->item(2, 0)->text()};
    Failed.sort();
    QCOMPARE(Failed, (QStringList{Songs + "A/10002.mpg", Songs + "B/10001.mpg"}));
    for (int Row : {1, 2}) {
        QCOMPARE(Grid->item(Row, 1)->text(), QString("写入失败"));
        QVERIFY(!Grid->item(Row, 2)->text().isEmpty()); // the error's own text
    }
    QCOMPARE(Grid->item(3, 0)->text(), Unmatched);
    QCOMPARE(Grid->item(3, 1)->text(), QString("总歌库中没有此文件名"));
    QCOMPARE(Grid->item(3, 2)->text(), QString());

    const TTempDir Out;
    QString Answer;
    SetDialogHandler([&](TDialogKind AKind, QFileDialog&) { return AKind == TDialogKind::SaveList ? Answer : QString(); });
    auto* Save = Form->FSkippedDialog->findChild<QPushButton*>("btnSave");
    const QString Failure1 = Grid->item(1, 0)->text() + "\t写入失败\t" + Grid->item(1, 2)->text();
    const QString Failure2 = Grid->item(2, 0)->text() + "\t写入失败\t" + Grid->item(2, 2)->text();
    Answer = QString::fromStdString(Out.File("skipped.txt"));
    Save->click();
    QCOMPARE(QString::fromUtf8(ReadAll(Answer)),
             Songs + "bad\\xFF.mpg\t未收集\tfile name is not valid UTF-8\n" + Failure1 + "\n" + Failure2 + "\n" +
                 Unmatched + "\t总歌库中没有此文件名\n");

    Answer = QString::fromStdString(Out.File("skipped.CSV"));
    Save->click();
    const QString Csv = QString::fromUtf8(ReadAll(Answer));
    const QStringList Lines = Csv.split("\r\n");
    QCOMPARE(Lines.size(), 6); // header, four files, and nothing after the last line end
    QCOMPARE(Lines[0], QString("\xEF\xBB\xBF" "文件,原因,说明"));
    QCOMPARE(Lines[1], Songs + "bad\\xFF.mpg,未收集,file name is not valid UTF-8");
    QVERIFY2(Lines[2].startsWith(Grid->item(1, 0)->text() + ",写入失败,"), qPrintable(Lines[2]));
    QCOMPARE(Lines[4], "\"" + Songs + "odd, \"\"name\"\".mpg\",总歌库中没有此文件名,");
    QCOMPARE(Lines[5], QString());
    QVERIFY(FBoxes->Shown().empty()); // the failures are said on step 5, not in a box

    // A file that cannot be written: told, and nothing left behind.
    Answer = QString::fromStdString(Out.File("no/such/folder/list.txt"));
    Save->click();
    SetDialogHandler({});
    QCOMPARE(FBoxes->Shown().size(), std::size_t(1));
    QCOMPARE(FBoxes->Shown().back().Title, QString("  错误"));
    QVERIFY2(FBoxes->Shown().back().Text.startsWith("无法保存文件“" + Answer + "”。\r"),
             qPrintable(FBoxes->Shown().back().Text));
    QVERIFY(!QFileInfo::exists(Answer));
}

// Near matches come with the report: counted, and listed once each with the master's name.
void TestMain::NearMatchesAreListed() {
    TProbe* Form = Make();
    auto Report = std::make_shared<TSongIdxReport>();
    Report->Unmatched = {"/songs/00001.MPEG", "/songs/x.mpg"};
    Report->NearMatches = {{"/songs/00001.MPEG", "00001.mpg", TNearMatchReason::Extension}};
    Form->FIndexReport = Report;
    Form->SetStep(5);
    QCOMPARE(FigureText(Form, "lblNearMatches"), QString("1"));
    QCOMPARE(FigureText(Form, "lblUnmatched"), QString("2"));
    Form->btnSkipped->click();
    auto* Grid = Form->FSkippedDialog->findChild<QTableWidget*>("grdFiles");
    QCOMPARE(Grid->rowCount(), 2);
    QCOMPARE(Grid->item(0, 0)->text(), QString("/songs/00001.MPEG"));
    QCOMPARE(Grid->item(0, 1)->text(), QString("近似匹配"));
    QCOMPARE(Grid->item(0, 2)->text(), QString("总歌库中的“00001.mpg”：extension"));
    QCOMPARE(Grid->item(1, 0)->text(), QString("/songs/x.mpg"));
}

void TestMain::KeyboardPath_data() {
    QTest::addColumn<bool>("English");
    QTest::addRow("Chinese") << false;
    QTest::addRow("English") << true;
}

// Type the folder, Enter, Enter: the run starts; Tab visits only what is on the page, the
// accelerators lead to their controls, every control has a name for screen readers.
void TestMain::KeyboardPath() {
    QFETCH(bool, English);
    const TUiTranslations Translations(English ? TUiLanguage::English : TUiLanguage::Chinese);
    MakeLibrary(3);
    THostSpy Host;
    TProbe* Form = Make();
    QApplication::setActiveWindow(Form);
    QVERIFY(QTest::qWaitForWindowActive(Form));
    QCOMPARE(QApplication::focusWidget(), Form->edtSongPath);

    for (QWidget* Widget : Form->findChildren<QWidget*>())
        if (Widget->focusPolicy() != Qt::NoFocus || qobject_cast<QProgressBar*>(Widget))
            QVERIFY2(!Widget->accessibleName().isEmpty(), qPrintable(Widget->objectName()));

    const auto Tab = [] {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        return QApplication::focusWidget();
    };
    QCOMPARE(Tab(), Form->edtSongPath->Button());
    QCOMPARE(Tab(), Form->chkOnlyAdd);
    QCOMPARE(Tab(), Form->btnNext); // Back is disabled on step 1
    QCOMPARE(Tab(), Form->btnCancel);
    QCOMPARE(Tab(), Form->edtSongPath);

    QTest::keyClick(Form, Qt::Key_O, Qt::AltModifier);
    QTRY_VERIFY(Form->chkOnlyAdd->isChecked()); // a button's own accelerator clicks a moment later
    QCOMPARE(QApplication::focusWidget(), Form->chkOnlyAdd);
    QTest::keyClick(Form, Qt::Key_S, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), Form->edtSongPath);

    QTest::keyClicks(Form->edtSongPath, FKtv->Path("KTV/Songs"));
    QTest::keyClick(Form->edtSongPath, Qt::Key_Return);
    QCOMPARE(Form->Step(), 2);
    QCOMPARE(QApplication::focusWidget(), Form->edtTotalPath);
    QCOMPARE(Tab(), Form->edtTotalPath->Button());
    QCOMPARE(Tab(), Form->btnPrior);
    QTest::keyClick(Form, Qt::Key_M, Qt::AltModifier);
    QCOMPARE(QApplication::focusWidget(), Form->edtTotalPath);
    Form->edtTotalPath->selectAll();
    QTest::keyClicks(Form->edtTotalPath, FKtv->Path("KTV/DataBase/Total.mdb"));
    QTest::keyClick(Form->edtTotalPath, Qt::Key_Return);
    QCOMPARE(Form->Step(), 3);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY(FBoxes->Shown().empty());
    QCOMPARE(Host.Messages.size(), std::size_t(0));
    QCOMPARE(CountRows(FKtv->Path("KTV/DataBase/Ktv.mdb"), "Songs"), 3);
    QCOMPARE(Form->lblaLeft->text(), English ? QString("Song indexing complete!") : QString("索引歌曲已完成!"));
    QVERIFY(ReadWizardChoices(StandardConfigPlaces(FKtv->Program().toStdString())).OnlyAdd);
}

// The run ends while "向导任务正在执行…" is open: the question goes, the wizard shows step 5
// and the host is told as usual.
void TestMain::TheRunEndingClosesTheQuestion() {
    MakeLibrary(300);
    FBoxes.reset(); // real boxes
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"});
    bool Queued = false;
    Form->AfterMessage = [&](const TProbe::TSeen& AMessage) {
        if (Queued || AMessage.Msg != WM_WIZ_PROGRESS || AMessage.LParam == 0 || AMessage.WParam != 20)
            return;
        Queued = true;
        // From the event loop, as the operator's click would come: not inside the message.
        QMetaObject::invokeMethod(Form, [Form] { Form->close(); }, Qt::QueuedConnection);
    };
    QPointer<QMessageBox> Question;
    bool Stuck = false;
    QTimer Watch;
    QObject::connect(&Watch, &QTimer::timeout, [&] {
        if (auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); Box && !Question)
            Question = Box;
    });
    Watch.start(1);
    // Without the mend the box would wait for ever: answer it No after a while, and fail.
    QTimer::singleShot(15000, [&] {
        Stuck = Question && Question->isVisible();
        DismissOpenBoxes();
    });
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5 && (Question.isNull() || !Question->isVisible()); }, 30000));
    Watch.stop();
    QVERIFY(!Stuck);
    QVERIFY(Queued);
    QVERIFY(FForm);
    QCOMPARE(Form->Step(), 5);
    QCOMPARE(Host.Messages.size(), std::size_t(1));
    QCOMPARE(CountRows(FKtv->Path("KTV/DataBase/Ktv.mdb"), "Songs"), 300);
    // Nothing on its way closes the window afterwards.
    QVERIFY(DeliverPostedEvents());
    QVERIFY(FForm && Form->isVisible());
}

void TestMain::LanguageFollowsTheLocale_data() {
    QTest::addColumn<QByteArray>("LcAll");
    QTest::addColumn<QByteArray>("LcMessages");
    QTest::addColumn<QByteArray>("Lang");
    QTest::addColumn<bool>("English");
    QTest::addRow("LANG en_US.UTF-8") << QByteArray() << QByteArray() << QByteArray("en_US.UTF-8") << true;
    QTest::addRow("LANG en") << QByteArray() << QByteArray() << QByteArray("en") << true;
    QTest::addRow("LANG en@quot") << QByteArray() << QByteArray() << QByteArray("en@quot") << true;
    QTest::addRow("LANG zh_CN.UTF-8") << QByteArray() << QByteArray() << QByteArray("zh_CN.UTF-8") << false;
    QTest::addRow("LANG de_DE") << QByteArray() << QByteArray() << QByteArray("de_DE") << false;
    QTest::addRow("LANG C") << QByteArray() << QByteArray() << QByteArray("C") << false;
    QTest::addRow("LANG C.UTF-8") << QByteArray() << QByteArray() << QByteArray("C.UTF-8") << false;
    QTest::addRow("LANG POSIX") << QByteArray() << QByteArray() << QByteArray("POSIX") << false;
    QTest::addRow("nothing set") << QByteArray() << QByteArray() << QByteArray() << false;
    QTest::addRow("LC_MESSAGES over LANG") << QByteArray() << QByteArray("en_GB") << QByteArray("zh_CN") << true;
    QTest::addRow("LC_ALL over both") << QByteArray("zh_CN.UTF-8") << QByteArray("en_GB") << QByteArray("en_US") << false;
    QTest::addRow("LC_ALL C over both") << QByteArray("C") << QByteArray("en_GB") << QByteArray("en_US") << false;
    QTest::addRow("LC_ALL English") << QByteArray("en_AU.UTF-8") << QByteArray() << QByteArray("zh_CN") << true;
}

void TestMain::LanguageFollowsTheLocale() {
    QFETCH(QByteArray, LcAll);
    QFETCH(QByteArray, LcMessages);
    QFETCH(QByteArray, Lang);
    QFETCH(bool, English);
    QCOMPARE(UiLanguageFromLocale(LcAll, LcMessages, Lang) == TUiLanguage::English, English);
}

void TestMain::WindowLanguage_data() {
    QTest::addColumn<bool>("English");
    QTest::addRow("Chinese") << false;
    QTest::addRow("English") << true;
}

// English texts come from the built-in translation, and then Qt's own Chinese is not loaded;
// Chinese keeps the source texts and gets Qt's Chinese for the standard dialogs.
void TestMain::WindowLanguage() {
    QFETCH(bool, English);
    const TUiTranslations Translations(English ? TUiLanguage::English : TUiLanguage::Chinese);
    QCOMPARE(Translations.OwnLoaded(), English);
    QCOMPARE(Translations.QtLoaded(), !English);
    const QString LookIn = QCoreApplication::translate("QFileDialog", "Look in:");
    QCOMPARE(LookIn == "Look in:", English);
    TProbe* Form = Make();
    if (English) {
        QCOMPARE(Form->windowTitle(), QString("Wizard: Offline Song Indexing"));
        // The Chinese texts' leading blanks are a Chinese habit (an indent of two characters);
        // English texts start at the margin.
        for (QLabel* Label : {Form->lblHint3_0, Form->lblHint4_0, Form->lblHint5_0})
            QVERIFY2(!Label->text().startsWith(' '), qPrintable(Label->text()));
        QCOMPARE(Form->Title(), QString("Step 1: Song folder"));
        QCOMPARE(Form->btnNext->text(), QString("&Next >"));
        QCOMPARE(Form->chkOnlyAdd->text(), QString("&Only add songs that are missing; leave songs already there as they are."));
    } else {
        QCOMPARE(Form->windowTitle(), QString("  向导 离线索引歌曲"));
        QCOMPARE(Form->Title(), QString("第1步：指定歌曲文件"));
        QCOMPARE(Form->btnNext->text(), QString("下一步(&N)"));
    }
    Next(Form); // an empty folder
    FBoxes->Answer(TBoxAnswer::No);
    Form->close();
    QCOMPARE(FBoxes->Shown().size(), std::size_t(2));
    const TBoxRequest& Refused = FBoxes->Shown()[0];
    const TBoxRequest& Question = FBoxes->Shown()[1];
    if (English) {
        QCOMPARE(Refused.Title, QString("Error"));
        QCOMPARE(Question.Title, QString("Confirm"));
        QCOMPARE(Refused.Text, QString("Please name the folder that holds the song files!"));
        QCOMPARE(Refused.Buttons, QStringList{"OK"});
        QCOMPARE(Question.Text, QString("Do you really want to quit the wizard?"));
        QCOMPARE(Question.Buttons, (QStringList{"&Yes", "&No"}));
    } else {
        QCOMPARE(Refused.Text, QString("请指定歌曲文件的存放位置!"));
        QCOMPARE(Question.Buttons, (QStringList{"是(&Y)", "否(&N)"}));
    }
    // Every text of the window fits where it stands.
    for (QLayout* Layout : Form->findChildren<QLayout*>())
        Layout->activate();
    for (QLabel* Label : Form->findChildren<QLabel*>()) {
        if (Label->text().isEmpty() || Label->wordWrap() || Label->parentWidget() == nullptr)
            continue;
        QVERIFY2(Label->width() >= Label->sizeHint().width() - Label->contentsMargins().right() &&
                     Label->geometry().right() < Label->parentWidget()->width(),
                 qPrintable(Label->objectName() + ": " + Label->text()));
    }
    for (QLabel* Label : Form->findChildren<QLabel*>())
        if (Label->wordWrap() && !Label->text().isEmpty())
            QVERIFY2(Label->height() >= Label->heightForWidth(Label->width()), qPrintable(Label->objectName()));
}

// The program itself reads the locale: LC_ALL=en_US.UTF-8 gives the English window.
void TestMain::ProgramChoosesItsLanguage() {
    const QByteArray Saved = qgetenv("LC_ALL");
    qputenv("LC_ALL", "en_US.UTF-8");
    QString Title;
    const TProgramWindowWatch Watch([&](TMainForm* AForm) {
        Title = AForm->windowTitle();
        AForm->close();
    });
    const int Result = RunCorvena({"corvena"}, FKtv->Program());
    if (Saved.isNull())
        qunsetenv("LC_ALL");
    else
        qputenv("LC_ALL", Saved);
    QCOMPARE(Result, 0);
    QCOMPARE(Title, QString("Wizard: Offline Song Indexing"));
    // Gone with the program: the next window is Chinese again.
    QCOMPARE(Make()->windowTitle(), QString("  向导 离线索引歌曲"));
}

void TestMain::RelativeNamesFromTheStartFolder_data() {
    QTest::addColumn<QString>("Folder");
    QTest::addColumn<QString>("Master");
    QTest::addColumn<QString>("FolderAfter");
    QTest::addColumn<QString>("MasterAfter");
    // Started in KTV/; the program's folder is KTV/Tools.
    QTest::addRow("relative to where it was started")
        << "Songs" << "DataBase/Total.mdb" << "@KTV/Songs" << "@KTV/DataBase/Total.mdb";
    QTest::addRow("relative to the program's folder stays")
        << "../Songs" << "../DataBase/Total.mdb" << "../Songs" << "../DataBase/Total.mdb";
    QTest::addRow("absolute") << "@KTV/Songs" << "@KTV/DataBase/Total.mdb" << "@KTV/Songs"
                              << "@KTV/DataBase/Total.mdb";
}

void TestMain::RelativeNamesFromTheStartFolder() {
    QFETCH(QString, Folder);
    QFETCH(QString, Master);
    QFETCH(QString, FolderAfter);
    QFETCH(QString, MasterAfter);
    const QString Base = FKtv->Path("");
    for (QString* Text : {&Folder, &Master, &FolderAfter, &MasterAfter})
        Text->replace("@", Base);
    QVERIFY(QDir::setCurrent(FKtv->Path("KTV")));
    TProbe* Form = Make();
    Form->edtSongPath->setText(Folder);
    Next(Form);
    QCOMPARE(Form->Step(), 2);
    QCOMPARE(Form->edtSongPath->text(), FolderAfter);
    Form->edtTotalPath->setText(Master);
    Next(Form);
    QVERIFY2(FBoxes->Shown().empty(), qPrintable(LastBoxText()));
    QCOMPARE(Form->Step(), 3);
    QCOMPARE(Form->edtTotalPath->text(), MasterAfter);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QCOMPARE(QString::fromStdString(ReadWizardChoices(StandardConfigPlaces(FKtv->Program().toStdString())).SongPath), FolderAfter);
}

// Pictures of the five pages taken during a real run. CORVENA_DEMO_DIR names a library made
// by ktvdemo (the wizard then runs as if placed in its Tools folder); without it the test's
// own small library is used.
void TestMain::Screenshots() {
    const QString Dir = qEnvironmentVariable("CORVENA_SCREENSHOT_DIR");
    if (Dir.isEmpty())
        QSKIP("set CORVENA_SCREENSHOT_DIR to write the pages as PNG files");
    const QString Demo = qEnvironmentVariable("CORVENA_DEMO_DIR");
    if (Demo.isEmpty()) {
        MakeLibrary(3000);
        // Something for the figures and the list to show.
        FKtv->WriteFile("KTV/Songs/unknown.mpg", "");
        FKtv->WriteFile("KTV/Songs/bad\xff.mpg", "");
    }
    TProbe* Form = Make({"corvena", "/i", "1234"}, Demo.isEmpty() ? QString() : Demo + "/Tools/corvena");
    Form->edtSongPath->setText(Demo.isEmpty() ? FKtv->Path("KTV/Songs") : Demo + "/Songs");
    Form->grab().save(Dir + "/main-step1.png");
    Next(Form);
    if (Demo.isEmpty())
        Form->edtTotalPath->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
    Form->grab().save(Dir + "/main-step2.png");
    int SearchShots = 0, IndexShots = 0;
    Form->AfterMessage = [&](const TProbe::TSeen& AMessage) {
        if (AMessage.Msg != WM_WIZ_PROGRESS)
            return;
        // A third of the way through each working step.
        if (AMessage.LParam == 0 && SearchShots == 0 && AMessage.WParam >= (Demo.isEmpty() ? 1000u : 6000u)) {
            ++SearchShots;
            Form->grab().save(Dir + "/main-step3.png");
        } else if (AMessage.LParam != 0 && IndexShots == 0 &&
                   AMessage.WParam * 3 >= static_cast<TWParam>(AMessage.LParam)) {
            ++IndexShots;
            Form->grab().save(Dir + "/main-step4.png");
        }
    };
    Next(Form);
    QCOMPARE(Form->Step(), 3);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }, 280000));
    Form->grab().save(Dir + "/main-step5.png");
    QCOMPARE(SearchShots, 1);
    QCOMPARE(IndexShots, 1);
    if (Form->btnSkipped->isEnabled()) {
        Form->btnSkipped->click();
        QVERIFY(Form->FSkippedDialog);
        QVERIFY(QTest::qWaitForWindowExposed(Form->FSkippedDialog));
        for (QLayout* Layout : Form->FSkippedDialog->findChildren<QLayout*>())
            Layout->activate();
        Form->FSkippedDialog->grab().save(Dir + "/main-skipped.png");
        Form->FSkippedDialog->close();
    }

    // Steps 1 and 2, and step 5 of the same run, in English.
    const TUiTranslations English(TUiLanguage::English);
    auto* InEnglish = new TProbe({"corvena"}, Demo.isEmpty() ? FKtv->Program() : Demo + "/Tools/corvena");
    InEnglish->FIndexReport = Form->FIndexReport;
    InEnglish->FSongFiles = Form->FSongFiles;
    InEnglish->FSearchReport = Form->FSearchReport;
    InEnglish->show();
    InEnglish->grab().save(Dir + "/main-step1-en.png");
    InEnglish->SetStep(2);
    InEnglish->grab().save(Dir + "/main-step2-en.png");
    InEnglish->SetStep(5);
    for (QLayout* Layout : InEnglish->findChildren<QLayout*>())
        Layout->activate();
    InEnglish->grab().save(Dir + "/main-step5-en.png");
    InEnglish->FCloseConfirmation = false;
    delete InEnglish;
}

void TestMain::EnterFinishesOnStepFive_data() {
    QTest::addColumn<QString>("Focus");
    QTest::addRow("as step 5 starts") << QString();
    QTest::addRow("on Cancel") << QString("btnCancel");
    QTest::addRow("on the list's button") << QString("btnSkipped");
}

// Finish is the default button of the last step: Enter closes the wizard wherever the focus is.
void TestMain::EnterFinishesOnStepFive() {
    QFETCH(QString, Focus);
    MakeLibrary(2);
    FKtv->WriteFile("KTV/Songs/unknown.mpg", ""); // something for the list
    TProbe* Form = Make();
    QApplication::setActiveWindow(Form);
    QVERIFY(QTest::qWaitForWindowActive(Form));
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY(Form->btnNext->isDefault());
    if (!Focus.isEmpty())
        Form->findChild<QWidget*>(Focus)->setFocus();
    QVERIFY(QApplication::focusWidget() != nullptr);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTRY_VERIFY(!FForm);
    QVERIFY(FBoxes->Shown().empty());
}

// The program where the packages put it, run by a new user: no song-request folder, nothing
// configured. The master is named by hand; the local database is the user's own, made empty
// and said so on step 5; the choices go to the user's configuration folder.
void TestMain::NewUserOfTheInstalledProgram() {
    MakeLibrary(3);
    const QString Program = QString::fromStdString(StandardConfigPlaces("corvena").InstalledBinDir) + "corvena";
    THostSpy Host;
    TProbe* Form = Make({"corvena", "/i", "1234"}, Program);
    QCOMPARE(Form->edtTotalPath->text(), QString());
    StartRun(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QVERIFY2(FBoxes->Shown().empty(), qPrintable(LastBoxText()));
    QCOMPARE(Host.Messages.size(), std::size_t(1));
    const QString Own = FKtv->Path("home/data/corvena/Ktv.mdb");
    QCOMPARE(CountRows(Own, "Songs"), 3);
    QCOMPARE(Form->lblNotes->toolTip(), "已新建本地歌库：" + Own);
    const QString Tools = FKtv->Path("home/config/corvena/Tools.ini");
    QFile ToolFile(Tools);
    QVERIFY(ToolFile.open(QIODevice::ReadOnly));
    QVERIFY(ToolFile.readAll().endsWith("\n"));
    Next(Form);
    QTRY_VERIFY(!FForm);

    // The next run finds both: the master it remembers and the database it made.
    Form = Make({"corvena"}, Program);
    QCOMPARE(Form->edtTotalPath->text(), FKtv->Path("KTV/DataBase/Total.mdb"));
    Form->edtSongPath->setText(FKtv->Path("KTV/Songs"));
    Next(Form);
    Next(Form);
    QVERIFY(RunUntil([&] { return Form->Step() == 5; }));
    QCOMPARE(Form->lblNotes->toolTip(), QString());
    QCOMPARE(CountRows(Own, "Songs"), 3);
}

void TestMain::ErrorBoxKeepsThePathOnOneLine_data() {
    QTest::addColumn<bool>("English");
    QTest::addRow("Chinese") << false;
    QTest::addRow("English") << true;
}

// A real box about a long folder name with blanks and many "/": the name is laid out on one
// line (the box as wide as it needs), not broken where a line would break text.
void TestMain::ErrorBoxKeepsThePathOnOneLine() {
    QFETCH(bool, English);
    const TUiTranslations Translations(English ? TUiLanguage::English : TUiLanguage::Chinese);
    FBoxes.reset(); // real boxes
    TProbe* Form = Make();
    const QString Folder = FKtv->Path("KTV/歌曲 文件夹/some rather long folder name/and another one/Songs");
    Form->edtSongPath->setText(Folder);
    int LabelWidth = 0, PathWidth = 0;
    QString Shown;
    QTimer Poll;
    connect(&Poll, &QTimer::timeout, [&] {
        auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (Box == nullptr || !Box->isVisible())
            return;
        Poll.stop();
        auto* Label = Box->findChild<QLabel*>("qt_msgbox_label");
        LabelWidth = Label->width();
        PathWidth = Label->fontMetrics().horizontalAdvance(Folder);
        Shown = Label->text();
        if (const QString Dir = qEnvironmentVariable("CORVENA_SCREENSHOT_DIR"); !Dir.isEmpty())
            Box->grab().save(Dir + (English ? "/main-box-en.png" : "/main-box.png"));
        DismissOpenBoxes();
    });
    Poll.start(10);
    Next(Form);
    QCOMPARE(Form->Step(), 1);
    QVERIFY2(Shown.contains(Folder.toHtmlEscaped()), qPrintable(Shown));
    QVERIFY2(LabelWidth >= PathWidth, qPrintable(QString("label %1 px, path %2 px").arg(LabelWidth).arg(PathWidth)));
}

QTEST_MAIN(TestMain)
#include "TestMain.moc"
