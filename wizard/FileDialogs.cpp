#include "FileDialogs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <functional>
#include <utility>

namespace {

// The dialogs' texts for the translation tools.
class TFileDialogs {
    Q_DECLARE_TR_FUNCTIONS(TFileDialogs)
};

#ifdef CORVENA_TEST_SEAMS
using TDialogHandler = std::function<QString(TDialogKind AKind, QFileDialog& ADialog)>;
TDialogHandler& Handler() {
    static TDialogHandler Instance;
    return Instance;
}
#endif

QString RunDialog([[maybe_unused]] TDialogKind AKind, QFileDialog& ADialog) {
#ifdef CORVENA_TEST_SEAMS
    if (Handler())
        return Handler()(AKind, ADialog);
#endif
    if (ADialog.exec() != QDialog::Accepted || ADialog.selectedFiles().isEmpty())
        return {};
    return ADialog.selectedFiles().constFirst();
}

void OpenAt(QFileDialog& ADialog, const TDialogStart& AStart) {
    ADialog.setDirectory(AStart.Folder.isEmpty() ? QDir::homePath() : AStart.Folder);
    if (!AStart.File.isEmpty())
        ADialog.selectFile(AStart.File);
}

} // namespace

TDialogStart DialogStart(const QString& ATyped, const QStringList& ABases) {
    const QString Typed = ATyped.trimmed();
    if (Typed.isEmpty())
        return {QDir::homePath(), {}};
    QStringList Candidates;
    if (QDir::isAbsolutePath(Typed))
        Candidates << QDir::cleanPath(Typed);
    else
        for (const QString& Base : ABases)
            Candidates << QDir::cleanPath(QDir(Base).absoluteFilePath(Typed));
    // The first base under which the name itself exists wins; else the deepest existing folder
    // above it under the first base.
    for (const QString& Candidate : Candidates) {
        const QFileInfo Info(Candidate);
        if (Info.isDir())
            return {Candidate, {}};
        if (Info.isFile())
            return {Info.absolutePath(), Candidate};
    }
    if (!Candidates.isEmpty())
        for (QFileInfo Up(Candidates.front()); !Up.isRoot();) {
            Up = QFileInfo(Up.absolutePath());
            if (Up.isDir())
                return {Up.absoluteFilePath(), {}};
        }
    return {QDir::homePath(), {}};
}

#ifdef CORVENA_TEST_SEAMS
// The tests answer the dialogs through this (declared in the tests' BoxSeams.h).
TDialogHandler SetDialogHandler(TDialogHandler AHandler) {
    return std::exchange(Handler(), std::move(AHandler));
}
#endif

QString BrowseFolder(QWidget* AParent, const TDialogStart& AStart) {
    QFileDialog Dialog(AParent, TFileDialogs::tr("浏览文件夹"));
    Dialog.setFileMode(QFileDialog::Directory);
    Dialog.setOption(QFileDialog::ShowDirsOnly);
    Dialog.setOption(QFileDialog::DontUseNativeDialog);
    Dialog.setLabelText(QFileDialog::Accept, TFileDialogs::tr("确定"));
    Dialog.setLabelText(QFileDialog::Reject, TFileDialogs::tr("取消"));
    OpenAt(Dialog, AStart);
    return RunDialog(TDialogKind::Folder, Dialog);
}

QString BrowseDatabaseFile(QWidget* AParent, const TDialogStart& AStart) {
    QFileDialog Dialog(AParent, TFileDialogs::tr("选择总歌库数据库文件"));
    Dialog.setFileMode(QFileDialog::ExistingFile);
    // Operators' masters are Access files of either kind; an SQLite master may be named anyhow.
    Dialog.setNameFilters({TFileDialogs::tr("数据库文件 (*.mdb *.accdb)"), TFileDialogs::tr("所有文件 (*)")});
    OpenAt(Dialog, AStart);
    return RunDialog(TDialogKind::File, Dialog);
}

QString BrowseSaveList(QWidget* AParent) {
    QFileDialog Dialog(AParent, TFileDialogs::tr("保存未索引的文件列表"));
    Dialog.setAcceptMode(QFileDialog::AcceptSave);
    Dialog.setFileMode(QFileDialog::AnyFile);
    const QString TextFilter = TFileDialogs::tr("文本文件 (*.txt)");
    const QString CsvFilter = TFileDialogs::tr("CSV 文件 (*.csv)");
    Dialog.setNameFilters({TextFilter, CsvFilter});
    Dialog.setDefaultSuffix(QStringLiteral("txt"));
    QObject::connect(&Dialog, &QFileDialog::filterSelected, &Dialog, [&Dialog, CsvFilter](const QString& AFilter) {
        Dialog.setDefaultSuffix(AFilter == CsvFilter ? QStringLiteral("csv") : QStringLiteral("txt"));
    });
    return RunDialog(TDialogKind::SaveList, Dialog);
}
