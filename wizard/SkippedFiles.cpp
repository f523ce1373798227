#include "SkippedFiles.h"

#include "FileDialogs.h"
#include "MessageBoxes.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString FromUtf8(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

QStringList Header() {
    return {TSkippedFilesDialog::tr("文件"), TSkippedFilesDialog::tr("原因"), TSkippedFilesDialog::tr("说明")};
}

// A field of the text form: escaped as a path is.
QString TextField(const std::string& ABytes) { return FromUtf8(EscapePath(ABytes)); }
QString TextField(const QString& AText) { return TextField(AText.toStdString()); }

QString CsvField(const QString& AField) {
    const bool Quote = AField.contains(QLatin1Char(',')) || AField.contains(QLatin1Char('"')) ||
                       AField.contains(QLatin1Char('\n')) || AField.contains(QLatin1Char('\r')) ||
                       AField.startsWith(QLatin1Char(' ')) || AField.endsWith(QLatin1Char(' '));
    if (!Quote)
        return AField;
    QString Doubled = AField;
    Doubled.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + Doubled + QLatin1Char('"');
}

// Quoting keeps control characters whole; bytes that are not UTF-8 are written \xNN.
QString CsvPath(const std::string& APath) { return FromUtf8(IsValidUtf8(APath) ? APath : EscapePath(APath)); }

QString ReasonText(const TLeftOut& AFile) {
    switch (AFile.Kind) {
    case TLeftOutKind::NotCollected:
        return TSkippedFilesDialog::tr("未收集");
    case TLeftOutKind::Failed:
        return TSkippedFilesDialog::tr("写入失败");
    case TLeftOutKind::NearMatch:
        return TSkippedFilesDialog::tr("近似匹配");
    case TLeftOutKind::Unmatched:
        return TSkippedFilesDialog::tr("总歌库中没有此文件名");
    case TLeftOutKind::WithoutName:
        return TSkippedFilesDialog::tr("总歌库中没有歌名");
    }
    return {};
}

QString DetailText(const TLeftOut& AFile) {
    if (AFile.Kind == TLeftOutKind::NearMatch)
        return TSkippedFilesDialog::tr("总歌库中的“%1”：%2")
            .arg(FromUtf8(AFile.Detail), QString::fromLatin1(NearMatchReasonName(AFile.NearReason)));
    return FromUtf8(AFile.Detail);
}

} // namespace

std::vector<TSkippedFile> SkippedFiles(const TRunReport& AReport) {
    std::vector<TSkippedFile> Files;
    for (const TLeftOut& File : AReport.LeftOut())
        Files.push_back({File.Path, ReasonText(File), DetailText(File)});
    return Files;
}

QString ShownPath(const std::string& APath) {
    const bool Plain = IsValidUtf8(APath) && std::none_of(APath.begin(), APath.end(), [](char AByte) {
                           return static_cast<unsigned char>(AByte) < 0x20 || AByte == 0x7F;
                       });
    return FromUtf8(Plain ? APath : EscapePath(APath));
}

QByteArray SkippedFilesText(const std::vector<TSkippedFile>& AFiles) {
    QString Text;
    for (const TSkippedFile& File : AFiles) {
        Text += TextField(File.Path) + QLatin1Char('\t') + TextField(File.Reason);
        if (!File.Detail.isEmpty())
            Text += QLatin1Char('\t') + TextField(File.Detail);
        Text += QLatin1Char('\n');
    }
    return Text.toUtf8();
}

QByteArray SkippedFilesCsv(const std::vector<TSkippedFile>& AFiles) {
    const QStringList Names = Header();
    QString Text = QChar(0xFEFF) + CsvField(Names[0]) + QLatin1Char(',') + CsvField(Names[1]) +
                   QLatin1Char(',') + CsvField(Names[2]) + QStringLiteral("\r\n");
    for (const TSkippedFile& File : AFiles)
        Text += CsvField(CsvPath(File.Path)) + QLatin1Char(',') + CsvField(File.Reason) + QLatin1Char(',') +
                CsvField(File.Detail) + QStringLiteral("\r\n");
    return Text.toUtf8();
}

QString SaveSkippedFiles(const QString& AFile, const std::vector<TSkippedFile>& AFiles) {
    QSaveFile File(AFile);
    const QByteArray Bytes = AFile.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)
                                 ? SkippedFilesCsv(AFiles)
                                 : SkippedFilesText(AFiles);
    if (!File.open(QIODevice::WriteOnly) || File.write(Bytes) != Bytes.size() || !File.commit())
        return File.errorString();
    return {};
}

TSkippedFilesDialog::TSkippedFilesDialog(std::vector<TSkippedFile> AFiles, int AUnlisted,
                                         QWidget* AParent)
    : QDialog(AParent), FFiles(std::move(AFiles)) {
    setObjectName(QStringLiteral("dlgSkippedFiles"));
    setWindowTitle(tr("未索引的文件"));
    resize(720, 420);

    QString Count = tr("共 %1 个文件未写入歌库。").arg(FFiles.size());
    if (AUnlisted > 0)
        Count += tr("另有 %1 个写入失败的文件未列出。").arg(AUnlisted);
    lblCount = new QLabel(Count, this);
    lblCount->setObjectName(QStringLiteral("lblCount"));
    lblCount->setWordWrap(true);

    grdFiles = new QTableWidget(static_cast<int>(FFiles.size()), 3, this);
    grdFiles->setObjectName(QStringLiteral("grdFiles"));
    grdFiles->setAccessibleName(tr("未索引的文件"));
    grdFiles->setHorizontalHeaderLabels(Header());
    grdFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdFiles->setWordWrap(false);
    grdFiles->verticalHeader()->hide();
    grdFiles->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    grdFiles->horizontalHeader()->setStretchLastSection(true);
    for (int Row = 0; Row < static_cast<int>(FFiles.size()); ++Row) {
        const TSkippedFile& File = FFiles[static_cast<std::size_t>(Row)];
        const QString Fields[] = {ShownPath(File.Path), File.Reason, File.Detail};
        for (int Column = 0; Column < 3; ++Column) {
            auto* Item = new QTableWidgetItem(Fields[Column]);
            Item->setToolTip(Fields[Column]);
            grdFiles->setItem(Row, Column, Item);
        }
    }
    grdFiles->setColumnWidth(0, 380);
    grdFiles->setColumnWidth(1, 130);

    btnSave = new QPushButton(tr("保存(&S)…"), this);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnSave->setAccessibleName(tr("保存列表"));
    btnSave->setEnabled(!FFiles.empty());
    btnClose = new QPushButton(tr("关闭"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setAccessibleName(tr("关闭"));
    btnClose->setDefault(true);
    connect(btnSave, &QPushButton::clicked, this, &TSkippedFilesDialog::btnSaveClick);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);

    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch();
    Buttons->addWidget(btnSave);
    Buttons->addWidget(btnClose);
    auto* Layout = new QVBoxLayout(this);
    Layout->addWidget(lblCount);
    Layout->addWidget(grdFiles);
    Layout->addLayout(Buttons);
}

void TSkippedFilesDialog::btnSaveClick() {
    const QString File = BrowseSaveList(this);
    if (File.isEmpty())
        return;
    const QString Error = SaveSkippedFiles(File, FFiles);
    if (!Error.isEmpty())
        ErrorBox(this, tr("  错误"), tr("无法保存文件“%1”。\r%2").arg(File, Error), {File});
}
