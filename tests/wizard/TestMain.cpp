#include "Config.h"
#include "FileDialogs.h"
#include "Main.h"
#include "MessageBoxes.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <fstream>
#include <iterator>

// Opens the window's insides to the test.
class TProbe : public TMainForm {
public:
    using TMainForm::TMainForm;
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
    void StatusAndProgressMessages();
    void ProgressAnimation();
    void ProgramRunsUntilItsWindowCloses_data();
    void ProgramRunsUntilItsWindowCloses();
    void Screenshots();

private:
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
    // Two levels above the program's folder, as the song-request system lays it out.
    QCOMPARE(Form->edtTotalPath->text(), FKtv->Path("DataBase/Total.mdb"));
    QVERIFY(Form->FCloseConfirmation);
    QVERIFY(Form->FSongFiles && Form->FSongFiles->isEmpty());
    QVERIFY(!Form->cnnLocal->Connected());
    QCOMPARE(QDir::currentPath() + "/", FKtv->Path("KTV/Tools/"));
    QVERIFY(!Form->btnPrior->isEnabled());
    QCOMPARE(Form->btnNext->text(), QString("下一步(&N)"));
    QVERIFY(Form->FStepPanels.size() == 5);
    QCOMPARE(Form->FStepPanels[0]->objectName(), QString("pnl1"));
    QVERIFY(Form->FStepPanels[0]->isVisible());
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
    QTest::addRow("empty") << QString() << QString("请指定歌曲文件的存放位置!");
    QTest::addRow("blanks only") << QString("   ") << QString("指定的路径不存在!");
    QTest::addRow("missing") << QString("@missing") << QString("指定的路径不存在!");
    QTest::addRow("a file") << QString("@file") << QString("指定的路径不存在!");
    QTest::addRow("folder with blank around") << QString("@songs ") << QString("指定的路径不存在!");
    QTest::addRow("folder") << QString("@songs") << QString();
}

void TestMain::SongFolderChecks() {
    QFETCH(QString, Folder);
    QFETCH(QString, Error);
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
    QCOMPARE(Box.Text, Error);
    QCOMPARE(Box.Buttons, QStringList{"确定"});
}

void TestMain::MasterChecks_data() {
    QTest::addColumn<QString>("Master");
    QTest::addColumn<QString>("Error");
    QTest::addRow("empty") << QString() << QString("请指定“总歌库数据库”文件的存放位置!");
    QTest::addRow("missing") << QString("@nowhere.mdb") << QString("指定的数据库文件不存在!");
    QTest::addRow("a folder") << QString("@folder") << QString("指定的数据库文件不存在!");
    QTest::addRow("not a database")
        << QString("@text.mdb")
        << QString("无法正确连接总歌库数据库“@text.mdb”。\r请检查数据库文件是否正常。");
    QTest::addRow("an Access file")
        << QString("@access.mdb")
        << QString("无法正确连接总歌库数据库“@access.mdb”。\r请检查数据库文件是否正常。");
    QTest::addRow("working") << QString("@DataBase/Total.mdb") << QString();
#ifdef ACCESS_TEST_DATA
    QTest::addRow("a real Access file") << QString("@nwind.mdb") << QString();
#endif
}

void TestMain::MasterChecks() {
    QFETCH(QString, Master);
    QFETCH(QString, Error);
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
    QCOMPARE(LastBoxText(), Error);
    QCOMPARE(FBoxes->Shown().back().Title, QString("  错误"));
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
    QCOMPARE(LastBoxText(),
             QString("无法正确连接歌库数据库“DataBase/Missing.mdb”。\r请检查数据库文件是否正常。"));
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
    QVERIFY(FBoxes->Shown().empty());
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
    SetDialogHandler([&](TDialogKind AKind) {
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

void TestMain::StatusAndProgressMessages() {
    TProbe* Form = Make();
    const std::u16string Search = u"正在搜索文件...";
    const std::u16string Index = u"正在索引歌曲...";
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 0, reinterpret_cast<TLParam>(Search.c_str()));
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 1, reinterpret_cast<TLParam>(Index.c_str()));
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 2, reinterpret_cast<TLParam>(u"ignored"));
    QCOMPARE(Form->lblsLeft->text(), QString("正在搜索文件..."));
    QCOMPARE(Form->lblaLeft->text(), QString("正在索引歌曲..."));
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 1234, 0);
    QCOMPARE(Form->lblsRight->text(), QString("1234"));
    QCOMPARE(Form->lblsRight->geometry().right() + 1, 466);
    QCOMPARE(Form->ProgressBar->value(), 0);
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 12, 340);
    QCOMPARE(Form->lblaRight->text(), QString("12/340"));
    QCOMPARE(Form->ProgressBar->maximum(), 340);
    QCOMPARE(Form->ProgressBar->value(), 12);
}

void TestMain::ProgressAnimation() {
    TProbe* Form = Make();
    QMovie* Movie = Form->imgProgress->movie();
    QVERIFY(Movie != nullptr);
    QVERIFY2(Movie->isValid(), "the animation is missing from the resources");
    QCOMPARE(Movie->frameCount(), 92);
    QCOMPARE(Movie->loopCount(), -1);
    QCOMPARE(Movie->nextFrameDelay(), 100);
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
    bool SeenVisible = false;
    QTimer::singleShot(100, [&] {
        for (QWidget* Window : QApplication::topLevelWidgets())
            if (auto* Form = qobject_cast<TMainForm*>(Window)) {
                SeenStep = Form->Step();
                SeenHost = Form->MainAppHandle();
                SeenVisible = Form->isVisible();
                Form->close(); // answered Yes by default
            }
    });
    QCOMPARE(RunCorvena(Arguments, FKtv->Program()), 0);
    QCOMPARE(SeenStep, 1);
    QCOMPARE(SeenHost, Host);
    QVERIFY(SeenVisible);
}

void TestMain::Screenshots() {
    const QString Dir = qEnvironmentVariable("CORVENA_SCREENSHOT_DIR");
    if (Dir.isEmpty())
        QSKIP("set CORVENA_SCREENSHOT_DIR to write the pages as PNG files");
    // CORVENA_DEMO_DIR names a library made by ktvdemo; the wizard then runs as if placed in
    // its Tools folder.
    const QString Demo = qEnvironmentVariable("CORVENA_DEMO_DIR");
    TProbe* Form = Make({"corvena", "/i", "1234"}, Demo.isEmpty() ? QString() : Demo + "/Tools/corvena");
    Form->edtSongPath->setText(Demo.isEmpty() ? FKtv->Path("KTV/Songs") : Demo + "/Songs");
    Form->grab().save(Dir + "/main-step1.png");
    Next(Form);
    if (Demo.isEmpty())
        Form->edtTotalPath->setText(FKtv->Path("KTV/DataBase/Total.mdb"));
    Form->grab().save(Dir + "/main-step2.png");
    Next(Form);
    QCOMPARE(Form->Step(), 3);
    const std::u16string Search = u"正在搜索文件...";
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 0, reinterpret_cast<TLParam>(Search.c_str()));
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 31416, 0);
    Form->imgProgress->movie()->start();
    QTest::qWait(1500);
    Form->grab().save(Dir + "/main-step3.png");
    Next(Form);
    const std::u16string Index = u"正在索引歌曲...";
    SendMessageW(Form->Handle(), WM_WIZ_STATUS, 1, reinterpret_cast<TLParam>(Index.c_str()));
    SendMessageW(Form->Handle(), WM_WIZ_PROGRESS, 12, 340);
    Form->grab().save(Dir + "/main-step4.png");
    Next(Form);
    Form->grab().save(Dir + "/main-step5.png");
}

QTEST_MAIN(TestMain)
#include "TestMain.moc"
