// The folder browser and the file-open dialog of the wizard. Tests answer them through a
// handler instead of a human.
#pragma once

#include <QString>

#include <functional>

class QWidget;

enum class TDialogKind { Folder, File, SaveList };

// The folder browser "浏览文件夹" with "确定" and "取消"; "" when cancelled.
QString BrowseFolder(QWidget* AParent);
// The file-open dialog for database files; "" when cancelled.
QString BrowseDatabaseFile(QWidget* AParent);

// The save dialog for the list of files a run skipped: a text or a CSV file (the chosen
// type's suffix added when the name has none); "" when cancelled.
QString BrowseSaveList(QWidget* AParent);

// Replaces the real dialogs while set (an empty handler restores them); returns the previous.
using TDialogHandler = std::function<QString(TDialogKind AKind)>;
TDialogHandler SetDialogHandler(TDialogHandler AHandler);
