// Times opening Access master catalogues through TConnection (share-deny-none), which reads
// every table into memory.
//   bench_access [FILE...]     (defaults: the Access files of the tests)
// For each file: rows read, time per open, rows per second (by the clock and by the processor
// time of the program and the reader it starts); then the rate on the file holding
// the largest table and what a 100,000-row catalogue would take at that rate.
#include "AccessImport.h"
#include "Query.h"


#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

struct TTableRows {
    std::string Name;
    long Rows = 0;
};

void Open(TConnection& ACnn, const std::string& AFile) {
    ACnn.SetMode(TConnectMode::ShareDenyNone);
    ACnn.SetConnectionString("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + AFile);
    ACnn.SetConnected(true);
}

std::vector<TTableRows> CountRows(TConnection& ACnn) {
    std::vector<TTableRows> Tables;
    TQuery Names(ACnn);
    Names.SetSQL("select name from sqlite_master where type = 'table'");
    for (Names.Open(); !Names.Eof(); Names.Next())
        Tables.push_back({Names.FieldAsString(0), 0});
    Names.Close();
    for (auto& Table : Tables) {
        TQuery Count(ACnn);
        Count.SetSQL("select count(*) from \"" + Table.Name + "\"");
        Count.Open();
        Table.Rows = Count.FieldAsInteger(0);
    }
    return Tables;
}

// Processor time of this program and of the children it has waited for (the reader), in s:
// the wall-clock time of a short child is mostly the wait for a processor on a busy machine.
double ProcessorSeconds() {
    double Total = 0;
    for (const int Who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage Usage{};
        getrusage(Who, &Usage);
        Total += static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
                 static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
    }
    return Total;
}

} // namespace

int main(int ArgC, char** ArgV) {
    InstallAccessReader();
    std::vector<std::string> Files(ArgV + 1, ArgV + ArgC);
    if (Files.empty())
        Files = {ACCESS_TEST_DATA "/nwind.mdb", ACCESS_TEST_DATA "/DateTestDatabase.mdb",
                 ACCESS_TEST_DATA "/ASampleDatabase.accdb"};
    using TClock = std::chrono::steady_clock;
    TTableRows Largest{"", -1};
    std::string LargestFile;
    double LargestRate = 0;
    for (const std::string& File : Files) {
        try {
            long Rows = 0;
            {
                TConnection Cnn;
                Open(Cnn, File);
                for (const auto& Table : CountRows(Cnn)) {
                    Rows += Table.Rows;
                    if (Table.Rows > Largest.Rows) {
                        Largest = Table;
                        LargestFile = File;
                    }
                }
            }
            // One open of a small file is too short to time alone: open for half a second.
            int Opens = 0;
            double Seconds = 0;
            const auto Start = TClock::now();
            const double StartCpu = ProcessorSeconds();
            while (Seconds < 0.5) {
                TConnection Cnn;
                Open(Cnn, File);
                ++Opens;
                Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
            }
            const double PerOpen = Seconds / Opens;
            const double CpuPerOpen = (ProcessorSeconds() - StartCpu) / Opens;
            const double Rate = static_cast<double>(Rows) / PerOpen;
            std::printf("%s: %ld rows in all tables, %.2f ms per open (%d opens), %.0f rows/s; "
                        "%.2f ms of processor time per open, %.0f rows/s of it\n",
                        File.c_str(), Rows, PerOpen * 1000.0, Opens, Rate, CpuPerOpen * 1000.0,
                        static_cast<double>(Rows) / CpuPerOpen);
            if (LargestFile == File)
                LargestRate = Rate;
        } catch (const TDatabaseError& Error) {
            std::printf("%s: %s\n", File.c_str(), Error.what());
        }
    }
    if (LargestRate > 0) {
        // The whole file's rate: the largest table's rows load with all the others.
        std::printf("largest table: \"%s\" in %s, %ld rows; that file loads %.0f rows/s\n",
                    Largest.Name.c_str(), LargestFile.c_str(), Largest.Rows, LargestRate);
        std::printf("a 100000-row catalogue at that rate: %.2f s\n", 100000.0 / LargestRate);
    }
    return 0;
}
