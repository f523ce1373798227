#include "FrmWizard.h"

#include "MessageBoxes.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QShowEvent>
#include <QWindow>

#include <exception>

namespace {

const QString CjkFallbackFamily = QStringLiteral("WenQuanYi Micro Hei");

constexpr int ButtonTop = 7;
constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 25;

// The bottom bar: a grooved line along its top edge.
class TGroovedPanel : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter Painter(this);
        Painter.setPen(palette().color(QPalette::Dark));
        Painter.drawLine(0, 0, width() - 1, 0);
        Painter.setPen(palette().color(QPalette::Light));
        Painter.drawLine(0, 1, width() - 1, 1);
    }
};

void FillWithButtonFace(QWidget* AWidget) {
    AWidget->setAutoFillBackground(true);
    AWidget->setBackgroundRole(QPalette::Button);
}

QPushButton* MakeButton(QWidget* AParent, const char* AName, const QString& ACaption, int ALeft) {
    auto* Button = new QPushButton(ACaption, AParent);
    Button->setObjectName(QString::fromLatin1(AName));
    Button->setGeometry(ALeft, ButtonTop, ButtonWidth, ButtonHeight);
    Button->setAccessibleName(SpokenCaption(ACaption));
    // Enter must not press anything.
    Button->setAutoDefault(false);
    Button->setDefault(false);
    return Button;
}

} // namespace

QString SpokenCaption(QString ACaption) {
    static const QRegularExpression Accelerator(QStringLiteral("\\(&.\\)|&"));
    return ACaption.remove(Accelerator).trimmed();
}

QFont FontWithCjkFallback(const QString& AFamily) {
    QFont Font(AFamily);
    Font.setFamilies(QStringList{AFamily, CjkFallbackFamily});
    Font.setStyleStrategy(QFont::PreferAntialias);
    return Font;
}

TShadowLabel::TShadowLabel(QWidget* AParent) : QLabel(AParent) {
    // Room for the shadow below and to the right of the text.
    setContentsMargins(0, 0, ShadowOffset, ShadowOffset);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void TShadowLabel::paintEvent(QPaintEvent*) {
    QPainter Painter(this);
    Painter.setRenderHint(QPainter::TextAntialiasing);
    Painter.setFont(font());
    const QRect Area = contentsRect();
    const int Flags = static_cast<int>(alignment()) | Qt::TextSingleLine;
    Painter.setPen(ShadowColor());
    Painter.drawText(Area.translated(ShadowOffset, ShadowOffset), Flags, text());
    Painter.setPen(palette().color(QPalette::WindowText));
    Painter.drawText(Area, Flags, text());
}

TWizardForm::TWizardForm(QWidget* AParent)
    : QWidget(AParent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint) {
    setWindowTitle(tr("向导"));
    QFont Font = FontWithCjkFallback(QStringLiteral("Tahoma"));
    Font.setPointSize(8);
    setFont(Font);
    setFixedSize(ClientWidth, ClientHeight);
    CentreOnScreen(this);

    pnlTop = new QWidget(this);
    pnlTop->setObjectName(QStringLiteral("pnlTop"));
    pnlTop->setGeometry(0, 0, ClientWidth, TopHeight);
    FillWithButtonFace(pnlTop);
    pnlTop->installEventFilter(this);

    lblTitle = new TShadowLabel(pnlTop);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    QFont TitleFont = FontWithCjkFallback(QStringLiteral("SimSun"));
    TitleFont.setPixelSize(29);
    TitleFont.setBold(true);
    lblTitle->setFont(TitleFont);
    lblTitle->move(104, 9);

    pnlBottom = new TGroovedPanel(this);
    pnlBottom->setObjectName(QStringLiteral("pnlBottom"));
    pnlBottom->setGeometry(0, ClientHeight - BottomHeight, ClientWidth, BottomHeight);
    FillWithButtonFace(pnlBottom);

    btnPrior = MakeButton(pnlBottom, "btnPrior", tr("上一步(&B)"), 310);
    btnNext = MakeButton(pnlBottom, "btnNext", tr("下一步(&N)"), 391);
    btnCancel = MakeButton(pnlBottom, "btnCancel", tr("取消(&C)"), 474);
    connect(btnPrior, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnPriorClick(); }); });
    connect(btnNext, &QPushButton::clicked, this, [this] { Guarded([this] { btnNextClick(); }); });
    connect(btnCancel, &QPushButton::clicked, this,
            [this] { Guarded([this] { btnCancelClick(); }); });

    // Escape presses Cancel, as long as Cancel could be pressed by hand.
    auto* Escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(Escape, &QShortcut::activated, this, [this] {
        if (btnCancel->isVisible() && btnCancel->isEnabled())
            btnCancel->click();
    });
}

TWizardForm::~TWizardForm() {
    TWizardForm::FormDestroy();
}

void TWizardForm::SetStepMax(int N) {
    DestroyStepPanels();
    // A negative count means no steps.
    const int Count = N > 0 ? N : 0;
    FStepPanels.assign(static_cast<std::size_t>(Count), nullptr);
    for (int I = 1; I <= Count; ++I) {
        const QString Name = QStringLiteral("pnlStep%1").arg(I);
        auto* Panel = new QLabel(Name, this);
        Panel->setObjectName(Name);
        Panel->setAlignment(Qt::AlignCenter);
        FillWithButtonFace(Panel);
        Panel->setGeometry(PageRect());
        Panel->show();
        FStepPanels[static_cast<std::size_t>(I - 1)] = Panel;
    }
    FStepMax = Count;
}

void TWizardForm::SetStep(int V) {
    if (V < 1 || V > FStepMax)
        return;
    const auto Index = static_cast<std::size_t>(V - 1);
    if (Index < FStepPanels.size() && FStepPanels[Index]) {
        QWidget* Panel = FStepPanels[Index];
        if (Panel->parentWidget() == this)
            Panel->setGeometry(PageRect());
        Panel->show();
        Panel->raise();
    }
    const QString T = V - 1 < FTitles.size() ? FTitles[V - 1] : QString();
    SetTitle(tr("第%1步：%2").arg(QString::number(V), T));
    btnPrior->setVisible(V != FStepMax);
    btnPrior->setEnabled(V != 1);
    btnNext->setEnabled(true);
    btnNext->setText(V == FStepMax ? tr("完成(&F)") : tr("下一步(&N)"));
    btnNext->setAccessibleName(SpokenCaption(btnNext->text()));
    if (FOnStep)
        FOnStep(V);
    FStep = V;
}

void TWizardForm::SetTitle(const QString& S) {
    lblTitle->setText(S);
    lblTitle->adjustSize();
    FTitle = S;
}

void TWizardForm::btnPriorClick() {
    SetStep(FStep - 1);
}

void TWizardForm::btnNextClick() {
    bool Canceled = false;
    if (FBeforeNext)
        FBeforeNext(FStep, Canceled);
    if (Canceled)
        return;
    const int Old = FStep;
    if (FStep == FStepMax)
        close();
    else
        SetStep(FStep + 1);
    // The window, if it closed, is only destroyed once control is back in the event loop.
    if (FAfterNext)
        FAfterNext(Old, FStep);
}

void TWizardForm::btnCancelClick() {
    close();
}

void TWizardForm::FormCloseQuery(bool& CanClose) {
    if (FStep == FStepMax)
        return;
    CanClose = ConfirmClose(tr("您确实要退出该向导吗？"));
}

void TWizardForm::FormClose() {
    setAttribute(Qt::WA_DeleteOnClose);
}

void TWizardForm::FormDestroy() {
    DestroyStepPanels();
}

void TWizardForm::pnlTopMouseDown() {
    if (QWindow* Window = windowHandle())
        Window->startSystemMove();
}

bool TWizardForm::ConfirmClose(const QString& AQuestion) {
    return ConfirmBox(this, tr("  确认"), AQuestion);
}

void TWizardForm::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    // Centred once more now that the frame around the window is known.
    if (!FCentred && !AEvent->spontaneous()) {
        FCentred = true;
        CentreOnScreen(this);
    }
}

void TWizardForm::closeEvent(QCloseEvent* AEvent) {
    // Once a close has been allowed the window is on its way out; a second request must not
    // ask again nor run the close work twice.
    if (FClosed) {
        AEvent->accept();
        return;
    }
    bool CanClose = true;
    if (!Guarded([&] { FormCloseQuery(CanClose); }) || !CanClose ||
        !Guarded([this] { FormClose(); })) {
        AEvent->ignore();
        return;
    }
    FClosed = true;
    AEvent->accept();
}

bool TWizardForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == pnlTop && (AEvent->type() == QEvent::MouseButtonPress ||
                               AEvent->type() == QEvent::MouseButtonDblClick)) {
        pnlTopMouseDown();
        return true;
    }
    return QWidget::eventFilter(AWatched, AEvent);
}

template <class TAction> bool TWizardForm::Guarded(TAction&& AAction) {
    try {
        AAction();
        return true;
    } catch (const TSilentAbort&) {
        return false;
    } catch (const std::exception& Error) {
        ExceptionBox(this, Error);
        return false;
    }
}

void TWizardForm::DestroyStepPanels() {
    // Deleting a page takes it off the window's children and clears every guarded pointer
    // to it, so a page listed twice or already gone is not deleted again.
    for (QPointer<QWidget>& Panel : FStepPanels)
        delete Panel.data();
}
