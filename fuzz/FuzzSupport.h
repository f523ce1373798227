// What the fuzz targets share: a folder of their own for the process, removed at exit.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include <unistd.h>

// Under /dev/shm when there is one: the targets write files on every run.
class TFuzzDir {
public:
    explicit TFuzzDir(const std::string& AName) {
        std::error_code Error;
        const std::filesystem::path Base = std::filesystem::is_directory("/dev/shm", Error)
                                               ? std::filesystem::path("/dev/shm")
                                               : std::filesystem::temp_directory_path();
        std::string Template = (Base / ("corvena-" + AName + "-XXXXXX")).string();
        if (::mkdtemp(Template.data()) == nullptr)
            throw std::runtime_error("cannot create a folder under " + Base.string());
        FPath = Template;
    }
    ~TFuzzDir() {
        std::error_code Ignored;
        std::filesystem::remove_all(FPath, Ignored);
    }
    TFuzzDir(const TFuzzDir&) = delete;
    TFuzzDir& operator=(const TFuzzDir&) = delete;

    std::string File(const std::string& AName) const { return (FPath / AName).string(); }

private:
    std::filesystem::path FPath;
};

// A failed check: libFuzzer keeps the input that caused it.
[[noreturn]] inline void FuzzFail(const char* AWhat) {
    std::fprintf(stderr, "fuzz check failed: %s\n", AWhat);
    std::abort();
}

#define FUZZ_CHECK(ACondition)                                                                   \
    do {                                                                                         \
        if (!(ACondition))                                                                       \
            FuzzFail(#ACondition);                                                               \
    } while (false)
