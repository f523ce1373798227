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
    void SavedTextGivesTheExactPathsBack();
};

void TestSkippedFiles::GroupsInOrder() {
    TRunReport Run;
    TSongIdxReport& Report = Run.Index;
    Report.Unmatched = {"/s/u1.mpg", "/s/near.MPG", "/s/u2.mpg"};
    Report.NearMatches = {{"/s/near.MPG", "near.mpg", TNearMatchReason::Extension}};
    Report.Failures = {{"/s/f.mpg", "no such column: Track"}};
    Report.Failed = 1;
    Report.WithoutNameFiles = {"/s/nameless.mpg"};
    Run.NotCollected = {{"/s/locked", "Permission denied"}};
    const std::vector<TSkippedFile> Files = SkippedFiles(Run);
    QCOMPARE(Files.size(), std::size_t(6));
    const QStringList Expected{"/s/locked|未收集|Permission denied", "/s/f.mpg|写入失败|no such column: Track",
                               "/s/near.MPG|近似匹配|总歌库中的“near.mpg”：extension", "/s/u1.mpg|总歌库中没有此文件名|",
                               "/s/u2.mpg|总歌库中没有此文件名|", "/s/nameless.mpg|总歌库中没有歌名|"};
    for (std::size_t I = 0; I < Files.size(); ++I)
        QCOMPARE(QString::fromStdString(Files[I].Path) + "|" + Files[I].Reason + "|" + Files[I].Detail,
                 Expected[static_cast<qsizetype>(I)]);
    QVERIFY(SkippedFiles(TRunReport{}).empty());
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
    QTest::addRow("line break and tab") << "/a\nb\tc.mpg" << "e\r" << QByteArray("/a\\x0Ab\\x09c.mpg\t原因\te\\x0D\n")
                                        << QByteArray("\"/a\nb\tc.mpg\",原因,\"e\r\"\r\n");
    QTest::addRow("blank at the ends") << " /a.mpg " << "" << QByteArray(" /a.mpg \t原因\n")
                                       << QByteArray("\" /a.mpg \",原因,\r\n");
}

void TestSkippedFiles::Formats() {
    QFETCH(QString, Path);
    QFETCH(QString, Detail);
    QFETCH(QByteArray, Text);
    QFETCH(QByteArray, Csv);
    const std::vector<TSkippedFile> Files{{Path.toStdString(), "原因", Detail}};
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

// Read back as corvena-index's unmatched list is read, each line of the saved text gives the
// exact path, whatever its name holds, and the reason stays the line's second field.
void TestSkippedFiles::SavedTextGivesTheExactPathsBack() {
    TRunReport Run;
    std::vector<std::string> Expected;
    // A name that is not UTF-8 comes as the search shows it.
    const std::string NotUtf8 = "/s/bad\xff\\x41.mpg";
    Run.NotCollected = {{QString::fromStdString(EscapePath(NotUtf8)), "file name is not valid UTF-8"}};
    Expected.push_back(NotUtf8);
    Run.Index.Failures = {{"/s/failed\n\\x0A.mpg", "an error\twith a tab\nand a newline"}};
    Run.Index.Failed = 1;
    Expected.push_back(Run.Index.Failures[0].Path);
    for (const std::string& Name : HostileNames) {
        Run.Index.Unmatched.push_back("/s/" + Name);
        Expected.push_back("/s/" + Name);
    }
    const QByteArray Text = SkippedFilesText(SkippedFiles(Run));
    QVERIFY(Text.endsWith('\n'));
    std::vector<std::string> Paths;
    for (const QByteArray& Line : Text.chopped(1).split('\n')) {
        const QList<QByteArray> Fields = Line.split('\t');
        QVERIFY2(Fields.size() == 2 || Fields.size() == 3, Line.constData());
        Paths.push_back(DecodeEscapes(Fields[0].toStdString()));
        const QString Reason = QString::fromStdString(DecodeEscapes(Fields[1].toStdString()));
        QVERIFY2(QStringList({"未收集", "写入失败", "总歌库中没有此文件名"}).contains(Reason), Line.constData());
        if (Reason == "写入失败")
            QCOMPARE(DecodeEscapes(Fields.value(2).toStdString()), Run.Index.Failures[0].Error);
    }
    QCOMPARE(Paths.size(), Expected.size());
    for (std::size_t I = 0; I < Paths.size(); ++I)
        QCOMPARE(QByteArray::fromStdString(Paths[I]), QByteArray::fromStdString(Expected[I]));
}

QTEST_MAIN(TestSkippedFiles)
#include "TestSkippedFiles.moc"
