// TMainForm from step 3 on: the workers started and ended, their messages shown, the host told,
// and what the run did on step 5.
#include "Main.h"

#include "MessageBoxes.h"
#include "SkippedFiles.h"
#include "WorkerStatus.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

#include <optional>

namespace {

// A screen's frame: what the index worker reports changes the page at most this often.
constexpr int ProgressFrameMs = 16;

// A status text as the window shows it: a worker's status in the window's language, any other
// text as it came.
QString StatusText(const TSentStatus& AStatus) {
    if (AStatus.Status)
        return QCoreApplication::translate("TWorkerStatus", WorkerStatusSource(*AStatus.Status));
    return AStatus.Text;
}

} // namespace

// Every worker the program started: the program waits for those still stopping before it
// returns.
TWorkers& ProgramWorkers() {
    static TWorkers Workers;
    return Workers;
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
        // Everything the worker reported has been recorded by now.
        ShowRun();
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

void TMainForm::SetSearchCount(const QString& AText) {
    lblsRight->setText(AText);
    FitSearchCount();
}

void TMainForm::FitSearchCount() {
    lblsRight->adjustSize();
    lblsRight->move(466 - lblsRight->width(), 180);
}

void TMainForm::ShowRun() {
    FRunShowTimer->stop();
    const TRunProgress::TState State = FRunProgress->Take();
    if (State.SearchStatusChanged) {
        lblsLeft->setText(StatusText(State.SearchStatus));
        lblsLeft->adjustSize();
    }
    if (State.SearchCountChanged)
        SetSearchCount(QString::number(State.SearchCount));
    if (State.IndexStatusChanged)
        lblaLeft->setText(StatusText(State.IndexStatus));
    if (State.IndexProgressChanged) {
        FProgressShown.start();
        ProgressBar->setMaximum(static_cast<int>(State.IndexTotal));
        ProgressBar->setValue(static_cast<int>(State.IndexCurrent));
        lblaRight->setText(QStringLiteral("%1/%2").arg(State.IndexCurrent).arg(State.IndexTotal));
    }
}

void TMainForm::ShowRunAtFrameRate() {
    const qint64 Since = FProgressShown.isValid() ? FProgressShown.elapsed() : ProgressFrameMs;
    if (Since >= ProgressFrameMs)
        ShowRun();
    else if (!FRunShowTimer->isActive())
        FRunShowTimer->start(static_cast<int>(ProgressFrameMs - Since));
}

TLParam TMainForm::WorkerMessage(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
    // From another thread, the record wakes the window's thread (once until it has looked).
    FRunProgress->Put(AMsg, AWParam, ALParam);
    if (QThread::currentThread() != thread())
        return 0;
    // On the window's own thread (the search walks there): a status shows at once, and with it
    // the count as it stands.
    if (AMsg == WM_WIZ_STATUS) {
        ShowRun();
    } else if (AMsg == WM_WIZ_PROGRESS && ALParam == 0) {
        // Setting and sizing the count's label lays its text out and posts a layout request,
        // which costs more than the walk does per entry: the count is put on it once per pass
        // of the event loop, before the repaint, so it shows just the same.
        if (!FSearchCountQueued) {
            FSearchCountQueued = true;
            QMetaObject::invokeMethod(
                this,
                [this] {
                    FSearchCountQueued = false;
                    ShowRun();
                },
                Qt::QueuedConnection);
        }
    } else if (AMsg == WM_WIZ_PROGRESS) {
        // One message a file is far more than a screen can show, and the bar repaints at once
        // when it moves.
        ShowRunAtFrameRate();
    }
    return 0;
}

TLParam TMainForm::WndProc(unsigned AMsg, TWParam, TLParam) {
    if (AMsg == WM_WIZ_CLOSE) {
        FCloseConfirmation = false;
        // While the close question is open, the close under way goes through once the box has
        // gone; any other box is taken away before the window closes.
        DismissOpenBoxes();
        if (!FAsking)
            close();
    }
    return 0;
}
