// TMainForm, the window itself: its making, steps 1 and 2 (the song folder, the master and the
// two databases), closing, and the program's entry. The pages are made in MainPages.cpp, the
// run from step 3 on is MainRun.cpp.
#include "Main.h"

#include "AccessImport.h"
#include "CommandLine.h"
#include "Config.h"
#include "ConfigPlaces.h"
#include "FileDialogs.h"
#include "HostLink.h"
#include "IniFile.h"
#include "Language.h"
#include "MessageBoxes.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QIcon>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

// The animation lives in this static library's resources, which are not registered by
// themselves.
static void InitResources() { Q_INIT_RESOURCE(wizard); }

namespace {

QIcon CorvenaIcon() {
    QIcon Icon;
    for (const int Size : {16, 24, 32, 48, 64, 128, 256})
        Icon.addFile(QStringLiteral(":/wizard/icons/corvena-%1.png").arg(Size), QSize(Size, Size));
    return Icon;
}

// "“PATH”：REASON": the second line of an error box about a file or folder.
QString PathLine(const QString& APath, const QString& AReason) {
    return TMainForm::tr("“%1”：%2").arg(APath, AReason);
}

// Why APath is not the existing folder (AFolder) or file that was asked for.
QString PathProblem(const QString& APath, bool AFolder) {
    struct stat Info {};
    if (::stat(QFile::encodeName(APath).constData(), &Info) != 0) {
        const int Error = errno;
        if (Error == ENOENT)
            return AFolder ? TMainForm::tr("没有这个文件夹") : TMainForm::tr("没有这个文件");
        if (Error == EACCES)
            return TMainForm::tr("没有访问权限");
        if (Error == ENOTDIR)
            return TMainForm::tr("路径中有一部分不是文件夹");
        return QString::fromLocal8Bit(std::strerror(Error));
    }
    if (S_ISDIR(Info.st_mode))
        return TMainForm::tr("这是一个文件夹，不是文件");
    if (S_ISREG(Info.st_mode))
        return TMainForm::tr("这是一个文件，不是文件夹");
    return TMainForm::tr("这不是普通的文件或文件夹");
}

// The reason of an error about the file AName, without the "Cannot open database "NAME": "
// it starts with (the name may be given relative and reported absolute).
QString ReasonOf(const std::exception& AError, const QString& AName) {
    const QString Text = QString::fromUtf8(AError.what());
    for (const QString& Name : {AName, QFileInfo(AName).absoluteFilePath()}) {
        const QString Named = QString::fromStdString(Quoted(Name.toStdString())) + QStringLiteral(": ");
        if (const qsizetype At = Text.indexOf(Named); At >= 0)
            return Text.mid(At + Named.size());
    }
    return Text;
}

} // namespace


TMainForm::TMainForm(const QStringList& AArguments, const QString& AProgramFile, QWidget* AParent)
    : TWizardForm(AParent), FArguments(AArguments), FProgramFile(AProgramFile.toStdString()) {
    InitResources();
    // Operators' master catalogues are often Access files.
    InstallAccessReader();
    cnnLocal = std::make_shared<TConnection>();
    cnnTotal = std::make_shared<TConnection>();
    cnnTotal->SetMode(TConnectMode::ShareDenyNone);
    FRunProgress = new TRunProgress([this] { ShowRunAtFrameRate(); }, this);
    FHandle = RegisterWindow(
        this, [this](unsigned AMsg, TWParam AWParam, TLParam ALParam) { return WndProc(AMsg, AWParam, ALParam); },
        static_cast<TWindowHandle>(winId()), TDelivery::WindowThread,
        {{WM_WIZ_STATUS, WM_WIZ_PROGRESS},
         [this](unsigned AMsg, TWParam AWParam, TLParam ALParam) { return WorkerMessage(AMsg, AWParam, ALParam); }});
    FormCreate();
}

TMainForm::~TMainForm() {
    // First: a worker may be recording its progress here on its own thread.
    UnregisterWindow(FHandle);
}

void TMainForm::FormCreate() {
    FMainAppHandle = HostHandleFromArguments(FArguments);
    setWindowTitle(tr("  向导 离线索引歌曲"));
    setWindowIcon(CorvenaIcon());
    BuildPages();
    SetUpKeyboard();

    SetStepMax(5);
    FStepPanels = {pnl1, pnl2, pnl3, pnl4, pnl5};
    FTitles = QStringList{tr("指定歌曲文件"), tr("指定总库数据库"), tr("搜集文件信息"),
                          tr("更新歌曲信息"), tr("完成索引")};
    SetBeforeNext(BindEvent(this, &TMainForm::BeforeNextStep));
    SetOnStep(BindEvent(this, &TMainForm::StepEntered));
    SetStep(1);

    FSongFiles = std::make_shared<TFileList>();
    FPlaces = StandardConfigPlaces(FProgramFile);
    const TWizardChoices Choices = ReadWizardChoices(FPlaces);
    chkOnlyAdd->setChecked(Choices.OnlyAdd);
    edtSongPath->setText(QString::fromStdString(Choices.SongPath));
    edtTotalPath->setText(QString::fromStdString(Choices.TotalPath));

    FCloseConfirmation = true;
    FStartDir = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(GetProgramDir(FProgramFile)));
}

void TMainForm::Refuse(bool& Canceled, const QString& AText, QLineEdit* AEdit, const QStringList& AUnbroken) {
    ErrorBox(this, tr("  错误"), AText, AUnbroken);
    if (AEdit != nullptr)
        AEdit->setFocus();
    Canceled = true;
}

void TMainForm::BeforeNextStep(int AStep, bool& Canceled) {
    if (AStep == 1)
        CheckSongFolder(Canceled);
    else if (AStep == 2)
        OpenDatabases(Canceled);
}

void TMainForm::CheckSongFolder(bool& Canceled) {
    ResolveFromStartDir(edtSongPath, true);
    const QString Text = edtSongPath->text();
    if (Text.isEmpty())
        Refuse(Canceled, tr("请指定歌曲文件的存放位置!"), edtSongPath);
    else if (!QFileInfo(Text).isDir())
        Refuse(Canceled, tr("指定的路径不存在!") + QLatin1Char('\r') + PathLine(Text, PathProblem(Text, true)),
               edtSongPath, {Text});
}

void TMainForm::OpenDatabases(bool& Canceled) {
    ResolveFromStartDir(edtTotalPath, false);
    const QString Text = edtTotalPath->text();
    if (Text.isEmpty()) {
        Refuse(Canceled, tr("请指定“总歌库数据库”文件的存放位置!"), edtTotalPath);
        return;
    }
    // A server named as the master is refused by its engine, below, naming it without a password.
    const bool TotalOnServer = NamesServerDatabase(Text.toStdString());
    if (!TotalOnServer && !QFileInfo(Text).isFile()) {
        Refuse(Canceled, tr("指定的数据库文件不存在!") + QLatin1Char('\r') + PathLine(Text, PathProblem(Text, false)),
               edtTotalPath, {Text});
        return;
    }
    const TConfigValue Local = ReadLocalFileName(FPlaces);
    // A database on a server is shown by its server and name alone, never with a password.
    const QString LocalFile = QString::fromStdString(DatabaseDisplayName(Local.Value));
    if (Local.Origin == TConfigOrigin::UserDefault) {
        // Named nowhere: the user's own, made empty the first time.
        try {
            if (MakeUserLocalDatabase(Local.Value))
                FMadeLocal = LocalFile;
        } catch (const std::exception& Error) {
            Refuse(Canceled, tr("无法新建本地歌库“%1”。").arg(LocalFile) + QLatin1Char('\r') + ReasonOf(Error, LocalFile),
                   nullptr, {LocalFile});
            return;
        }
    }
    // Where the local name came from, for an operator who has to correct it.
    QString Origin;
    if (Local.Origin == TConfigOrigin::Named)
        Origin = tr("该名称来自 %1 中 [DataBase] 的 Local。").arg(QString::fromStdString(Local.File));
    else if (Local.Origin == TConfigOrigin::LayoutDefault)
        Origin = tr("%1 中没有 Local，这是默认的位置。").arg(QString::fromStdString(Local.File));
    // Confirmed again after a failure: both connections start afresh with today's names.
    const QString ConfigFile = QString::fromStdString(Local.File);
    const QString TotalShown = TotalOnServer ? QString::fromStdString(DatabaseDisplayName(Text.toStdString())) : Text;
    if (Connect(cnnLocal, LocalConnectionString(Local.Value), TConnectMode::Default,
                tr("无法正确连接歌库数据库“%1”。\r请检查数据库文件是否正常。").arg(LocalFile), LocalFile, Origin,
                {LocalFile, ConfigFile}, nullptr, Canceled))
        Connect(cnnTotal, TotalConnectionString(Text.toStdString()), TConnectMode::ShareDenyNone,
                tr("无法正确连接总歌库数据库“%1”。\r请检查数据库文件是否正常。").arg(TotalShown), TotalShown,
                QString(), {TotalShown, ConfigFile}, edtTotalPath, Canceled);
}

bool TMainForm::Connect(TConnectionRef& ATarget, const std::string& AConnectionString, TConnectMode AMode,
                        const QString& AError, const QString& AName, const QString& AOrigin,
                        const QStringList& AUnbroken, QLineEdit* AEdit, bool& Canceled) {
    try {
        ATarget = OpenConnection(AConnectionString, AMode);
        return true;
    } catch (const TDatabaseError& Error) {
        QString Message = AError + QLatin1Char('\r') + ReasonOf(Error, AName);
        if (!AOrigin.isEmpty())
            Message += QLatin1Char('\r') + AOrigin;
        Refuse(Canceled, Message, AEdit, AUnbroken);
        return false;
    }
}

void TMainForm::ResolveFromStartDir(QLineEdit* AEdit, bool AFolder) {
    const QString Text = AEdit->text();
    if (Text.isEmpty() || QDir::isAbsolutePath(Text) || FStartDir.isEmpty())
        return;
    const auto Names = [AFolder](const QFileInfo& AInfo) { return AFolder ? AInfo.isDir() : AInfo.isFile(); };
    if (Names(QFileInfo(Text)))
        return;
    const QFileInfo FromStart(QDir(FStartDir), Text);
    if (Names(FromStart))
        AEdit->setText(QDir::toNativeSeparators(QDir::cleanPath(FromStart.absoluteFilePath())));
}

void TMainForm::WriteChoices() {
    const TWizardChoices Choices{edtSongPath->text().toStdString(), edtTotalPath->text().toStdString(),
                                 chkOnlyAdd->isChecked()};
    try {
        WriteWizardChoices(FPlaces, Choices);
    } catch (const TIniError& Error) {
        // Said once, below the run's figures; the run is done all the same and Finish closes.
        const QString File = QString::fromStdString(GetToolFileName(FPlaces));
        AddNote(tr("无法保存向导设置文件“%1”。\r%2").arg(File, ReasonOf(Error, File)), true);
    }
}

void TMainForm::edtSongPathButtonClick() {
    const QString Folder = BrowseFolder(this, DialogStart(edtSongPath->text(), {QDir::currentPath(), FStartDir}));
    if (!Folder.isEmpty())
        edtSongPath->setText(QDir::toNativeSeparators(Folder));
}

void TMainForm::edtTotalPathButtonClick() {
    const QString File = BrowseDatabaseFile(this, DialogStart(edtTotalPath->text(), {QDir::currentPath(), FStartDir}));
    if (!File.isEmpty())
        edtTotalPath->setText(QDir::toNativeSeparators(File));
}

void TMainForm::FormCloseQuery(bool& CanClose) {
    if (Step() == StepMax() || !FCloseConfirmation) {
        CanClose = true;
        return;
    }
    // Past step 2 there is only something to lose while a worker runs.
    if ((Step() == 3 || Step() == 4) && !Working()) {
        CanClose = true;
        return;
    }
    // The host's close arriving while the question is open wins over the answer.
    FAsking = true;
    if (Step() == 3 || Step() == 4)
        CanClose = ConfirmBox(this, tr("  确认"), tr("向导任务正在执行，您确实要退出该向导吗？"));
    else
        TWizardForm::FormCloseQuery(CanClose);
    FAsking = false;
    if (!FCloseConfirmation)
        CanClose = true;
}

void TMainForm::FormClose() {
    // The frame runs this once, however many close requests arrive. A worker that has just
    // finished may still have its completion queued: every worker not yet deleted loses its
    // handler, and FReleased drops a completion already on its way.
    FReleased = true;
    disconnect(FSearchDone);
    disconnect(FIndexDone);
    for (QThread* Worker : {FThrdSearchFile.data(), FThrdSongIndex.data()})
        if (Worker != nullptr)
            Worker->requestInterruption();
    // A worker still stopping holds its own references; the last holder closes.
    FSongFiles.reset();
    cnnLocal.reset();
    cnnTotal.reset();
    TWizardForm::FormClose();
}

int RunCorvena(const QStringList& AArguments, const QString& AProgramFile) {
    InstallHostLink();
    const TUiTranslations Translations(UiLanguageFromEnvironment());
    QApplication::setWindowIcon(CorvenaIcon());
    QPointer<TMainForm> Form = new TMainForm(AArguments, AProgramFile);
    Form->show();
    const int Result = QApplication::exec();
    // The window goes first, which releases a worker waiting in a message to it; then the
    // workers still stopping (before their next file) are waited for.
    delete Form.data();
    ProgramWorkers().WaitForAll();
    return Result;
}
