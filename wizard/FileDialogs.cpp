#include "FileDialogs.h"

#include <QCoreApplication>
#include <QFileDialog>

namespace {

// The dialogs' texts for the translation tools.
class TFileDialogs {
    Q_DECLARE_TR_FUNCTIONS(TFileDialogs)
};

TDialogHandler& Handler() {
    static TDialogHandler Instance;
    return Instance;
}

QString RunDialog(QFileDialog& ADialog) {
    if (ADialog.exec() != QDialog::Accepted || ADialog.selectedFiles().isEmpty())
        return {};
    return ADialog.selectedFiles().constFirst();
}

} // namespace

TDialogHandler SetDialogHandler(TDialogHandler AHandler) {
    return std::exchange(Handler(), std::move(AHandler));
}

QString BrowseFolder(QWidget* AParent) {
    if (Handler())
        return Handler()(TDialogKind::Folder);
    QFileDialog Dialog(AParent, TFileDialogs::tr("浏览文件夹"));
    Dialog.setFileMode(QFileDialog::Directory);
    Dialog.setOption(QFileDialog::ShowDirsOnly);
    Dialog.setOption(QFileDialog::DontUseNativeDialog);
    Dialog.setLabelText(QFileDialog::Accept, TFileDialogs::tr("确定"));
    Dialog.setLabelText(QFileDialog::Reject, TFileDialogs::tr("取消"));
    return RunDialog(Dialog);
}

QString BrowseDatabaseFile(QWidget* AParent) {
    if (Handler())
        return Handler()(TDialogKind::File);
    QFileDialog Dialog(AParent);
    Dialog.setFileMode(QFileDialog::ExistingFile);
    Dialog.setNameFilter(TFileDialogs::tr("数据库文件 (*.mdb)"));
    return RunDialog(Dialog);
}

QString BrowseSaveList(QWidget* AParent) {
    if (Handler())
        return Handler()(TDialogKind::SaveList);
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
    return RunDialog(Dialog);
}
