// Child processes for tests, tools and benchmarks: start a program with its
// standard streams on pipes, talk to it, signal it, wait for it with a bound.
#pragma once

#include <string>
#include <vector>

namespace platform {

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    // Kills a child that is still running and reaps it.
    ~ChildProcess();

    // Starts program with arguments (argv[0] is added). Standard input,
    // output and error are pipes to this process. extraEnvironment holds
    // "NAME=value" entries that replace or add to the inherited environment. False when
    // the program could not be started.
    bool Start(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extraEnvironment = {});

    int Pid() const { return pid_; }
    bool IsRunning();

    // Writes to the child's standard input; false when it is closed.
    bool WriteInput(const std::string& bytes);
    void CloseInput();

    // Reads what the child wrote so far, waiting up to timeoutMs for the
    // first byte (0: do not wait). Appends to *out; false at end of stream.
    bool ReadOutput(std::string* out, int timeoutMs);
    bool ReadError(std::string* out, int timeoutMs);
    // Reads standard output until it contains needle or the time runs out.
    bool WaitForOutput(const std::string& needle, int timeoutMs, std::string* everything = nullptr);

    // Asks the child to stop as Ctrl+C would (SIGINT), asks it to end
    // (SIGTERM), or ends it at once (SIGKILL). Where the system has no such
    // signals, the child runs in a hidden console of its own: the first two
    // are a Ctrl+C there, and the last ends it with exit code 137 (128 + 9).
    void Interrupt();
    void Terminate();
    void Kill();

    // Waits for the child to end; true with its exit code (128 + signal for
    // a signal) when it ended within the time.
    bool Wait(int timeoutMs, int* exitCode);

private:
    void CloseAll();

    int pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    // The process handle, where the system gives one.
    void* handle_ = nullptr;
};

// Count of open descriptors and threads of a process, and its resident
// memory in KiB, read from the system; -1 when unknown.
int ProcessOpenDescriptors(int pid);
int ProcessThreadCount(int pid);
long ProcessResidentKiB(int pid);
// How many threads of a process would take SIGINT or SIGTERM now (do not
// block both); -1 when unknown.
int ProcessThreadsTakingStopSignals(int pid);
// User plus system CPU seconds used so far by a process; negative when unknown.
double ProcessCpuSeconds(int pid);

}  // namespace platform
