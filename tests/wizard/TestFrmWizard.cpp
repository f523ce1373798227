#include "BoxSeams.h"
#include "FrmWizard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <stdexcept>

namespace {

const QString CloseQuestion = QStringLiteral("您确实要退出该向导吗？");

// A derived window as the program's own will be: it reaches the frame's fields, counts the
// close work, and adds to FormDestroy the documented way.
class TTestWizard : public TWizardForm {
public:
    using TWizardForm::FStepPanels;
    using TWizardForm::FTitles;

    int FormCloseCount = 0;
    int MouseDownCount = 0;
    int FormDestroyCount = 0;

    ~TTestWizard() override { FormDestroy(); }

protected:
    void FormClose() override {
        ++FormCloseCount;
        TWizardForm::FormClose();
    }
    void FormDestroy() override {
        ++FormDestroyCount;
        TWizardForm::FormDestroy();
    }
    void pnlTopMouseDown() override {
        ++MouseDownCount;
        TWizardForm::pnlTopMouseDown();
    }
};

enum class TCloseWay { CancelButton, EscapeKey, CloseRequest };

} // namespace

Q_DECLARE_METATYPE(TBoxAnswer)
Q_DECLARE_METATYPE(TCloseWay)

class TTestFrmWizard : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TScriptedBoxes> FBoxes;
    QPointer<TTestWizard> FForm;

    // A shown, active wizard of ASteps generic pages on step 1.
    TTestWizard* MakeWizard(int ASteps, const QStringList& ATitles = {}) {
        FForm = new TTestWizard;
        FForm->SetStepMax(ASteps);
        FForm->FTitles = ATitles;
        FForm->show();
        FForm->activateWindow();
        [&] { QVERIFY(QTest::qWaitForWindowActive(FForm)); }();
        FForm->SetStep(1);
        return FForm;
    }

    QPushButton* Button(const char* AName) const {
        return FForm->findChild<QPushButton*>(QString::fromLatin1(AName));
    }
    QLabel* TitleLabel() const { return FForm->findChild<QLabel*>(QStringLiteral("lblTitle")); }
    QWidget* FrontPage() const { return FForm->childAt(TWizardForm::PageRect().center()); }

    // Runs the deferred deletions a closed window asked for.
    static void ProcessDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }

    // Everything a step change shows, to tell whether anything moved.
    QStringList Snapshot() const {
        QStringList Result;
        Result << QString::number(FForm->Step()) << FForm->Title() << TitleLabel()->text()
               << QString::number(Button("btnPrior")->isVisible())
               << QString::number(Button("btnPrior")->isEnabled()) << Button("btnNext")->text()
               << QString::number(Button("btnNext")->isEnabled())
               << (FrontPage() ? FrontPage()->objectName() : QString());
        return Result;
    }

    void CheckCloseQuestion(const TBoxRequest& ABox) {
        QCOMPARE(ABox.Kind, TBoxKind::Confirmation);
        QCOMPARE(ABox.Title, QStringLiteral("  确认"));
        QCOMPARE(ABox.Text, CloseQuestion);
        QCOMPARE(ABox.Buttons, (QStringList{QStringLiteral("是(&Y)"), QStringLiteral("否(&N)")}));
        QCOMPARE(ABox.DefaultButton, 0);
    }

    void SaveScreenshot(const QString& AName) {
        const QImage Picture = FForm->grab().toImage();
        QVERIFY(!Picture.isNull());
        const QString Dir = qEnvironmentVariable("CORVENA_SCREENSHOT_DIR");
        if (!Dir.isEmpty()) {
            QDir().mkpath(Dir);
            QVERIFY(Picture.save(QDir(Dir).filePath(AName)));
        }
    }

private slots:
    void init() { FBoxes = std::make_unique<TScriptedBoxes>(); }

    void cleanup() {
        delete FForm.data();
        FBoxes.reset();
    }

    void windowIsAFixedCentredDialog() {
        MakeWizard(5);
        QCOMPARE(FForm->windowTitle(), QStringLiteral("向导"));
        QCOMPARE(FForm->size(), QSize(559, 368));
        QCOMPARE(FForm->minimumSize(), FForm->maximumSize());
        const Qt::WindowFlags Flags = FForm->windowFlags();
        QVERIFY(Flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(Flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
        QVERIFY(!Flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!Flags.testFlag(Qt::WindowMaximizeButtonHint));
        const QPoint Centre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((FForm->frameGeometry().center() - Centre).manhattanLength() <= 1);
    }

    void fontsFallBackToTheInstalledCjkFont() {
        MakeWizard(5);
        QCOMPARE(FForm->font().families().value(0), QStringLiteral("Tahoma"));
        QCOMPARE(FForm->font().pointSize(), 8);
        const QFont TitleFont = TitleLabel()->font();
        QCOMPARE(TitleFont.families().value(0), QStringLiteral("SimSun"));
        QCOMPARE(TitleFont.pixelSize(), 29);
        QVERIFY(TitleFont.bold());
        // Neither Windows font exists here: the glyphs must come from the CJK font.
        QCOMPARE(QFontInfo(TitleFont).family(), QStringLiteral("WenQuanYi Micro Hei"));
        QCOMPARE(QFontInfo(FForm->font()).family(), QStringLiteral("WenQuanYi Micro Hei"));
    }

    void controlsSitWhereTheyBelong_data() {
        QTest::addColumn<QString>("Name");
        QTest::addColumn<QRect>("Geometry");
        QTest::addColumn<QString>("Text");
        QTest::addRow("pnlTop") << "pnlTop" << QRect(0, 0, 559, 49) << QString();
        QTest::addRow("pnlBottom") << "pnlBottom" << QRect(0, 328, 559, 40) << QString();
        QTest::addRow("btnPrior") << "btnPrior" << QRect(310, 7, 75, 25) << "上一步(&B)";
        QTest::addRow("btnNext") << "btnNext" << QRect(391, 7, 75, 25) << "下一步(&N)";
        QTest::addRow("btnCancel") << "btnCancel" << QRect(474, 7, 75, 25) << "取消(&C)";
    }

    void controlsSitWhereTheyBelong() {
        QFETCH(QString, Name);
        QFETCH(QRect, Geometry);
        QFETCH(QString, Text);
        MakeWizard(5);
        auto* Control = FForm->findChild<QWidget*>(Name);
        QVERIFY(Control);
        QCOMPARE(Control->geometry(), Geometry);
        if (auto* ButtonControl = qobject_cast<QPushButton*>(Control))
            QCOMPARE(ButtonControl->text(), Text);
        QCOMPARE(TitleLabel()->pos(), QPoint(104, 9));
    }

    void stepMaxMakesOneGenericPagePerStep() {
        MakeWizard(5);
        std::vector<QPointer<QWidget>> OldPages = FForm->FStepPanels;
        for (int I = 1; I <= 5; ++I) {
            auto* Page = qobject_cast<QLabel*>(OldPages[static_cast<std::size_t>(I - 1)].data());
            QVERIFY(Page);
            QCOMPARE(Page->objectName(), QStringLiteral("pnlStep%1").arg(I));
            QCOMPARE(Page->text(), Page->objectName());
            QCOMPARE(Page->parentWidget(), FForm.data());
            QCOMPARE(Page->geometry(), QRect(0, 49, 559, 279));
            QVERIFY(Page->isVisible());
        }
        FForm->SetStepMax(3);
        QCOMPARE(FForm->StepMax(), 3);
        QCOMPARE(FForm->FStepPanels.size(), std::size_t{3});
        for (const QPointer<QWidget>& Old : OldPages)
            QVERIFY(Old.isNull());
        QCOMPARE(
            FForm->findChildren<QLabel*>(QRegularExpression(QStringLiteral("^pnlStep"))).size(), 3);
    }

    void eachStepShowsItsButtonsTitleAndPage_data() {
        QTest::addColumn<int>("Step");
        QTest::addColumn<bool>("PriorVisible");
        QTest::addColumn<bool>("PriorEnabled");
        QTest::addColumn<QString>("NextText");
        QTest::addColumn<QString>("Title");
        // Only the first three steps have titles.
        QTest::addRow("first") << 1 << true << false << "下一步(&N)"
                               << "第1步：选择文件夹";
        QTest::addRow("middle") << 2 << true << true << "下一步(&N)"
                                << "第2步：选择数据库";
        QTest::addRow("empty title") << 3 << true << true << "下一步(&N)"
                                     << "第3步：";
        QTest::addRow("missing title") << 4 << true << true << "下一步(&N)"
                                       << "第4步：";
        QTest::addRow("last, missing title") << 5 << false << true << "完成(&F)"
                                             << "第5步：";
    }

    void eachStepShowsItsButtonsTitleAndPage() {
        QFETCH(int, Step);
        QFETCH(bool, PriorVisible);
        QFETCH(bool, PriorEnabled);
        QFETCH(QString, NextText);
        QFETCH(QString, Title);
        MakeWizard(5, {QStringLiteral("选择文件夹"), QStringLiteral("选择数据库"), QString()});
        Button("btnNext")->setEnabled(false);
        FForm->SetStep(Step);
        QCOMPARE(FForm->Step(), Step);
        QCOMPARE(Button("btnPrior")->isVisible(), PriorVisible);
        QCOMPARE(Button("btnPrior")->isEnabled(), PriorEnabled);
        QCOMPARE(Button("btnNext")->text(), NextText);
        QVERIFY(Button("btnNext")->isEnabled());
        QCOMPARE(FForm->Title(), Title);
        QCOMPARE(TitleLabel()->text(), Title);
        QVERIFY(FrontPage());
        QCOMPARE(FrontPage()->objectName(), QStringLiteral("pnlStep%1").arg(Step));
    }

    void stepOutsideTheRangeChangesNothing_data() {
        QTest::addColumn<int>("From");
        QTest::addColumn<int>("To");
        QTest::addRow("0 from 1") << 1 << 0;
        QTest::addRow("0 from 3") << 3 << 0;
        QTest::addRow("-1 from 3") << 3 << -1;
        QTest::addRow("6 from 3") << 3 << 6;
        QTest::addRow("6 from 5") << 5 << 6;
    }

    void stepOutsideTheRangeChangesNothing() {
        QFETCH(int, From);
        QFETCH(int, To);
        MakeWizard(5, {QStringLiteral("一"), QStringLiteral("二")});
        FForm->SetStep(From);
        int OnStepCalls = 0;
        FForm->SetOnStep([&](int) { ++OnStepCalls; });
        const QStringList Before = Snapshot();
        FForm->SetStep(To);
        QCOMPARE(Snapshot(), Before);
        QCOMPARE(OnStepCalls, 0);
    }

    void onStepSeesThePreviousStep() {
        MakeWizard(5);
        QStringList Seen;
        FForm->SetOnStep(
            [&](int AStep) { Seen << QStringLiteral("%1 from %2").arg(AStep).arg(FForm->Step()); });
        Button("btnNext")->click();
        FForm->SetStep(2); // the same step again runs everything again
        Button("btnPrior")->click();
        FForm->SetStep(4);
        QCOMPARE(Seen, (QStringList{"2 from 1", "2 from 2", "1 from 2", "4 from 1"}));
    }

    void nextRunsTheEventsUnlessCanceled_data() {
        QTest::addColumn<bool>("Cancel");
        QTest::addColumn<int>("StepAfter");
        QTest::addColumn<QStringList>("Log");
        QTest::addRow("moves on") << false << 3
                                  << QStringList{"before 2", "enter 3 from 2", "after 2 3"};
        QTest::addRow("canceled") << true << 2 << QStringList{"before 2"};
    }

    void nextRunsTheEventsUnlessCanceled() {
        QFETCH(bool, Cancel);
        QFETCH(int, StepAfter);
        QFETCH(QStringList, Log);
        MakeWizard(5);
        FForm->SetStep(2);
        QStringList Seen;
        FForm->SetBeforeNext([&](int AStep, bool& Canceled) {
            Seen << QStringLiteral("before %1").arg(AStep);
            Canceled = Cancel;
        });
        FForm->SetOnStep([&](int AStep) {
            Seen << QStringLiteral("enter %1 from %2").arg(AStep).arg(FForm->Step());
        });
        FForm->SetAfterNext([&](int OldStep, int NewStep) {
            Seen << QStringLiteral("after %1 %2").arg(OldStep).arg(NewStep);
        });
        Button("btnNext")->click();
        QCOMPARE(Seen, Log);
        QCOMPARE(FForm->Step(), StepAfter);
        QVERIFY(FBoxes->Shown().empty());
    }

    void nextOnTheLastStepClosesWithoutAQuestion() {
        MakeWizard(5);
        FForm->SetStep(5);
        const std::vector<QPointer<QWidget>> Pages = FForm->FStepPanels;
        QStringList Seen;
        FForm->SetAfterNext([&](int OldStep, int NewStep) {
            Seen << QStringLiteral("after %1 %2 visible %3")
                        .arg(OldStep)
                        .arg(NewStep)
                        .arg(FForm->isVisible());
        });
        Button("btnNext")->click();
        QVERIFY(FBoxes->Shown().empty());
        QCOMPARE(Seen, QStringList{"after 5 5 visible 0"});
        QTRY_VERIFY(FForm.isNull());
        for (const QPointer<QWidget>& Page : Pages)
            QVERIFY(Page.isNull());
    }

    void closingAsksBeforeTheLastStep_data() {
        QTest::addColumn<int>("Step");
        QTest::addColumn<TCloseWay>("Way");
        QTest::addColumn<TBoxAnswer>("Answer");
        QTest::addColumn<bool>("Asked");
        QTest::addColumn<bool>("Closed");
        QTest::addRow("step 1, Cancel, No")
            << 1 << TCloseWay::CancelButton << TBoxAnswer::No << true << false;
        QTest::addRow("step 1, Cancel, Yes")
            << 1 << TCloseWay::CancelButton << TBoxAnswer::Yes << true << true;
        QTest::addRow("step 2, Escape, No")
            << 2 << TCloseWay::EscapeKey << TBoxAnswer::No << true << false;
        QTest::addRow("step 3, Escape, Yes")
            << 3 << TCloseWay::EscapeKey << TBoxAnswer::Yes << true << true;
        QTest::addRow("step 4, close box, No")
            << 4 << TCloseWay::CloseRequest << TBoxAnswer::No << true << false;
        QTest::addRow("last step, Cancel")
            << 5 << TCloseWay::CancelButton << TBoxAnswer::No << false << true;
        QTest::addRow("last step, close box")
            << 5 << TCloseWay::CloseRequest << TBoxAnswer::No << false << true;
    }

    void closingAsksBeforeTheLastStep() {
        QFETCH(int, Step);
        QFETCH(TCloseWay, Way);
        QFETCH(TBoxAnswer, Answer);
        QFETCH(bool, Asked);
        QFETCH(bool, Closed);
        MakeWizard(5);
        FForm->SetStep(Step);
        FBoxes->Answer(Answer);
        if (Way == TCloseWay::CancelButton)
            Button("btnCancel")->click();
        else if (Way == TCloseWay::EscapeKey)
            QTest::keyClick(FForm, Qt::Key_Escape);
        else
            FForm->close();
        QCOMPARE(FBoxes->Shown().size(), std::size_t{Asked ? 1u : 0u});
        if (Asked)
            CheckCloseQuestion(FBoxes->Shown().front());
        QCOMPARE(FForm->FormCloseCount, Closed ? 1 : 0);
        QCOMPARE(FForm->isVisible(), !Closed);
        ProcessDeletes();
        QCOMPARE(FForm.isNull(), Closed);
    }

    void keysPressOnlyCancel_data() {
        QTest::addColumn<QString>("Focus");
        QTest::addColumn<int>("Key");
        QTest::addColumn<bool>("CancelUsable");
        QTest::addColumn<bool>("Asked");
        QTest::addRow("Return on Next") << "btnNext" << int(Qt::Key_Return) << true << false;
        QTest::addRow("Enter on Next") << "btnNext" << int(Qt::Key_Enter) << true << false;
        QTest::addRow("Return on Cancel") << "btnCancel" << int(Qt::Key_Return) << true << false;
        QTest::addRow("Escape on Next") << "btnNext" << int(Qt::Key_Escape) << true << true;
        QTest::addRow("Escape, Cancel disabled")
            << "btnNext" << int(Qt::Key_Escape) << false << false;
    }

    void keysPressOnlyCancel() {
        QFETCH(QString, Focus);
        QFETCH(int, Key);
        QFETCH(bool, CancelUsable);
        QFETCH(bool, Asked);
        MakeWizard(5);
        FForm->SetStep(2);
        Button("btnCancel")->setEnabled(CancelUsable);
        FBoxes->Answer(TBoxAnswer::No);
        auto* Target = FForm->findChild<QPushButton*>(Focus);
        Target->setFocus();
        QTest::keyClick(Target, static_cast<Qt::Key>(Key));
        QCOMPARE(FForm->Step(), 2);
        QCOMPARE(FBoxes->Shown().size(), std::size_t{Asked ? 1u : 0u});
        QVERIFY(FForm->isVisible());
    }

    void aSecondCloseRequestDoesTheCloseWorkOnce() {
        MakeWizard(5);
        FBoxes->Answer(TBoxAnswer::Yes).Answer(TBoxAnswer::Yes);
        FForm->close();
        FForm->close();
        QCOMPARE(FBoxes->Shown().size(), std::size_t{1});
        QCOMPARE(FForm->FormCloseCount, 1);
        QTRY_VERIFY(FForm.isNull());
    }

    void anErrorInAHandlerIsShownAndTheStepKept() {
        MakeWizard(5);
        FForm->SetBeforeNext([](int, bool&) { throw std::runtime_error("磁盘已满"); });
        bool AfterCalled = false;
        FForm->SetAfterNext([&](int, int) { AfterCalled = true; });
        Button("btnNext")->click();
        QCOMPARE(FForm->Step(), 1);
        QVERIFY(!AfterCalled);
        QCOMPARE(FBoxes->Shown().size(), std::size_t{1});
        const TBoxRequest& Box = FBoxes->Shown().front();
        QCOMPARE(Box.Kind, TBoxKind::Error);
        QCOMPARE(Box.Text, QStringLiteral("磁盘已满"));
        QCOMPARE(Box.Title, QGuiApplication::applicationDisplayName());
        QCOMPARE(Box.Buttons, QStringList{QStringLiteral("确定")});
    }

    void pagesReplacedByADerivedWindowAreDestroyedOnce() {
        MakeWizard(5);
        const std::vector<QPointer<QWidget>> Generic = FForm->FStepPanels;
        std::vector<QPointer<QWidget>> Own;
        for (int I = 1; I <= 5; ++I) {
            auto* Page = new QWidget(FForm);
            Page->setObjectName(QStringLiteral("pnl%1").arg(I));
            Own.emplace_back(Page);
            FForm->FStepPanels[static_cast<std::size_t>(I - 1)] = Page;
        }
        // A page the derived window dropped itself, one listed twice, and pnl5 no longer
        // listed at all.
        delete Own[2].data();
        FForm->FStepPanels[4] = Own[3];
        FForm->SetStep(2);
        QCOMPARE(FrontPage(), Own[1].data());
        QCOMPARE(Own[1]->geometry(), TWizardForm::PageRect());
        FForm->SetStep(3);
        QCOMPARE(FForm->Step(), 3);
        QCOMPARE(FForm->Title(), QStringLiteral("第3步："));
        // A new step count drops the listed pages; the replaced generic ones stay behind.
        FForm->SetStepMax(5);
        for (std::size_t I : {0u, 1u, 2u, 3u})
            QVERIFY(Own[I].isNull());
        QVERIFY(!Own[4].isNull());
        for (const QPointer<QWidget>& Page : Generic)
            QVERIFY(!Page.isNull());
        const std::vector<QPointer<QWidget>> Fresh = FForm->FStepPanels;
        delete FForm.data();
        QVERIFY(Own[4].isNull());
        for (const QPointer<QWidget>& Page : Generic)
            QVERIFY(Page.isNull());
        for (const QPointer<QWidget>& Page : Fresh)
            QVERIFY(Page.isNull());
    }

    void closingAfterReplacingPagesIsClean() {
        MakeWizard(5);
        std::vector<QPointer<QWidget>> All = FForm->FStepPanels;
        for (std::size_t I = 0; I < 5; ++I) {
            FForm->FStepPanels[I] = new QWidget(FForm);
            All.push_back(FForm->FStepPanels[I]);
        }
        FForm->SetStep(5);
        Button("btnNext")->click();
        QTRY_VERIFY(FForm.isNull());
        for (const QPointer<QWidget>& Page : All)
            QVERIFY(Page.isNull());
    }

    void pressingTheHeaderDragsTheWindow_data() {
        QTest::addColumn<QString>("Target");
        QTest::addColumn<Qt::MouseButton>("MouseButton");
        QTest::addColumn<int>("Drags");
        QTest::addRow("band, left") << "pnlTop" << Qt::LeftButton << 1;
        QTest::addRow("band, right") << "pnlTop" << Qt::RightButton << 1;
        QTest::addRow("title") << "lblTitle" << Qt::LeftButton << 1;
        QTest::addRow("page") << "pnlStep1" << Qt::LeftButton << 0;
        QTest::addRow("bottom bar") << "pnlBottom" << Qt::LeftButton << 0;
    }

    void pressingTheHeaderDragsTheWindow() {
        QFETCH(QString, Target);
        QFETCH(Qt::MouseButton, MouseButton);
        QFETCH(int, Drags);
        MakeWizard(5);
        FForm->SetTitle(QStringLiteral("第1步：标题"));
        auto* Widget = FForm->findChild<QWidget*>(Target);
        QVERIFY(Widget);
        QTest::mousePress(Widget, MouseButton, {}, QPoint(5, 5));
        QTest::mouseRelease(Widget, MouseButton, {}, QPoint(5, 5));
        QCOMPARE(FForm->MouseDownCount, Drags);
    }

    void titleCarriesAPaintedShadow() {
        MakeWizard(5, {QStringLiteral("阴影")});
        QLabel* Label = TitleLabel();
        const QImage Picture =
            FForm->findChild<QWidget*>(QStringLiteral("pnlTop"))->grab(Label->geometry()).toImage();
        const QColor TextColour = Label->palette().color(QPalette::WindowText);
        const QColor ShadowColour = TShadowLabel::ShadowColor();
        QPoint TextFar(-1, -1);
        QPoint ShadowFar(-1, -1);
        for (int Y = 0; Y < Picture.height(); ++Y)
            for (int X = 0; X < Picture.width(); ++X) {
                const QColor Pixel = Picture.pixelColor(X, Y);
                QPoint* Far = Pixel == TextColour     ? &TextFar
                              : Pixel == ShadowColour ? &ShadowFar
                                                      : nullptr;
                if (Far)
                    *Far = QPoint(qMax(Far->x(), X), qMax(Far->y(), Y));
            }
        QVERIFY(TextFar.x() >= 0);
        QVERIFY(ShadowFar.x() >= 0);
        QCOMPARE(ShadowFar - TextFar, QPoint(2, 2));
        // Transparent: the band shows through beside the glyphs.
        QCOMPARE(Picture.pixelColor(0, Picture.height() - 1),
                 FForm->findChild<QWidget*>(QStringLiteral("pnlTop"))
                     ->palette()
                     .color(QPalette::Button));
    }

    void screenshotsOfFirstAndLastStep() {
        MakeWizard(5, {QStringLiteral("指定歌曲文件"), QStringLiteral("指定总库数据库"),
                       QStringLiteral("搜集文件信息"), QStringLiteral("更新歌曲信息"),
                       QStringLiteral("完成索引")});
        SaveScreenshot(QStringLiteral("wizard-frame-step1.png"));
        FForm->SetStep(5);
        SaveScreenshot(QStringLiteral("wizard-frame-step5.png"));
    }

    void scriptedBoxesAnswerInOrderAndFallBackToTheDefault() {
        FBoxes->Answer(TBoxAnswer::No).Answer(TBoxAnswer::Yes).Answer(TBoxAnswer::No);
        QVERIFY(!ConfirmBox(nullptr, QStringLiteral("  确认"), QStringLiteral("甲")));
        // An answer the box cannot give is replaced by its default button.
        ErrorBox(nullptr, QStringLiteral("  错误"), QStringLiteral("乙"));
        QVERIFY(!ConfirmBox(nullptr, QStringLiteral("  确认"), QStringLiteral("丙")));
        QCOMPARE(FBoxes->Unanswered(), std::size_t{0});
        QVERIFY(ConfirmBox(nullptr, QStringLiteral("  确认"), QStringLiteral("丁")));
        QCOMPARE(FBoxes->Shown().size(), std::size_t{4});
        QCOMPARE(FBoxes->Shown()[1].Kind, TBoxKind::Error);
        QCOMPARE(FBoxes->Shown()[1].Title, QStringLiteral("  错误"));
        QCOMPARE(FBoxes->Shown()[1].Buttons, QStringList{QStringLiteral("确定")});
        QCOMPARE(FBoxes->Shown()[3].Text, QStringLiteral("丁"));
        {
            TScriptedBoxes Inner;
            Inner.Answer(TBoxAnswer::No);
            QVERIFY(!ConfirmBox(nullptr, QStringLiteral("  确认"), QStringLiteral("戊")));
            QCOMPARE(Inner.Shown().size(), std::size_t{1});
        }
        ErrorBox(nullptr, QStringLiteral("  错误"), QStringLiteral("己"));
        QCOMPARE(FBoxes->Shown().size(), std::size_t{5});
    }

    void realBoxesShowTheirButtonsCentred_data() {
        QTest::addColumn<bool>("Question");
        QTest::addColumn<QString>("Text");
        QTest::addColumn<QString>("Click");
        QTest::addColumn<QString>("Shown");
        QTest::addColumn<QStringList>("Buttons");
        QTest::addColumn<bool>("Result");
        const QStringList YesNo{QStringLiteral("是(&Y)"), QStringLiteral("否(&N)")};
        QTest::addRow("question, Yes") << true << "退出？"
                                       << "是(&Y)"
                                       << "退出？" << YesNo << true;
        QTest::addRow("question, No") << true << "退出？"
                                      << "否(&N)"
                                      << "退出？" << YesNo << false;
        QTest::addRow("error, line break \\r")
            << false << "无法连接“a&b<c>”。\r请检查。"
            << "确定"
            << "无法连接“a&b<c>”。\n请检查。" << QStringList{QStringLiteral("确定")} << false;
    }

    void realBoxesShowTheirButtonsCentred() {
        QFETCH(bool, Question);
        QFETCH(QString, Text);
        QFETCH(QString, Click);
        QFETCH(QString, Shown);
        QFETCH(QStringList, Buttons);
        QFETCH(bool, Result);
        FBoxes.reset();
        QString Title;
        QString BoxText;
        QStringList Captions;
        QString Default;
        QMessageBox::Icon Icon = QMessageBox::NoIcon;
        QPoint Centre;
        QTimer Clicker;
        Clicker.setInterval(10);
        connect(&Clicker, &QTimer::timeout, this, [&] {
            auto* Box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!Box || !Box->isVisible())
                return;
            Clicker.stop();
            Title = Box->windowTitle();
            BoxText = Box->text();
            Icon = Box->icon();
            Centre = Box->frameGeometry().center();
            QAbstractButton* Target = nullptr;
            for (QAbstractButton* Candidate : Box->buttons()) {
                Captions << Candidate->text();
                if (Candidate->text() == Click)
                    Target = Candidate;
            }
            Default = Box->defaultButton() ? Box->defaultButton()->text() : QString();
            if (Target)
                Target->click();
            else
                Box->reject();
        });
        Clicker.start();
        bool Answer = false;
        if (Question)
            Answer = ConfirmBox(nullptr, QStringLiteral("  确认"), Text);
        else
            ErrorBox(nullptr, QStringLiteral("  错误"), Text);
        QCOMPARE(Answer, Result);
        QCOMPARE(Title, Question ? QStringLiteral("  确认") : QStringLiteral("  错误"));
        QCOMPARE(BoxText, Shown);
        QCOMPARE(Icon, Question ? QMessageBox::Question : QMessageBox::Critical);
        Captions.sort();
        Buttons.sort();
        QCOMPARE(Captions, Buttons);
        QCOMPARE(Default, Question ? QStringLiteral("是(&Y)") : QStringLiteral("确定"));
        const QPoint ScreenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
        QVERIFY((Centre - ScreenCentre).manhattanLength() <= 1);
    }
};

QTEST_MAIN(TTestFrmWizard)
#include "TestFrmWizard.moc"
