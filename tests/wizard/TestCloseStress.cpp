// Closing the wizard at a random moment of the search or of the indexing, over and over: by the
// operator (the question answered Yes) or by the host (WM_WIZ_CLOSE from another thread). No
// round may crash or hang, each ends within 5 seconds, and every song row written is whole.
//   CORVENA_CLOSE_ROUNDS (default 12) and CORVENA_CLOSE_SEED choose the rounds.
#include "BoxSeams.h"
#include "Main.h"
#include "QtTestSupport.h"
#include "TestSupport.h"
#include "WindowThreadHooks.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <fstream>
#include <random>

class TStressForm : public TMainForm {
public:
    using TMainForm::TMainForm;
    using TMainForm::Handle;
    using TMainForm::btnNext;
    using TMainForm::edtSongPath;
    using TMainForm::edtTotalPath;
    using TMainForm::FThrdSearchFile;
    using TMainForm::FThrdSongIndex;

    ~TStressForm() override {
        FHooks.Close();
        UnregisterWindow(Handle());
    }

    // Run on the window's thread while the sender waits.
    std::function<void(unsigned, TWParam, TLParam)> AfterMessage;
    // Told the workers the window has as it closes (the host's close may come after the
    // search has handed over to the indexing).
    std::function<void(QThread*, QThread*)> OnClose;

protected:
    void FormClose() override {
        if (OnClose)
            OnClose(FThrdSearchFile, FThrdSongIndex);
        TMainForm::FormClose();
    }

    TLParam WndProc(unsigned AMsg, TWParam AWParam, TLParam ALParam) override {
        const TLParam Result = TMainForm::WndProc(AMsg, AWParam, ALParam);
        Handled(AMsg, AWParam, ALParam);
        return Result;
    }
    TLParam WorkerMessage(unsigned AMsg, TWParam AWParam, TLParam ALParam) override {
        const TLParam Result = TMainForm::WorkerMessage(AMsg, AWParam, ALParam);
        Handled(AMsg, AWParam, ALParam);
        return Result;
    }

private:
    void Handled(unsigned AMsg, TWParam AWParam, TLParam ALParam) {
        FHooks.Run([&] {
            if (AfterMessage)
                AfterMessage(AMsg, AWParam, ALParam);
        });
    }

    TWindowThreadHooks FHooks;
};

class TestCloseStress : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void CloseAtRandomMoments();

private:
    static constexpr int FileCount = 2000;
    TTempDir FDir;
    std::string FEmptyLocal;
};

namespace {

int EnvInt(const char* AName, int ADefault) {
    bool Ok = false;
    const int Value = qEnvironmentVariableIntValue(AName, &Ok);
    return Ok ? Value : ADefault;
}

} // namespace

// KTV/Tools (the program), KTV/Configure.ini naming KTV/DataBase/Ktv.mdb, a master of 2,000
// songs and their files in 8 folders below KTV/Songs.
void TestCloseStress::initTestCase() {
    const auto Root = FDir.Path() / "KTV";
    std::filesystem::create_directories(Root / "Tools");
    std::filesystem::create_directories(Root / "DataBase");
    FEmptyLocal = MakeDatabase(FDir, "empty.mdb", TSchemaKind::Local);
    RunSql(FEmptyLocal, "insert into DiscoTypes (TypeID, TypeName) values (7, 'Disco')");
    const std::string Master = MakeDatabase(FDir, "KTV/DataBase/Total.mdb", TSchemaKind::Master);
    std::string Rows;
    for (int I = 1; I <= FileCount; ++I) {
        const std::string Name = std::to_string(20000 + I);
        const auto Folder = Root / "Songs" / std::to_string(I % 8);
        std::filesystem::create_directories(Folder);
        std::ofstream(Folder / (Name + ".mpg"));
        Rows += "insert into Songs (SongNumber, SongName, FilePath, SingerName, LanguageName, "
                "TypeName, PublishDate, CharsCount) values ('" + Name + "', '歌" + Name + "', '" +
                Name + ".mpg', '歌手', '国语', '" + (I % 3 == 0 ? "Disco" : "流行") + "', 44197.5, 2);";
    }
    RunSql(Master, Rows);
    std::ofstream(Root / "Configure.ini") << "[DataBase]\nLocal=" << (Root / "DataBase" / "Ktv.mdb").string() << "\n";
}

void TestCloseStress::CloseAtRandomMoments() {
    const int Rounds = EnvInt("CORVENA_CLOSE_ROUNDS", 12);
    const auto Seed = static_cast<unsigned>(EnvInt("CORVENA_CLOSE_SEED", 1));
    std::mt19937 Random(Seed);
    const auto Root = FDir.Path() / "KTV";
    const std::string Local = (Root / "DataBase" / "Ktv.mdb").string();
    const QString SavedDir = QDir::currentPath();
    TScriptedBoxes Boxes;
    qint64 Slowest = 0;
    int DuringSearch = 0, DuringIndex = 0, ByHost = 0;

    for (int Round = 0; Round < Rounds; ++Round) {
        std::filesystem::remove(Local + "-wal");
        std::filesystem::remove(Local + "-shm");
        std::filesystem::copy_file(FEmptyLocal, Local, std::filesystem::copy_options::overwrite_existing);
        const bool InSearch = Random() % 2 == 0;
        const bool FromHost = Random() % 2 == 0;
        // The search sends a progress for every entry (files and the two dot entries of
        // each folder); the indexing one per file.
        const TWParam At = 1 + Random() % (FileCount - 1);
        (InSearch ? DuringSearch : DuringIndex)++;
        ByHost += FromHost ? 1 : 0;

        QPointer<TStressForm> Form = new TStressForm({"corvena"}, QString::fromStdString((Root / "Tools" / "corvena").string()));
        Form->show();
        QPointer<QThread> SearchWorker, IndexWorker;
        QElapsedTimer SinceClose;
        std::unique_ptr<QThread> Host;
        bool Closing = false;
        Form->OnClose = [&](QThread* ASearch, QThread* AIndex) {
            SearchWorker = ASearch;
            IndexWorker = AIndex;
        };
        Form->AfterMessage = [&](unsigned AMsg, TWParam AWParam, TLParam ALParam) {
            if (Closing || AMsg != WM_WIZ_PROGRESS || (ALParam == 0) != InSearch || AWParam < At)
                return;
            Closing = true;
            SinceClose.start();
            if (FromHost) {
                const TWindowHandle Handle = Form->Handle();
                Host.reset(QThread::create([Handle] { SendMessageW(Handle, WM_WIZ_CLOSE, 0, 0); }));
                Host->start();
            } else {
                Boxes.Answer(TBoxAnswer::Yes);
                Form->close();
            }
        };
        Form->edtSongPath->setText(QString::fromStdString((Root / "Songs").string()));
        Form->btnNext->click();
        Form->edtTotalPath->setText(QString::fromStdString((Root / "DataBase" / "Total.mdb").string()));
        Form->btnNext->click();
        if (Form->Step() != 3) {
            // The box has only the wizard's words: say what the database itself answers.
            std::string Why = "opens now";
            try {
                TConnection Probe;
                Probe.SetConnectionString(JetConnectionString(Local));
                Probe.SetConnected(true);
            } catch (const TDatabaseError& Error) {
                Why = Error.what();
            }
            QFAIL(qPrintable(QString("round %1 stayed on step %2: %3 (%4)")
                                 .arg(Round)
                                 .arg(Form->Step())
                                 .arg(Boxes.Shown().empty() ? QString() : Boxes.Shown().back().Text,
                                      QString::fromStdString(Why))));
        }

        // The bound is on the close, not on the run up to it, which a loaded machine slows.
        QVERIFY2(RunUntil([&] { return Closing; }, 120000),
                 qPrintable(QString("round %1 never reached its moment to close").arg(Round)));
        const bool Ended = RunUntil(
            [&] {
                return Closing && Form.isNull() && (!SearchWorker || SearchWorker->isFinished()) &&
                       (!IndexWorker || IndexWorker->isFinished());
            },
            5000);
        QVERIFY2(Ended, qPrintable(QString("round %1 (%2 at %3, %4) did not end within 5 s")
                                      .arg(Round)
                                      .arg(InSearch ? "search" : "indexing")
                                      .arg(At)
                                      .arg(FromHost ? "host" : "Yes")));
        Slowest = std::max(Slowest, SinceClose.elapsed());
        if (Host)
            QVERIFY(Host->wait(5000));
        // The stopped workers release themselves, and with them the last connections.
        QVERIFY(RunUntil([&] { return SearchWorker.isNull() && IndexWorker.isNull(); }, 5000));

        const int Songs = std::stoi(QueryText(Local, "select count(*) from Songs"));
        const int Whole = std::stoi(QueryText(
            Local, "select count(*) from Songs where SongName like '歌%' and SongNumber <> '' and "
                   "FilePath like '%.mpg' and SingerName = '歌手' and PublishDate = 44197.5 and "
                   "LanguageID is not null and TypeID is not null"));
        QCOMPARE(Whole, Songs);
        // Closed by Yes the worker stops before the next file; the host's close arrives a
        // little later, from its own thread.
        if (InSearch && !FromHost)
            QCOMPARE(Songs, 0);
        else if (!FromHost)
            QVERIFY2(Songs < static_cast<int>(At), qPrintable(QString("%1 >= %2").arg(Songs).arg(At)));
        QVERIFY(Songs < FileCount);
        QDir::setCurrent(SavedDir);
    }
    qInfo("%d rounds (seed %u): %d closed during the search, %d during the indexing, %d by the "
          "host; slowest close %lld ms",
          Rounds, Seed, DuringSearch, DuringIndex, ByHost, static_cast<long long>(Slowest));
}

QTEST_MAIN(TestCloseStress)
#include "TestCloseStress.moc"
