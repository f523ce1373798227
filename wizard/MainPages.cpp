// TMainForm's pages: the controls of the five steps, the figures of step 5 and the keyboard.
#include "Main.h"

#include "FrmWizard.h"
#include "Language.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <functional>

namespace {

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

} // namespace

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

void TMainForm::BuildPages() {
    BuildSongPage();
    BuildMasterPage();
    BuildSearchPage();
    BuildIndexPage();
    BuildEndPage();

    connect(edtSongPath, &TButtonEdit::ButtonClicked, this, [this] { edtSongPathButtonClick(); });
    connect(edtTotalPath, &TButtonEdit::ButtonClicked, this, [this] { edtTotalPathButtonClick(); });
}

void TMainForm::BuildSongPage() {
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
}

void TMainForm::BuildMasterPage() {
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
}

void TMainForm::BuildSearchPage() {
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
}

void TMainForm::BuildIndexPage() {
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
    FRunShowTimer = new QTimer(this);
    FRunShowTimer->setSingleShot(true);
    FRunShowTimer->setTimerType(Qt::PreciseTimer);
    connect(FRunShowTimer, &QTimer::timeout, this, [this] { ShowRun(); });
}

void TMainForm::BuildEndPage() {
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
