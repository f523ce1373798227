#include "FileDialogs.h"

#include <QFileDialog>

namespace {

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
    QFileDialog Dialog(AParent, QStringLiteral("浏览文件夹"));
    Dialog.setFileMode(QFileDialog::Directory);
    Dialog.setOption(QFileDialog::ShowDirsOnly);
    Dialog.setOption(QFileDialog::DontUseNativeDialog);
    Dialog.setLabelText(QFileDialog::Accept, QStringLiteral("确定"));
    Dialog.setLabelText(QFileDialog::Reject, QStringLiteral("取消"));
    return RunDialog(Dialog);
}

QString BrowseDatabaseFile(QWidget* AParent) {
    if (Handler())
        return Handler()(TDialogKind::File);
    QFileDialog Dialog(AParent);
    Dialog.setFileMode(QFileDialog::ExistingFile);
    Dialog.setNameFilter(QStringLiteral("数据库文件 (*.mdb)"));
    return RunDialog(Dialog);
}
