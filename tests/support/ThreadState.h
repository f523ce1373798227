// What the kernel says of a thread of this process, for tests that must know a thread is
// blocked (waiting for a lock or a condition) rather than guess how long it takes to get there.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <string>

// True while the thread ATid (a gettid() of this process) is asleep: blocked in the kernel, on a
// lock, a condition or a read. False for a thread that runs, has ended or is not known yet (0).
inline bool ThreadSleeps(pid_t ATid) {
    if (ATid == 0)
        return false;
    std::ifstream Stat("/proc/self/task/" + std::to_string(ATid) + "/stat");
    const std::string Line((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
    // "tid (name) state ...": the name may hold blanks and parentheses; the state follows the
    // last ')'.
    const std::string::size_type Close = Line.rfind(')');
    return Close != std::string::npos && Close + 2 < Line.size() && Line[Close + 2] == 'S';
}
