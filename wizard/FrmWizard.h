#pragma once

// A reusable step wizard window: a header band with the step title, a stack of full-size
// step pages of which one is in front, and a bottom bar with Back, Next/Finish and Cancel.
// It knows nothing about songs; a derived window fills the pages and hooks the events.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <exception>
#include <functional>
#include <utility>
#include <vector>

class QPushButton;

using TBeforeStepEvent = std::function<void(int AStep, bool& Canceled)>;
using TAfterStepEvent = std::function<void(int OldStep, int NewStep)>;
using TOnStepEvent = std::function<void(int AStep)>;

// Unwinds an event handler without an error box: the handler has told the user already.
class TSilentAbort : public std::exception {
public:
    const char* what() const noexcept override { return "operation aborted"; }
};

// A font of the given family whose Chinese glyphs come from the installed CJK font when the
// family itself is missing (Tahoma and SimSun are Windows fonts).
QFont FontWithCjkFallback(const QString& AFamily);

// A caption without its accelerator, as a screen reader says it: "下一步(&N)" is "下一步".
QString SpokenCaption(QString ACaption);

// An event handler is an object and one of its methods.
template <class TObject, class TClass, class... TArgs>
std::function<void(TArgs...)> BindEvent(TObject* AObject, void (TClass::*AMethod)(TArgs...)) {
    return
        [AObject, AMethod](TArgs... AArgs) { (AObject->*AMethod)(std::forward<TArgs>(AArgs)...); };
}

// A transparent label whose text carries a hard dark grey shadow down and to the right.
class TShadowLabel : public QLabel {
public:
    static constexpr int ShadowOffset = 2;
    static QColor ShadowColor() { return QColor(68, 68, 68); }

    explicit TShadowLabel(QWidget* AParent = nullptr);

protected:
    void paintEvent(QPaintEvent* AEvent) override;
};

class TWizardForm : public QWidget {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 559;
    static constexpr int ClientHeight = 368;
    static constexpr int TopHeight = 49;
    static constexpr int BottomHeight = 40;

    // The window destroys itself once closed: create it with new and keep a QPointer.
    explicit TWizardForm(QWidget* AParent = nullptr);
    ~TWizardForm() override;

    int Step() const { return FStep; }
    void SetStep(int V);
    int StepMax() const { return FStepMax; }
    void SetStepMax(int N);
    const QString& Title() const { return FTitle; }
    void SetTitle(const QString& S);

    const TBeforeStepEvent& BeforeNext() const { return FBeforeNext; }
    void SetBeforeNext(TBeforeStepEvent AEvent) { FBeforeNext = std::move(AEvent); }
    const TAfterStepEvent& AfterNext() const { return FAfterNext; }
    void SetAfterNext(TAfterStepEvent AEvent) { FAfterNext = std::move(AEvent); }
    const TOnStepEvent& OnStep() const { return FOnStep; }
    void SetOnStep(TOnStepEvent AEvent) { FOnStep = std::move(AEvent); }

    // The area a step page fills, between header and bottom bar.
    static QRect PageRect() {
        return QRect(0, TopHeight, ClientWidth, ClientHeight - TopHeight - BottomHeight);
    }

protected:
    virtual void btnPriorClick();
    virtual void btnNextClick();
    virtual void btnCancelClick();
    // Sets CanClose to false to keep the window open.
    virtual void FormCloseQuery(bool& CanClose);
    // Runs once, when a close has been allowed; the frame's part destroys the window, so an
    // override does its own work first and then calls TWizardForm::FormClose().
    virtual void FormClose();
    // Destroys the pages listed in FStepPanels; safe to run more than once. The frame's
    // destructor runs its own part; a derived window that adds to it calls FormDestroy()
    // from its own destructor and ends its override with TWizardForm::FormDestroy().
    virtual void FormDestroy();
    virtual void pnlTopMouseDown();

    // The close question of the frame, also used for other texts by derived windows.
    bool ConfirmClose(const QString& AQuestion);

    void showEvent(QShowEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

    QWidget* pnlTop;
    TShadowLabel* lblTitle;
    QWidget* pnlBottom;
    QPushButton* btnPrior;
    QPushButton* btnNext;
    QPushButton* btnCancel;

    int FStep = 0;
    int FStepMax = 0;
    QString FTitle;
    TBeforeStepEvent FBeforeNext;
    TAfterStepEvent FAfterNext;
    TOnStepEvent FOnStep;
    // Pages are children of the window. A derived window may replace entries with its own
    // pages (parented to the window; they are placed over the page area when shown); the
    // pages it replaced stay behind and go with the window. Guarded pointers, so a page
    // deleted elsewhere is never deleted again.
    std::vector<QPointer<QWidget>> FStepPanels;
    QStringList FTitles;

private:
    // An error escaping a handler is shown and the program goes on.
    template <class TAction> bool Guarded(TAction&& AAction);
    void DestroyStepPanels();

    bool FCentred = false;
    bool FClosed = false;
};
