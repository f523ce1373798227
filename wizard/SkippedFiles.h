// The files a run did not bring into the song database, each with the reason: listed from
// step 5 and saved by the operator as UTF-8 text or CSV.
#pragma once

#include "ThrdFileSearch.h"
#include "ThrdSongIdx.h"

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;

struct TSkippedFile {
    QString Path;
    QString Reason;
    QString Detail; // the master name, the error or the system's reason; may be empty
};

// Not collected by the search, failed, near matches, the rest of the unmatched files (a near
// match is listed once, as such), then those whose master row has no song name; each group
// in the order the run met them.
std::vector<TSkippedFile> SkippedFiles(const TSongIdxReport& AReport,
                                       const std::vector<TNotCollected>& ANotCollected);

// One file a line: path, reason and detail separated by tabs, "\n" line ends. Control
// characters inside a field are written \xNN so that each file stays on its own line.
QByteArray SkippedFilesText(const std::vector<TSkippedFile>& AFiles);
// A header line, then one record a file; fields quoted where needed, CRLF line ends, a byte
// order mark so that spreadsheet programs read it as UTF-8.
QByteArray SkippedFilesCsv(const std::vector<TSkippedFile>& AFiles);
// Writes AFile whole or not at all: CSV when its name ends in ".csv" (any case), text
// otherwise. The error's text, or "" when written.
QString SaveSkippedFiles(const QString& AFile, const std::vector<TSkippedFile>& AFiles);

// The list on screen, with Save and Close.
class TSkippedFilesDialog : public QDialog {
    Q_OBJECT
public:
    // AUnlisted: failed files the report holds no path of.
    TSkippedFilesDialog(std::vector<TSkippedFile> AFiles, int AUnlisted, QWidget* AParent);

    const std::vector<TSkippedFile>& Files() const { return FFiles; }
    void btnSaveClick();

private:
    std::vector<TSkippedFile> FFiles;
    QLabel* lblCount;
    QTableWidget* grdFiles;
    QPushButton* btnSave;
    QPushButton* btnClose;
};
