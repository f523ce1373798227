// Pieces both bad-input tests use: fixture files, another program holding a database, the
// long path.
#pragma once

#include "TestSupport.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>

namespace badinputs {

inline void WriteFile(const std::filesystem::path& APath, const std::string& AText) {
    std::filesystem::create_directories(APath.parent_path());
    std::ofstream(APath, std::ios::binary) << AText;
}

// The same bytes every run.
inline std::string RandomBytes(std::size_t ASize) {
    std::mt19937 Random(16);
    std::string Bytes(ASize, '\0');
    for (char& Byte : Bytes)
        Byte = static_cast<char>(Random() & 0xFF);
    return Bytes;
}

// AText inside single quotes of an SQL literal.
inline std::string Escaped(std::string AText) {
    for (std::size_t At = AText.find('\''); At != std::string::npos; At = AText.find('\'', At + 2))
        AText.insert(At, 1, '\'');
    return AText;
}

// A shell command's status (fixture steps that need a tool: chattr, umount).
inline int Shell(const std::string& ACommand) { return std::system((ACommand + " >/dev/null 2>&1").c_str()); }

// Folders of 250 characters below Songs and a file name of 255: 4,000 characters in all.
inline std::string LongRelative() {
    std::string Relative = "Songs";
    for (char Letter = 'a'; Relative.size() < 3700; ++Letter)
        Relative += "/" + std::string(250, Letter);
    return Relative + "/" + std::string(255 - 8, 'z') + "deep.mpg";
}

// Another program writing the file: a connection holding a write transaction until released.
// Start it after the test's last other use of the file: closing any handle on it in this
// process would drop the lock.
class TWriter {
public:
    explicit TWriter(const std::string& AFileName) {
        FThread = std::thread([this, AFileName] {
            sqlite3* Db = nullptr;
            sqlite3_open_v2(AFileName.c_str(), &Db, SQLITE_OPEN_READWRITE, nullptr);
            const bool Holding = sqlite3_exec(Db, "begin immediate", nullptr, nullptr, nullptr) == SQLITE_OK;
            std::unique_lock Lock(FMutex);
            FState = Holding ? 1 : -1;
            FChanged.notify_all();
            // Longer than the busy timeout: until released once the run has ended.
            FChanged.wait_for(Lock, std::chrono::seconds(20), [this] { return FState == 2; });
            sqlite3_exec(Db, "commit", nullptr, nullptr, nullptr);
            sqlite3_close(Db);
        });
        std::unique_lock Lock(FMutex);
        FChanged.wait(Lock, [this] { return FState != 0; });
    }
    ~TWriter() { Release(); }
    TWriter(const TWriter&) = delete;
    TWriter& operator=(const TWriter&) = delete;

    bool Holding() const { return FState == 1; }
    void Release() {
        {
            const std::lock_guard Lock(FMutex);
            FState = 2;
        }
        FChanged.notify_all();
        if (FThread.joinable())
            FThread.join();
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FState = 0; // 1 holding, -1 could not, 2 released
    std::thread FThread;
};

} // namespace badinputs
