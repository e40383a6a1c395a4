// Shared by the tests that run real programs: whether an optional program is
// installed, a shell script run in the scratch directory (to its end, or in
// the background while the test talks to the program), waiting for what a
// program prints or writes, and the disk audio driver's recording.
//
// Nothing here sleeps for a set time: a wait polls every 20 ms for what the
// program makes, up to a generous bound (a minute), so a loaded machine only
// makes it longer and a program that never gets there fails the test instead
// of hanging it.
#pragma once

#include "tests/support/scratch.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

// AddressSanitizer reserves terabytes of address space at start and aborts
// instead of failing an allocation: the programs under test are built as the
// tests are, so runs under `ulimit -v` are left out of a sanitized build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool AddressSanitized = true;
#else
inline constexpr bool AddressSanitized = false;
#endif

// Whether a program is on the PATH (Xvfb, xdotool, tmux and dash are optional).
inline bool have(const char* program)
{
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

// How a process ended, as a shell's $? says it: the exit status, or 128 +
// the number of the signal that ended it.
inline int shell_status(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

struct ScriptRun {
    int status = -1;
    std::string out, err;
};

// Runs script with shell in dir to its end. The script and what it prints
// are kept beside dir, not in it, so that dir holds only what programs made.
inline ScriptRun run_script(const std::filesystem::path& dir, const std::string& script, const char* shell = "sh")
{
    const std::string base = dir.string();
    std::ofstream(base + ".sh") << "cd '" << base << "' || exit 99\n" << script << "\n";
    ScriptRun run;
    const std::string command = std::string(shell) + " '" + base + ".sh' >'" + base + ".out' 2>'" + base + ".err'";
    run.status = shell_status(std::system(command.c_str()));
    run.out = read_file(base + ".out");
    run.err = read_file(base + ".err");
    for (const char* tail : {".sh", ".out", ".err"})
        std::filesystem::remove(base + tail);
    return run;
}

// Polls ready until it holds; false when it did not within the bound.
template <typename Ready>
bool wait_until(Ready ready, int seconds = 60)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The size of a file a program is writing; 0 while there is none.
inline uintmax_t file_bytes(const std::filesystem::path& path)
{
    std::error_code missing;
    const uintmax_t size = std::filesystem::file_size(path, missing);
    return missing ? 0 : size;
}

// A shell script (sh -c) started in dir, for a program the test saves files
// under or signals while it runs, or a server it shares. The script should
// exec that program, so that signal() reaches it. It runs in a process group
// of its own, which is stopped (TERM, then KILL after 5 s) when the object
// goes and was not finish()ed, and is told to end when the test process dies.
class Background {
public:
    Background(const std::filesystem::path& dir, const std::string& script)
    {
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (chdir(dir.c_str()) == 0)
                execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid > 0)
            setpgid(pid, pid);   // also here: a kill of the group may come before the child runs
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background()
    {
        if (pid > 0 && kill(-pid, SIGTERM) == 0)
            finish(5);
    }

    void signal(int number) const
    {
        if (pid > 0)
            kill(pid, number);
    }
    bool running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

    // Waits for the end, killing the group after the bound; shell_status.
    int finish(int seconds = 60)
    {
        int raw = 0;
        if (!wait_until([&] { return waitpid(pid, &raw, WNOHANG) == pid; }, seconds)) {
            kill(-pid, SIGKILL);
            waitpid(pid, &raw, 0);
        }
        pid = 0;
        return shell_status(raw);
    }

private:
    pid_t pid = 0;
};

// What SDL's disk audio driver wrote: 16-bit frames of two channels.
struct Recording {
    std::vector<int16_t> left, right;
};

inline Recording read_recording(const std::filesystem::path& raw)
{
    const std::string bytes = read_file(raw);
    Recording sound{std::vector<int16_t>(bytes.size() / 4), std::vector<int16_t>(bytes.size() / 4)};
    for (size_t i = 0; i < sound.left.size(); ++i) {
        std::memcpy(&sound.left[i], bytes.data() + 4 * i, 2);
        std::memcpy(&sound.right[i], bytes.data() + 4 * i + 2, 2);
    }
    return sound;
}

// The index of the first sound in samples at or after from; size() if none.
inline size_t first_sound(const std::vector<int16_t>& samples, size_t from = 0)
{
    return size_t(std::find_if(samples.begin() + ptrdiff_t(from), samples.end(), [](int16_t s) { return s != 0; }) -
                  samples.begin());
}
