// TMainForm: the wizard's only window. Five steps: the song folder, the master catalogue
// (both checked, then both databases opened), the file search, the indexing and the end.
//
// The window owns both connections and the collected file list and lends them to its workers
// as shared references: closing drops the window's references only, so a worker that is
// still stopping keeps what it uses alive and the window never waits for it.
#pragma once

#include "Config.h"
#include "FileList.h"
#include "FrmWizard.h"
#include "RunProgress.h"
#include "RunReport.h"
#include "SongsThrd.h"
#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"
#include "WinMessages.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QStringList>
#include <QThread>

#include <memory>
#include <string>

class QCheckBox;
class QLabel;
class QMovie;
class QProgressBar;
class QPushButton;
class QShortcut;
class QTimer;
class QToolButton;
class TSkippedFilesDialog;

// An edit with a browse button inside its right end.
class TButtonEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TButtonEdit(QWidget* AParent = nullptr);
    QToolButton* Button() const { return FButton; }

signals:
    void ButtonClicked();

protected:
    void resizeEvent(QResizeEvent* AEvent) override;

private:
    QToolButton* FButton;
};

class TMainForm : public TWizardForm {
    Q_OBJECT
public:
    // AArguments as the program got them (the program first); AProgramFile is the program's
    // own file, beside which the tool file lives.
    TMainForm(const QStringList& AArguments, const QString& AProgramFile, QWidget* AParent = nullptr);
    ~TMainForm() override;

protected:
    // The handle other threads and the host send this window's messages to (its window id).
    TWindowHandle Handle() const { return FHandle; }

    void FormCreate();
    void BeforeNextStep(int AStep, bool& Canceled);
    void StepEntered(int AStep);
    enum class TWorker { Search, Index };
    // Completion handler of both workers, on the UI thread.
    void ThreadDone(TWorker AWorker);
    void edtSongPathButtonClick();
    void edtTotalPathButtonClick();
    void FormCloseQuery(bool& CanClose) override;
    void FormClose() override;
    // The messages handled on the window's thread (WM_WIZ_CLOSE).
    virtual TLParam WndProc(unsigned AMsg, TWParam AWParam, TLParam ALParam);
    // WM_WIZ_STATUS and WM_WIZ_PROGRESS, handled on the thread that sends them (the index
    // worker's own, the window's for the search): recorded, and shown by the window's thread.
    // Called on other threads until the window's registration has ended (its destructor).
    virtual TLParam WorkerMessage(unsigned AMsg, TWParam AWParam, TLParam ALParam);

    QWidget* pnl1;
    QLabel* lblHint1_0;
    QLabel* lblHint1_1;
    QLabel* lblFilePath;
    TButtonEdit* edtSongPath;
    QCheckBox* chkOnlyAdd;
    QLabel* lblHint1_3;
    QWidget* pnl2;
    QLabel* lblHint2_1;
    QLabel* lblHint2_2;
    QLabel* lblTotalFile;
    TButtonEdit* edtTotalPath;
    QLabel* lblHint2_3;
    QWidget* pnl3;
    QLabel* lblHint3_0;
    QLabel* lblsLeft;
    QLabel* lblsRight;
    QLabel* imgProgress;
    QMovie* FProgressMovie;
    QWidget* pnl4;
    QLabel* lblHint4_0;
    QLabel* lblaLeft;
    QLabel* lblaRight;
    QProgressBar* ProgressBar;
    QWidget* pnl5;
    QLabel* lblHint5_0;
    // What the run did, below the closing text; the button lists the files it left out.
    QWidget* pnlFigures;
    QLabel* lblFilesFound;
    QLabel* lblInserted;
    QLabel* lblUpdated;
    QLabel* lblKept;
    QLabel* lblWithoutName;
    QLabel* lblUnmatched;
    QLabel* lblNearMatches;
    QLabel* lblFailed;
    QLabel* lblNotCollected;
    QPushButton* btnSkipped;
    QPointer<TSkippedFilesDialog> FSkippedDialog;
    // What step 5 has to say besides the figures: a database made, a run stopped, files that
    // failed, the choices not saved. One line each.
    QLabel* lblNotes;
    QStringList FNotes;
    bool FNotesError = false;
    // Enter presses Finish on the last step.
    QShortcut* FEnterFinishes[2] = {};

    TConnectionRef cnnLocal;
    TConnectionRef cnnTotal;
    std::uintptr_t FMainAppHandle = 0;
    bool FCloseConfirmation = false;
    QPointer<QThread> FThrdSearchFile;
    QPointer<QThread> FThrdSongIndex;
    TStringListRef FSongFiles;
    // The last index run's report, read once the worker has finished.
    TSongIdxReportRef FIndexReport;
    // The last search's report, read once the worker has finished.
    TFileSearchReportRef FSearchReport;
    // The current directory the wizard was started in, before it moved to its own folder.
    QString FStartDir;
    // Where the configuration files are.
    TConfigPlaces FPlaces;
    // The user's own local song database, when step 2 made it.
    QString FMadeLocal;

private:
    void BuildPages();
    void BuildSongPage();
    void BuildMasterPage();
    void BuildSearchPage();
    void BuildIndexPage();
    void BuildEndPage();
    // Next on step 1: the song folder must exist.
    void CheckSongFolder(bool& Canceled);
    // Next on step 2: the master must exist; both databases are opened.
    void OpenDatabases(bool& Canceled);
    // Opens ATarget; an error box (AError, the reason, AOrigin) refuses the step when it fails.
    bool Connect(TConnectionRef& ATarget, const std::string& AConnectionString, TConnectMode AMode,
                 const QString& AError, const QString& AName, const QString& AOrigin, const QStringList& AUnbroken,
                 QLineEdit* AEdit, bool& Canceled);
    void SetSearchCount(const QString& AText);
    // Sizes the count label to its text and puts its right edge in place.
    void FitSearchCount();
    // Shows an error box, puts the focus on AEdit (when given) and refuses the step.
    // AUnbroken: the file names in AText, laid out on one line each.
    void Refuse(bool& Canceled, const QString& AText, QLineEdit* AEdit, const QStringList& AUnbroken = {});
    // Starts a worker at lower priority with ThreadDone as its completion handler.
    void StartWorker(QThread* AWorker, TWorkerEndRef AEnd, TWorker AKind, QMetaObject::Connection& ADone);
    // What a finished index run could not do, as notes for step 5.
    void NoteIndexFailures();
    void AddNote(const QString& AText, bool AError);
    // A worker is still running (its question on closing means something).
    bool Working() const;
    // Puts what the workers reported and is not shown yet on the pages' labels and the bar.
    void ShowRun();
    // The same, at most once a screen frame (else once the frame is over).
    void ShowRunAtFrameRate();
    void WriteChoices();
    // What the last run did, as far as it went.
    TRunReport RunReport() const;
    void BuildFigures();
    void ShowFigures();
    void btnSkippedClick();
    // Keyboard: tab order, accelerators, Enter as Next, accessible names.
    void SetUpKeyboard();
    // A relative name that is nothing in the program's folder but is something in the folder
    // the wizard was started from becomes that absolute name in AEdit.
    void ResolveFromStartDir(QLineEdit* AEdit, bool AFolder);

    QStringList FArguments;
    std::string FProgramFile;
    TWindowHandle FHandle = 0;
    QMetaObject::Connection FSearchDone;
    QMetaObject::Connection FIndexDone;
    // Set once the close sequence has run: completion handling already queued is dropped.
    bool FReleased = false;
    // True while the close question is on screen.
    bool FAsking = false;
    // What the workers reported, written on their threads.
    TRunProgress* FRunProgress = nullptr;
    // Showing the search count is queued for the event loop's next pass.
    bool FSearchCountQueued = false;
    // When the bar last moved (it repaints at once when it does), and the timer that shows the
    // reports once that frame is over.
    QElapsedTimer FProgressShown;
    QTimer* FRunShowTimer = nullptr;
};

// The program: creates the window, shows it and runs the event loop until it is closed; then
// waits for a worker that is still stopping, so the process never ends under it.
int RunCorvena(const QStringList& AArguments, const QString& AProgramFile);

// Every worker the program's windows started.
TWorkers& ProgramWorkers();
