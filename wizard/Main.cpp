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
#include "SkippedFiles.h"
#include "ThrdFileSearch.h"
#include "WorkerStatus.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>

// The animation lives in this static library's resources, which are not registered by
// themselves.
static void InitResources() { Q_INIT_RESOURCE(wizard); }

namespace {

// A screen's frame: the index progress changes the bar and its label at most this often.
constexpr int ProgressFrameMs = 16;

// A status text as the window shows it: a worker's status in the window's language, any other
// text as it came.
QString StatusText(TLParam AText) {
    if (const std::optional<TWorkerStatus> Status = WorkerStatusOf(AText))
        return QCoreApplication::translate("TWorkerStatus", WorkerStatusSource(*Status));
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(AText));
}

QIcon CorvenaIcon() {
    QIcon Icon;
    for (const int Size : {16, 24, 32, 48, 64, 128, 256})
        Icon.addFile(QStringLiteral(":/wizard/icons/corvena-%1.png").arg(Size), QSize(Size, Size));
    return Icon;
}

// Alt+AKey runs AAction while APage is shown, unless AText (the translated caption) marks an
// accelerator of its own with "&": the Chinese texts carry none, so the key is bound by hand.
void BindAccelerator(QWidget* APage, const QString& AText, QChar AKey, const std::function<void()>& AAction) {
    if (AText.contains(QLatin1Char('&')))
        return;
    auto* Shortcut = new QShortcut(QKeySequence(QStringLiteral("Alt+") + AKey), APage);
    QObject::connect(Shortcut, &QShortcut::activated, APage, AAction);
}

QFont HintFont() {
    QFont Font = FontWithCjkFallback(QStringLiteral("SimSun"));
    Font.setPixelSize(12);
    return Font;
}

QWidget* MakePage(QWidget* AParent, const char* AName) {
    auto* Page = new QWidget(AParent);
    Page->setObjectName(QString::fromLatin1(AName));
    Page->setAutoFillBackground(true);
    Page->setBackgroundRole(QPalette::Button);
    Page->setGeometry(TWizardForm::PageRect());
    return Page;
}

// A label at (ALeft, ATop); sized to its text unless a size is given.
QLabel* MakeLabel(QWidget* AParent, const char* AName, const QString& AText, int ALeft, int ATop,
                  int AWidth = 0, int AHeight = 0) {
    auto* Label = new QLabel(AText, AParent);
    Label->setObjectName(QString::fromLatin1(AName));
    if (AWidth > 0)
        Label->setGeometry(ALeft, ATop, AWidth, AHeight);
    else {
        Label->adjustSize();
        Label->move(ALeft, ATop);
    }
    return Label;
}

// Hint labels: SimSun 12 px, optionally in navy; those given a size wrap within its width.
QLabel* MakeHint(QWidget* AParent, const char* AName, const QString& AText, int ALeft, int ATop,
                 int AWidth = 0, int AHeight = 0, bool ANavy = false) {
    QLabel* Label = MakeLabel(AParent, AName, AText, ALeft, ATop);
    Label->setFont(HintFont());
    Label->setWordWrap(AWidth > 0);
    Label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    if (ANavy) {
        QPalette Palette = Label->palette();
        Palette.setColor(QPalette::WindowText, QColor(0, 0, 128));
        Label->setPalette(Palette);
    }
    // The CJK fallback font has taller lines than SimSun: let the text have the room it needs.
    if (AWidth > 0)
        Label->setGeometry(ALeft, ATop, AWidth, std::max(AHeight, Label->heightForWidth(AWidth)));
    else
        Label->adjustSize();
    return Label;
}

TButtonEdit* MakeButtonEdit(QWidget* AParent, const char* AName, const QString& AHint, int ALeft,
                            int ATop, int AWidth, int AHeight) {
    auto* Edit = new TButtonEdit(AParent);
    Edit->setObjectName(QString::fromLatin1(AName));
    Edit->setGeometry(ALeft, ATop, AWidth, AHeight);
    Edit->Button()->setToolTip(AHint);
    return Edit;
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

// Every worker the program started: the program waits for those still stopping before it
// returns.
TWorkers& ProgramWorkers() {
    static TWorkers Workers;
    return Workers;
}


} // namespace

// ---------------------------------------------------------------------------------------------

TButtonEdit::TButtonEdit(QWidget* AParent) : QLineEdit(AParent), FButton(new QToolButton(this)) {
    FButton->setText(QStringLiteral("..."));
    FButton->setCursor(Qt::ArrowCursor);
    // Reached with Tab like any button.
    FButton->setFocusPolicy(Qt::StrongFocus);
    connect(FButton, &QToolButton::clicked, this, &TButtonEdit::ButtonClicked);
}

void TButtonEdit::resizeEvent(QResizeEvent* AEvent) {
    QLineEdit::resizeEvent(AEvent);
    const int Side = height() - 2;
    FButton->setGeometry(width() - Side - 1, 1, Side, Side);
    setTextMargins(0, 0, Side, 0);
}

// ---------------------------------------------------------------------------------------------

TMainForm::TMainForm(const QStringList& AArguments, const QString& AProgramFile, QWidget* AParent)
    : TWizardForm(AParent), FArguments(AArguments), FProgramFile(AProgramFile.toStdString()) {
    InitResources();
    // Operators' master catalogues are often Access files.
    InstallAccessReader();
    cnnLocal = std::make_shared<TConnection>();
    cnnTotal = std::make_shared<TConnection>();
    cnnTotal->SetMode(TConnectMode::ShareDenyNone);
    FHandle = RegisterWindow(
        this, [this](unsigned AMsg, TWParam AWParam, TLParam ALParam) { return WndProc(AMsg, AWParam, ALParam); },
        static_cast<TWindowHandle>(winId()));
    FormCreate();
}

TMainForm::~TMainForm() {
    UnregisterWindow(FHandle);
}

void TMainForm::BuildPages() {
    pnl1 = MakePage(this, "pnl1");
    lblHint1_0 = MakeHint(pnl1, "lblHint1_0",
                          tr("向导将扫描您所指定文件夹内的所有歌曲文件，根据文件名中的数字编号，"
                                         "逐一获取其歌曲信息；然后，再将这些信息批量添加到您的点歌系统中。"),
                          91, 40, 377, 60);
    lblHint1_1 = MakeHint(pnl1, "lblHint1_1", tr("请指定需要被索引的歌曲文件的存放位置。"), 91, 110);
    lblFilePath = MakeLabel(pnl1, "lblFilePath", tr("歌曲文件夹："), 91, 136);
    lblFilePath->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edtSongPath = MakeButtonEdit(pnl1, "edtSongPath", tr("浏览歌曲文件夹"), 169, 130, 294, 21);
    chkOnlyAdd = new QCheckBox(
        tr("仅处理没有歌曲信息的文件，对已经有歌曲信息的文件不做更新。"), pnl1);
    chkOnlyAdd->setObjectName(QStringLiteral("chkOnlyAdd"));
    chkOnlyAdd->setGeometry(91, 176, 372, 17);
    chkOnlyAdd->setAutoFillBackground(true);
    QPalette White = chkOnlyAdd->palette();
    White.setColor(QPalette::Window, Qt::white);
    chkOnlyAdd->setPalette(White);
    lblHint1_3 = MakeHint(pnl1, "lblHint1_3", tr("单击“下一步”继续。"), 91, 222);
    lblHint1_3->hide();

    pnl2 = MakePage(this, "pnl2");
    lblHint2_1 = MakeHint(pnl2, "lblHint2_1",
                          tr("向导将根据编号在“总歌库”中检索歌曲信息。这需要您指定一个存储有这些歌曲信息的"
                                         "“总库数据库”文件，以便向导从中获取歌曲信息。该文件的文件名通常为“Total.mdb”。"),
                          91, 40, 372, 60);
    lblHint2_2 = MakeHint(pnl2, "lblHint2_2", tr("请指定索引所需的“总歌库数据库”文件。"), 91, 110);
    lblTotalFile = MakeLabel(pnl2, "lblTotalFile", tr("总歌库数据库："), 91, 136);
    edtTotalPath =
        MakeButtonEdit(pnl2, "edtTotalPath", tr("浏览总库数据库文件"), 181, 130, 282, 21);
    lblHint2_3 = MakeHint(pnl2, "lblHint2_3", tr("单击“下一步”，开始批量索引歌曲。"), 91, 222);
    lblHint2_3->hide();

    pnl3 = MakePage(this, "pnl3");
    lblHint3_0 = MakeHint(pnl3, "lblHint3_0",
                          tr("    向导正在按照您所指定的文件夹，搜索其中的文件。该过程花费的时间，"
                                         "和您该文件夹下的文件数量有关，请耐心等待。"),
                          91, 40, 372, 24, true);
    lblsLeft = MakeLabel(pnl3, "lblsLeft", tr("正在......"), 91, 177);
    lblsRight = MakeLabel(pnl3, "lblsRight", QString(), 0, 180);
    lblsRight->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    SetSearchCount(QStringLiteral("0%"));
    imgProgress = new QLabel(pnl3);
    imgProgress->setObjectName(QStringLiteral("imgProgress"));
    imgProgress->setGeometry(91, 199, 375, 22);
    FProgressMovie = new QMovie(QStringLiteral(":/wizard/progress.gif"), QByteArray(), this);
    imgProgress->setMovie(FProgressMovie);
    FProgressMovie->jumpToFrame(0);

    pnl4 = MakePage(this, "pnl4");
    lblHint4_0 = MakeHint(pnl4, "lblHint4_0",
                          tr("    “索引歌曲”的过程，需要花费较长的时间。这和您索引的歌曲文件总数有关系。"),
                          91, 40, 372, 24, true);
    lblaLeft = MakeLabel(pnl4, "lblaLeft", tr("正在......"), 91, 180, 200, 13);
    lblaRight = MakeLabel(pnl4, "lblaRight", QStringLiteral("0%"), 334, 180, 154, 13);
    lblaRight->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ProgressBar = new QProgressBar(pnl4);
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setGeometry(91, 199, 397, 22);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    FIndexProgressTimer = new QTimer(this);
    FIndexProgressTimer->setSingleShot(true);
    FIndexProgressTimer->setTimerType(Qt::PreciseTimer);
    connect(FIndexProgressTimer, &QTimer::timeout, this, [this] { ShowIndexProgress(); });

    pnl5 = MakePage(this, "pnl5");
    lblHint5_0 = MakeHint(pnl5, "lblHint5_0",
                          tr("    “离线索引歌曲”执行完毕!   点击“完成”，关闭该向导。"), 91, 41,
                          375, 48, true);

    BuildFigures();
    lblNotes = new QLabel(pnl5);
    lblNotes->setObjectName(QStringLiteral("lblNotes"));
    lblNotes->setGeometry(91, 235, 375, 44);
    lblNotes->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblNotes->setTextFormat(Qt::PlainText);

    connect(edtSongPath, &TButtonEdit::ButtonClicked, this, [this] { edtSongPathButtonClick(); });
    connect(edtTotalPath, &TButtonEdit::ButtonClicked, this, [this] { edtTotalPathButtonClick(); });
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

    FSongFiles = std::make_shared<QStringList>();
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
    if (AStep == 1) {
        ResolveFromStartDir(edtSongPath, true);
        const QString Text = edtSongPath->text();
        if (Text.isEmpty())
            Refuse(Canceled, tr("请指定歌曲文件的存放位置!"), edtSongPath);
        else if (!QFileInfo(Text).isDir())
            Refuse(Canceled, tr("指定的路径不存在!") + QLatin1Char('\r') + PathLine(Text, PathProblem(Text, true)),
                   edtSongPath, {Text});
    } else if (AStep == 2) {
        ResolveFromStartDir(edtTotalPath, false);
        const QString Text = edtTotalPath->text();
        if (Text.isEmpty()) {
            Refuse(Canceled, tr("请指定“总歌库数据库”文件的存放位置!"), edtTotalPath);
            return;
        }
        if (!QFileInfo(Text).isFile()) {
            Refuse(Canceled, tr("指定的数据库文件不存在!") + QLatin1Char('\r') + PathLine(Text, PathProblem(Text, false)),
                   edtTotalPath, {Text});
            return;
        }
        const TConfigValue Local = ReadLocalFileName(FPlaces);
        const QString LocalFile = QString::fromStdString(Local.Value);
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
        const auto Connect = [&](TConnectionRef& ATarget, const std::string& AConnectionString, TConnectMode AMode,
                                 const QString& AError, const QString& AName, const QString& AOrigin,
                                 QLineEdit* AEdit) {
            try {
                ATarget = OpenConnection(AConnectionString, AMode);
            } catch (const TDatabaseError& Error) {
                QString Message = AError + QLatin1Char('\r') + ReasonOf(Error, AName);
                if (!AOrigin.isEmpty())
                    Message += QLatin1Char('\r') + AOrigin;
                ErrorBox(this, tr("  错误"), Message, {AName, QString::fromStdString(Local.File)});
                if (AEdit != nullptr)
                    AEdit->setFocus();
                Canceled = true;
                return false;
            }
            return true;
        };
        if (Connect(cnnLocal, LocalConnectionString(LocalFile.toStdString()), TConnectMode::Default,
                    tr("无法正确连接歌库数据库“%1”。\r请检查数据库文件是否正常。").arg(LocalFile), LocalFile,
                    Origin, nullptr))
            Connect(cnnTotal, TotalConnectionString(Text.toStdString()), TConnectMode::ShareDenyNone,
                    tr("无法正确连接总歌库数据库“%1”。\r请检查数据库文件是否正常。").arg(Text), Text, QString(),
                    edtTotalPath);
    }
}

void TMainForm::StartWorker(QThread* AWorker, TWorkerEndRef AEnd, TWorker AKind, QMetaObject::Connection& ADone) {
    ADone = ProgramWorkers().Start(AWorker, std::move(AEnd), this, [this, AKind] { ThreadDone(AKind); });
}

void TMainForm::StepEntered(int AStep) {
    // Only the current page is shown, so Tab and the accelerators never reach a page behind.
    for (std::size_t I = 0; I < FStepPanels.size(); ++I)
        if (FStepPanels[I] && static_cast<int>(I) != AStep - 1)
            FStepPanels[I]->hide();
    switch (AStep) {
    case 1:
        edtSongPath->setFocus();
        break;
    case 2:
        edtTotalPath->setFocus();
        break;
    case 3: {
        btnPrior->setEnabled(false);
        btnNext->setEnabled(false);
        FProgressMovie->setSpeed(500);
        FProgressMovie->start();
        const QString Folder =
            QString::fromStdString(std::string(TrimControls(edtSongPath->text().toStdString())));
        auto* Worker = new TFileSearchThrd(true, FHandle, Folder, QStringLiteral(".*"), FSongFiles);
        FSearchReport = Worker->Report();
        FThrdSearchFile = Worker;
        StartWorker(Worker, Worker->End(), TWorker::Search, FSearchDone);
        break;
    }
    case 4: {
        btnPrior->setEnabled(false);
        btnNext->setEnabled(false);
        auto* Worker =
            new TSongIdxThrd(FHandle, cnnLocal, cnnTotal, FSongFiles, !chkOnlyAdd->isChecked());
        FIndexReport = Worker->Report();
        FThrdSongIndex = Worker;
        StartWorker(Worker, Worker->End(), TWorker::Index, FIndexDone);
        break;
    }
    case 5:
        btnPrior->hide();
        btnNext->setEnabled(true);
        ShowFigures();
        WriteChoices();
        // Enter closes: Finish is the default button here, whatever has the focus.
        btnNext->setDefault(true);
        btnNext->setFocus();
        for (QShortcut* Shortcut : FEnterFinishes)
            Shortcut->setEnabled(true);
        break;
    default:
        break;
    }
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

void TMainForm::AddNote(const QString& AText, bool AError) {
    FNotes << QString(AText).replace(QLatin1Char('\r'), QLatin1Char(' '));
    FNotesError = FNotesError || AError;
    // One line each, a long file name shortened in its middle; the whole text on hovering.
    QStringList Lines;
    const QFontMetrics Metrics(lblNotes->font());
    for (const QString& Note : FNotes)
        Lines << Metrics.elidedText(Note, Qt::ElideMiddle, lblNotes->width());
    lblNotes->setText(Lines.join(QLatin1Char('\n')));
    lblNotes->setToolTip(FNotes.join(QLatin1Char('\n')));
    QPalette Palette = lblNotes->palette();
    Palette.setColor(QPalette::WindowText, FNotesError ? QColor(160, 0, 0) : palette().color(QPalette::WindowText));
    lblNotes->setPalette(Palette);
}

void TMainForm::BuildFigures() {
    pnlFigures = new QWidget(pnl5);
    pnlFigures->setObjectName(QStringLiteral("pnlFigures"));
    pnlFigures->setGeometry(91, 96, 375, 100);
    auto* Grid = new QGridLayout(pnlFigures);
    Grid->setContentsMargins(0, 0, 0, 0);
    Grid->setHorizontalSpacing(6);
    Grid->setVerticalSpacing(3);
    Grid->setColumnStretch(2, 1);
    int Row = 0;
    int Column = 0;
    const auto Figure = [&](const char* AName, const QString& ACaption) {
        auto* Caption = new QLabel(ACaption, pnlFigures);
        Caption->setObjectName(QString::fromLatin1(AName) + QStringLiteral("Caption"));
        auto* Value = new QLabel(QStringLiteral("0"), pnlFigures);
        Value->setObjectName(QString::fromLatin1(AName));
        Value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Value->setMinimumWidth(40);
        Caption->setBuddy(Value);
        Grid->addWidget(Caption, Row, Column);
        Grid->addWidget(Value, Row, Column + 1);
        if (++Row == 5) {
            Row = 0;
            Column = 3;
        }
        return Value;
    };
    lblFilesFound = Figure("lblFilesFound", tr("找到的文件："));
    lblInserted = Figure("lblInserted", tr("新增的歌曲："));
    lblUpdated = Figure("lblUpdated", tr("重写的歌曲："));
    lblKept = Figure("lblKept", tr("保留的歌曲："));
    lblWithoutName = Figure("lblWithoutName", tr("没有歌名的歌曲："));
    lblUnmatched = Figure("lblUnmatched", tr("总歌库中没有的文件："));
    lblNearMatches = Figure("lblNearMatches", tr("近似匹配的文件："));
    lblFailed = Figure("lblFailed", tr("写入失败的文件："));
    lblNotCollected = Figure("lblNotCollected", tr("未收集的文件："));

    btnSkipped = new QPushButton(tr("查看未索引的文件(&V)…"), pnl5);
    btnSkipped->setObjectName(QStringLiteral("btnSkipped"));
    btnSkipped->setAutoDefault(false);
    btnSkipped->adjustSize();
    btnSkipped->setGeometry(91, 206, std::max(btnSkipped->width(), 160), 25);
    btnSkipped->setEnabled(false);
    connect(btnSkipped, &QPushButton::clicked, this, [this] { btnSkippedClick(); });
}

TRunReport TMainForm::RunReport() const {
    TRunReport Report;
    const int Collected = FSongFiles ? static_cast<int>(FSongFiles->size()) : 0;
    if (FSearchReport)
        Report.SetSearch(*FSearchReport, Collected);
    Report.Collected = Collected;
    if (FIndexReport)
        Report.Index = *FIndexReport;
    return Report;
}

void TMainForm::ShowFigures() {
    const TRunReport Run = RunReport();
    const TSongIdxReport& Report = Run.Index;
    const auto Show = [](QLabel* ALabel, std::size_t AValue) { ALabel->setText(QString::number(AValue)); };
    Show(lblFilesFound, static_cast<std::size_t>(Run.Collected));
    Show(lblInserted, static_cast<std::size_t>(Report.Inserted));
    Show(lblUpdated, static_cast<std::size_t>(Report.Updated));
    Show(lblKept, static_cast<std::size_t>(Report.Kept));
    Show(lblWithoutName, static_cast<std::size_t>(Report.WithoutName));
    Show(lblUnmatched, Report.Unmatched.size());
    Show(lblNearMatches, Report.NearMatches.size());
    Show(lblFailed, static_cast<std::size_t>(Report.Failed));
    Show(lblNotCollected, Run.NotCollected.size());
    btnSkipped->setEnabled(!Run.LeftOut().empty() || Report.Failed > 0);
}

void TMainForm::btnSkippedClick() {
    const TRunReport Run = RunReport();
    delete FSkippedDialog.data();
    // Failures beyond those the report keeps have no path to list.
    FSkippedDialog = new TSkippedFilesDialog(SkippedFiles(Run), Run.UnlistedFailures(), this);
    FSkippedDialog->setAttribute(Qt::WA_DeleteOnClose);
    // Modal to the wizard but not blocking: Finish waits until the list is closed.
    FSkippedDialog->open();
}

void TMainForm::SetUpKeyboard() {
    lblFilePath->setBuddy(edtSongPath);
    lblTotalFile->setBuddy(edtTotalPath);
    BindAccelerator(pnl1, lblFilePath->text(), QLatin1Char('S'), [this] { edtSongPath->setFocus(); });
    BindAccelerator(pnl1, chkOnlyAdd->text(), QLatin1Char('O'), [this] {
        chkOnlyAdd->setFocus();
        chkOnlyAdd->toggle();
    });
    BindAccelerator(pnl2, lblTotalFile->text(), QLatin1Char('M'), [this] { edtTotalPath->setFocus(); });

    // Enter on the last step is Finish, whatever has the focus (off until then: on steps 1
    // and 2 the edits take Enter themselves).
    for (std::size_t I = 0; I < std::size(FEnterFinishes); ++I) {
        FEnterFinishes[I] = new QShortcut(QKeySequence(I == 0 ? Qt::Key_Return : Qt::Key_Enter), this);
        FEnterFinishes[I]->setEnabled(false);
        connect(FEnterFinishes[I], &QShortcut::activated, this, [this] {
            if (Step() == StepMax() && btnNext->isVisible() && btnNext->isEnabled())
                btnNext->click();
        });
    }

    // Enter in an edit is Next.
    for (TButtonEdit* Edit : {edtSongPath, edtTotalPath})
        connect(Edit, &QLineEdit::returnPressed, this, [this] {
            if (btnNext->isVisible() && btnNext->isEnabled())
                btnNext->click();
        });

    // Each page's controls in reading order, then the buttons of the bottom bar.
    QWidget* const Order[] = {edtSongPath,  edtSongPath->Button(),  chkOnlyAdd, edtTotalPath,
                              edtTotalPath->Button(), btnSkipped, btnPrior,   btnNext,
                              btnCancel};
    for (std::size_t I = 1; I < std::size(Order); ++I)
        setTabOrder(Order[I - 1], Order[I]);

    edtSongPath->setAccessibleName(tr("歌曲文件夹"));
    edtSongPath->Button()->setAccessibleName(edtSongPath->Button()->toolTip());
    chkOnlyAdd->setAccessibleName(SpokenCaption(chkOnlyAdd->text()));
    edtTotalPath->setAccessibleName(tr("总歌库数据库"));
    edtTotalPath->Button()->setAccessibleName(edtTotalPath->Button()->toolTip());
    imgProgress->setAccessibleName(tr("搜索进度"));
    ProgressBar->setAccessibleName(tr("索引进度"));
    btnSkipped->setAccessibleName(SpokenCaption(btnSkipped->text()));
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

void TMainForm::NoteIndexFailures() {
    if (!FIndexReport)
        return;
    const TSongIdxReport& Report = *FIndexReport;
    if (!Report.RunError.empty() && Report.Files == 0)
        AddNote(tr("无法从总歌库数据库“%1”读取歌曲信息。\r%2")
                    .arg(edtTotalPath->text(), QString::fromStdString(Report.RunError)),
                true);
    else if (!Report.RunError.empty())
        // A database stopped working: the files after this one were not indexed at all.
        AddNote(tr("数据库出错，索引在第 %1 个文件（共 %2 个）处停止。\r%3")
                    .arg(Report.Files)
                    .arg(FSongFiles ? FSongFiles->size() : 0)
                    .arg(QString::fromStdString(Report.RunError)),
                true);
    else if (Report.Failed > 0)
        AddNote(tr("有 %1 个文件未能写入歌曲信息。\r第一个错误：%2")
                    .arg(Report.Failed)
                    .arg(QString::fromStdString(Report.Failures.empty() ? Report.RunError
                                                                        : Report.Failures.front().Error)),
                true);
}

bool TMainForm::Working() const {
    for (const QPointer<QThread>& Worker : {FThrdSearchFile, FThrdSongIndex})
        if (Worker && Worker->isRunning())
            return true;
    return false;
}

void TMainForm::ThreadDone(TWorker AWorker) {
    // A worker whose end was already queued when the window closed.
    if (FReleased)
        return;
    if (AWorker == TWorker::Search) {
        // The strip goes back to its empty track: a block left lit would say something still runs.
        FProgressMovie->stop();
        FProgressMovie->jumpToFrame(0);
        SetStep(4);
    } else {
        ShowIndexProgress();
        // The run is over: a close question still open asks about nothing and goes.
        if (FAsking)
            DismissOpenBoxes();
        QCoreApplication::processEvents();
        if (FReleased)
            return;
        // The host hears at once; what went wrong is said on step 5, where no one has to click first.
        SendMessageW(FMainAppHandle, WM_WIZ_INDEXED, 0, 0);
        if (!FMadeLocal.isEmpty())
            AddNote(tr("已新建本地歌库：%1").arg(FMadeLocal), false);
        NoteIndexFailures();
        SetStep(5);
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

void TMainForm::SetSearchCount(const QString& AText) {
    lblsRight->setText(AText);
    FitSearchCount();
}

void TMainForm::FitSearchCount() {
    lblsRight->adjustSize();
    lblsRight->move(466 - lblsRight->width(), 180);
}

void TMainForm::ShowIndexProgress() {
    FIndexProgressTimer->stop();
    if (!FIndexProgressDue)
        return;
    FIndexProgressDue = false;
    FIndexProgressShown.start();
    ProgressBar->setMaximum(static_cast<int>(FIndexTotal));
    ProgressBar->setValue(static_cast<int>(FIndexDoneCount));
    lblaRight->setText(QStringLiteral("%1/%2").arg(FIndexDoneCount).arg(FIndexTotal));
}

TLParam TMainForm::WndProc(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    switch (AMsg) {
    case WM_WIZ_STATUS: {
        const QString Text = StatusText(ALParam);
        if (AWParam == 0) {
            lblsLeft->setText(Text);
            lblsLeft->adjustSize();
        }
        else if (AWParam == 1) {
            // The last count goes with the status that follows it.
            ShowIndexProgress();
            lblaLeft->setText(Text);
        }
        break;
    }
    case WM_WIZ_PROGRESS:
        if (ALParam == 0) {
            // Setting and sizing the label lays its text out and posts a layout request, which
            // costs more than the walk does per entry: the count is put on it once per pass of
            // the event loop, before the repaint, so it shows just the same.
            FSearchCount = AWParam;
            if (!FSearchCountQueued) {
                FSearchCountQueued = true;
                QMetaObject::invokeMethod(
                    this,
                    [this, Label = QPointer<QLabel>(lblsRight)] {
                        FSearchCountQueued = false;
                        if (Label)
                            SetSearchCount(QString::number(FSearchCount));
                    },
                    Qt::QueuedConnection);
            }
        } else {
            // One message a file is far more than a screen can show, and the bar repaints at
            // once when it moves: the latest count is shown once a frame, the last one always.
            FIndexDoneCount = AWParam;
            FIndexTotal = ALParam;
            FIndexProgressDue = true;
            const qint64 Since = FIndexProgressShown.isValid() ? FIndexProgressShown.elapsed() : ProgressFrameMs;
            if (Since >= ProgressFrameMs)
                ShowIndexProgress();
            else if (!FIndexProgressTimer->isActive())
                FIndexProgressTimer->start(static_cast<int>(ProgressFrameMs - Since));
        }
        break;
    case WM_WIZ_CLOSE:
        FCloseConfirmation = false;
        // While the close question is open, the close under way goes through once the box has
        // gone; any other box is taken away before the window closes.
        DismissOpenBoxes();
        if (!FAsking)
            close();
        break;
    default:
        break;
    }
    return 0;
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
