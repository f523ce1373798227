#include "SkippedFiles.h"

#include "TestSupport.h"

#include <QFile>
#include <QtTest>

// The list of files a run left out, and its two file forms, byte for byte.
class TestSkippedFiles : public QObject {
    Q_OBJECT
private slots:
    void GroupsInOrder();
    void Formats_data();
    void Formats();
    void SavedByTheNamesSuffix();
};

void TestSkippedFiles::GroupsInOrder() {
    TSongIdxReport Report;
    Report.Unmatched = {"/s/u1.mpg", "/s/near.MPG", "/s/u2.mpg"};
    Report.NearMatches = {{"/s/near.MPG", "near.mpg", TNearMatchReason::Extension}};
    Report.Failures = {{"/s/f.mpg", "no such column: Track"}};
    Report.Failed = 1;
    Report.WithoutNameFiles = {"/s/nameless.mpg"};
    const std::vector<TNotCollected> NotCollected{{"/s/locked", "Permission denied"}};
    const std::vector<TSkippedFile> Files = SkippedFiles(Report, NotCollected);
    QCOMPARE(Files.size(), std::size_t(6));
    const QStringList Expected{"/s/locked|未收集|Permission denied", "/s/f.mpg|写入失败|no such column: Track",
                               "/s/near.MPG|近似匹配|总歌库中的“near.mpg”：extension", "/s/u1.mpg|总歌库中没有此文件名|",
                               "/s/u2.mpg|总歌库中没有此文件名|", "/s/nameless.mpg|总歌库中没有歌名|"};
    for (std::size_t I = 0; I < Files.size(); ++I)
        QCOMPARE(Files[I].Path + "|" + Files[I].Reason + "|" + Files[I].Detail, Expected[static_cast<qsizetype>(I)]);
    QVERIFY(SkippedFiles(TSongIdxReport{}, {}).empty());
}

void TestSkippedFiles::Formats_data() {
    QTest::addColumn<QString>("Path");
    QTest::addColumn<QString>("Detail");
    QTest::addColumn<QByteArray>("Text");
    QTest::addColumn<QByteArray>("Csv");
    QTest::addRow("plain") << "/歌曲/1.mpg" << "" << QByteArray("/歌曲/1.mpg\t原因\n")
                           << QByteArray("/歌曲/1.mpg,原因,\r\n");
    QTest::addRow("comma and quote") << "/a,\"b\".mpg" << "x" << QByteArray("/a,\"b\".mpg\t原因\tx\n")
                                     << QByteArray("\"/a,\"\"b\"\".mpg\",原因,x\r\n");
    // A line break or tab inside a name must not split the file's line.
    QTest::addRow("line break and tab") << "/a\nb\tc.mpg" << "e\r" << QByteArray("/a\\x0ab\\x09c.mpg\t原因\te\\x0d\n")
                                        << QByteArray("\"/a\nb\tc.mpg\",原因,\"e\r\"\r\n");
    QTest::addRow("blank at the ends") << " /a.mpg " << "" << QByteArray(" /a.mpg \t原因\n")
                                       << QByteArray("\" /a.mpg \",原因,\r\n");
}

void TestSkippedFiles::Formats() {
    QFETCH(QString, Path);
    QFETCH(QString, Detail);
    QFETCH(QByteArray, Text);
    QFETCH(QByteArray, Csv);
    const std::vector<TSkippedFile> Files{{Path, "原因", Detail}};
    QCOMPARE(SkippedFilesText(Files), Text);
    QCOMPARE(SkippedFilesCsv(Files), QByteArray("\xEF\xBB\xBF文件,原因,说明\r\n") + Csv);
}

void TestSkippedFiles::SavedByTheNamesSuffix() {
    const TTempDir Dir;
    const std::vector<TSkippedFile> Files{{"/a.mpg", "原因", ""}};
    for (const char* Name : {"list.txt", "list", "list.csv", "LIST.CSV", "list.csv.txt"}) {
        const QString File = QString::fromStdString(Dir.File(Name));
        QCOMPARE(SaveSkippedFiles(File, Files), QString());
        QFile In(File);
        QVERIFY(In.open(QIODevice::ReadOnly));
        const bool Csv = QString(Name).endsWith(".csv", Qt::CaseInsensitive);
        QCOMPARE(In.readAll(), Csv ? SkippedFilesCsv(Files) : SkippedFilesText(Files));
    }
    const QString Missing = QString::fromStdString(Dir.File("none/list.txt"));
    QVERIFY(!SaveSkippedFiles(Missing, Files).isEmpty());
    QVERIFY(!QFile::exists(Missing));
}

QTEST_MAIN(TestSkippedFiles)
#include "TestSkippedFiles.moc"
