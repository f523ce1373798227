// The folder browser and the file-open dialog of the wizard. The test builds let a handler
// answer them instead of a human (SetDialogHandler in the tests' BoxSeams.h).
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

enum class TDialogKind { Folder, File, SaveList };

// Where a browse dialog opens for what is typed in its edit: the folder it names, or the
// folder holding the file it names (that file then chosen), or else the nearest folder above
// that exists. A relative name is looked for below each of ABases in turn; nothing typed, or
// nothing of it existing, opens the home folder.
struct TDialogStart {
    QString Folder;
    QString File; // "" unless the typed text names an existing file
};
TDialogStart DialogStart(const QString& ATyped, const QStringList& ABases);

// The folder browser "浏览文件夹" with "确定" and "取消", opened at AStart; "" when cancelled.
QString BrowseFolder(QWidget* AParent, const TDialogStart& AStart = {});
// The file-open dialog for the master catalogue: Access and SQLite files named .mdb or .accdb,
// or any file; opened at AStart. "" when cancelled.
QString BrowseDatabaseFile(QWidget* AParent, const TDialogStart& AStart = {});

// The save dialog for the list of files a run skipped: a text or a CSV file (the chosen
// type's suffix added when the name has none); "" when cancelled.
QString BrowseSaveList(QWidget* AParent);
