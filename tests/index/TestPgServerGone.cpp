// The PostgreSQL server going away while corvena-index writes into it (label pg; these tests
// restart or stop the server of the test run with pg_ctlcluster, so ctest runs them alone): a run
// ends with the usual error naming the server, every song it counted kept; --watch waits, says so
// once, connects again and goes on. Neither ever shows the password.
#include "PgIndexSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>

namespace {

// pg_ctlcluster on the cluster pg_virtualenv made; "" when it did it, else why not.
std::string Cluster(const char* AAction) {
    const char* Version = std::getenv("PGVERSION");
    if (Version == nullptr || std::getenv("PG_CLUSTER_CONF_ROOT") == nullptr)
        return "not inside pg_virtualenv -t: no cluster of the test run's own to stop";
    QProcess Control;
    Control.start(QStringLiteral("pg_ctlcluster"), {QString::fromUtf8(Version), QStringLiteral("regress"),
                                                    QString::fromUtf8(AAction)});
    if (!Control.waitForFinished(60000) || Control.exitCode() != 0)
        return "pg_ctlcluster " + std::string(AAction) + " failed: " + Control.readAllStandardError().toStdString();
    return {};
}

#define REQUIRE_OWN_CLUSTER()                                                                                  \
    do {                                                                                                       \
        if (std::getenv("PG_CLUSTER_CONF_ROOT") == nullptr || std::getenv("PGVERSION") == nullptr)             \
            GTEST_SKIP() << "not inside pg_virtualenv -t: no cluster of the test run's own to stop";          \
    } while (false)

class PgServerGone : public TPgIndexTest {
protected:
    void TearDown() override {
        if (FRun && FRun->state() != QProcess::NotRunning) {
            FRun->kill();
            FRun->waitForFinished(5000);
        }
        // Whatever happened, the next test finds the server up.
        if (!FDb)
            return;
        for (int Try = 0; Try < 100 && !PgServerMissing().empty(); ++Try)
            Cluster("start");
    }

    bool WaitFor(const std::function<bool()>& ADone, int AMs) {
        QElapsedTimer Timer;
        Timer.start();
        while (!ADone() && Timer.elapsed() < AMs) {
            FRun->waitForReadyRead(20);
            FErr += FRun->readAllStandardError();
        }
        return ADone();
    }

    int Rows() const {
        try {
            return std::stoi(FDb->Text("select count(*) from Songs"));
        } catch (const std::exception&) {
            return -1; // the server is away
        }
    }

    // The password of the test run's server, which nothing the program writes may show.
    static std::string Password() {
        const char* Value = std::getenv("PGPASSWORD");
        return Value != nullptr ? Value : "";
    }

    std::unique_ptr<QProcess> FRun;
    QByteArray FErr;
};

// Restarted mid-run: exit 1, the summary's "stopped by:" and the JSON name the server and the
// database; every song the run counted is there (one more at most: a commit the server made
// just as it went).
TEST_F(PgServerGone, ARestartEndsTheRunNamingTheServerAndKeepsItsSongs) {
    PG_REQUIRE_SERVER();
    REQUIRE_OWN_CLUSTER();
    MakeMixedLibrary(400);
    FRun = StartIndex(Arguments({"--quiet"}), CORVENA_INDEX_TESTHOOKS_PROGRAM, CleanEnvironment(10));
    ASSERT_TRUE(WaitFor([&] { return Rows() >= 20; }, 30000)) << FErr.toStdString();
    ASSERT_EQ(Cluster("restart"), "");
    ASSERT_TRUE(FRun->waitForFinished(60000));
    const std::string Out = FRun->readAllStandardOutput().toStdString();
    FErr += FRun->readAllStandardError();
    EXPECT_EQ(FRun->exitCode(), 1) << Out << FErr.toStdString();

    const QJsonObject Json = JsonOf();
    const std::string StoppedBy = Json["stopped_by"].toString().toStdString();
    EXPECT_NE(StoppedBy.find("postgresql://"), std::string::npos) << StoppedBy;
    EXPECT_NE(StoppedBy.find("/" + FDb->Name()), std::string::npos) << StoppedBy;
    EXPECT_NE(Out.find("stopped by:"), std::string::npos) << Out;
    const int Inserted = FiguresOf(Json).at("inserted");
    EXPECT_GT(Inserted, 0);
    EXPECT_LT(Inserted, 400);
    const int Kept = Rows();
    EXPECT_GE(Kept, Inserted);
    EXPECT_LE(Kept, Inserted + 1);
    for (const auto& [Name, Count] : Faults())
        EXPECT_EQ(Count, 0) << Name;
    const std::string Written = Out + FErr.toStdString() + ReadFile(JsonFile());
    EXPECT_EQ(Written.find(Password()), std::string::npos) << "the password was shown";

    // Run again, it writes the rest.
    ASSERT_EQ(RunIndex(Arguments({"--quiet", "--only-add"})).Status, 0);
    EXPECT_EQ(Rows(), 400);
}

// Stopped while watching: the watch says once that it lost the server, waits, connects again
// when it is back, indexes what came meanwhile, and ends with a signal as usual (exit 0).
TEST_F(PgServerGone, TheWatchWaitsForTheServerAndGoesOn) {
    PG_REQUIRE_SERVER();
    REQUIRE_OWN_CLUSTER();
    MakeMixedLibrary(12);
    const std::filesystem::path Aside = FDir.Path() / "aside";
    std::filesystem::create_directories(Aside);
    for (const char* Name : {"100011.mpg", "100012.mpg"})
        std::filesystem::rename(FSongs + "/" + std::to_string(std::atoi(Name) % 4) + "/" + Name, Aside / Name);
    FRun = StartIndex(Arguments({"--watch"}));
    ASSERT_TRUE(WaitFor([&] { return FErr.contains("corvena-index: watching"); }, 30000)) << FErr.toStdString();
    EXPECT_EQ(Rows(), 10);

    ASSERT_EQ(Cluster("stop"), "");
    std::filesystem::copy_file(Aside / "100011.mpg", FSongs + "/3/100011.mpg");
    ASSERT_TRUE(WaitFor([&] { return FErr.contains("waiting for it to come back"); }, 10000)) << FErr.toStdString();
    // A file that comes while the server is away is found once it is back.
    std::filesystem::copy_file(Aside / "100012.mpg", FSongs + "/0/100012.mpg");
    ASSERT_EQ(Cluster("start"), "");
    ASSERT_TRUE(WaitFor([&] { return FErr.contains("connected again"); }, 30000)) << FErr.toStdString();
    ASSERT_TRUE(WaitFor([&] { return Rows() == 12; }, 10000)) << FErr.toStdString();
    EXPECT_EQ(FErr.count("lost the connection"), 1) << FErr.toStdString();
    EXPECT_TRUE(FErr.contains(("lost the connection to the local song database \"postgresql:///" + FDb->Name()).c_str()))
        << FErr.toStdString();

    ::kill(static_cast<pid_t>(FRun->processId()), SIGTERM);
    ASSERT_TRUE(FRun->waitForFinished(10000));
    FErr += FRun->readAllStandardError();
    const std::string Out = FRun->readAllStandardOutput().toStdString();
    EXPECT_EQ(FRun->exitCode(), 0) << Out << FErr.toStdString();
    const auto Figure = Figures();
    EXPECT_EQ(Figure.at("inserted"), 12) << Out;
    EXPECT_EQ(Figure.at("failed"), 0) << Out;
    EXPECT_TRUE(JsonOf()["stopped_by"].isNull()) << Out;
    EXPECT_EQ((Out + FErr.toStdString()).find(Password()), std::string::npos) << "the password was shown";
    for (const auto& [Name, Count] : Faults())
        EXPECT_EQ(Count, 0) << Name;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
