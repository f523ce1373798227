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

#include <unordered_set>

namespace {


QString FromUtf8(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

QStringList Header() {
    return {TSkippedFilesDialog::tr("文件"), TSkippedFilesDialog::tr("原因"), TSkippedFilesDialog::tr("说明")};
}

QString EscapeControls(const QString& AField) {
    QString Result;
    Result.reserve(AField.size());
    for (const QChar Char : AField) {
        if (Char.unicode() < 0x20 || Char.unicode() == 0x7F)
            Result += QStringLiteral("\\x%1").arg(Char.unicode(), 2, 16, QLatin1Char('0'));
        else
            Result += Char;
    }
    return Result;
}

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

} // namespace

std::vector<TSkippedFile> SkippedFiles(const TSongIdxReport& AReport,
                                       const std::vector<TNotCollected>& ANotCollected) {
    std::vector<TSkippedFile> Files;
    for (const TNotCollected& Entry : ANotCollected)
        Files.push_back({Entry.Path, TSkippedFilesDialog::tr("未收集"), Entry.Reason});
    for (const TSongIdxFailure& Failure : AReport.Failures)
        Files.push_back({FromUtf8(Failure.Path), TSkippedFilesDialog::tr("写入失败"), FromUtf8(Failure.Error)});
    std::unordered_set<std::string> Near;
    for (const TNearMatch& Match : AReport.NearMatches) {
        Near.insert(Match.Path);
        const QString Master = FromUtf8(Match.MasterName);
        Files.push_back({FromUtf8(Match.Path), TSkippedFilesDialog::tr("近似匹配"),
                         TSkippedFilesDialog::tr("总歌库中的“%1”：%2")
                             .arg(Master, QString::fromLatin1(NearMatchReasonName(Match.Reason)))});
    }
    for (const std::string& Path : AReport.Unmatched)
        if (!Near.contains(Path))
            Files.push_back({FromUtf8(Path), TSkippedFilesDialog::tr("总歌库中没有此文件名"), QString()});
    for (const std::string& Path : AReport.WithoutNameFiles)
        Files.push_back({FromUtf8(Path), TSkippedFilesDialog::tr("总歌库中没有歌名"), QString()});
    return Files;
}

QByteArray SkippedFilesText(const std::vector<TSkippedFile>& AFiles) {
    QString Text;
    for (const TSkippedFile& File : AFiles) {
        Text += EscapeControls(File.Path) + QLatin1Char('\t') + EscapeControls(File.Reason);
        if (!File.Detail.isEmpty())
            Text += QLatin1Char('\t') + EscapeControls(File.Detail);
        Text += QLatin1Char('\n');
    }
    return Text.toUtf8();
}

QByteArray SkippedFilesCsv(const std::vector<TSkippedFile>& AFiles) {
    const QStringList Names = Header();
    QString Text = QChar(0xFEFF) + CsvField(Names[0]) + QLatin1Char(',') + CsvField(Names[1]) +
                   QLatin1Char(',') + CsvField(Names[2]) + QStringLiteral("\r\n");
    for (const TSkippedFile& File : AFiles)
        Text += CsvField(File.Path) + QLatin1Char(',') + CsvField(File.Reason) + QLatin1Char(',') +
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
        const QString Fields[] = {File.Path, File.Reason, File.Detail};
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
