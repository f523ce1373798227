// Starting the programs a benchmark times, and waiting for them.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

// AArgs (a program found on PATH or a full path), its output going to AOutput and its errors to
// AErrors ("" for /dev/null and for the benchmark's own standard error).
inline pid_t SpawnProgram(const std::vector<std::string>& AArgs, const std::string& AOutput = std::string(),
                          const std::string& AErrors = std::string()) {
    std::vector<char*> Argv;
    for (const std::string& Arg : AArgs)
        Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, AOutput.empty() ? "/dev/null" : AOutput.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!AErrors.empty())
        posix_spawn_file_actions_addopen(&Actions, 2, AErrors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t Child = 0;
    const int Error = posix_spawnp(&Child, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Error != 0)
        throw std::runtime_error("cannot start " + AArgs.front() + ": " + std::strerror(Error));
    return Child;
}

// The child's exit status; -1 when it did not exit (a signal ended it).
inline int WaitProgram(pid_t AChild) {
    int Status = 0;
    waitpid(AChild, &Status, 0);
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}
