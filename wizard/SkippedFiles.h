// The files a run did not bring into the song database, each with the reason: listed from
// step 5 and saved by the operator as UTF-8 text or CSV.
#pragma once

#include "RunReport.h"

#include <QByteArray>
#include <QDialog>
#include <QString>

#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;

struct TSkippedFile {
    std::string Path; // the path's bytes, as the file system has them
    QString Reason;
    QString Detail; // the master name, the error or the system's reason; may be empty
};

// The files the run left out (TRunReport::LeftOut), each with its reason in the window's
// language.
std::vector<TSkippedFile> SkippedFiles(const TRunReport& AReport);
// A path as the list shows it: as it is when it is valid UTF-8 without control characters,
// else as the unmatched list of corvena-index writes it (\xNN).
QString ShownPath(const std::string& APath);

// One file a line: path, reason and detail separated by tabs, "\n" line ends. Each field is
// escaped as corvena-index escapes its unmatched list (EscapePath): control characters and
// bytes that are not UTF-8 as \xNN, a backslash that would read as such an escape as \x5C, so
// each file stays on its own line and replacing every \xNN by its byte gives the path back.
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

private:
    void btnSaveClick();

    std::vector<TSkippedFile> FFiles;
    QLabel* lblCount;
    QTableWidget* grdFiles;
    QPushButton* btnSave;
    QPushButton* btnClose;
};
