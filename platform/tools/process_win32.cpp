#include "platform/tools/process.h"

#include <windows.h>

#include <cstdio>
#include <io.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <chrono>
#include <mutex>
#include <thread>

namespace platform {
namespace {

// The pipe ends are kept as C library descriptors, which fit the fields that
// other systems fill with their own descriptors.
HANDLE Os(int fd) { return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

void CloseFd(int& fd) {
    if (fd >= 0) ::_close(fd);
    fd = -1;
}

int ToFd(HANDLE h, int flags) { return ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags); }

bool ReadFd(int fd, std::string* out, int timeoutMs) {
    if (fd < 0) return false;
    HANDLE h = Os(fd);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        DWORD available = 0;
        // A pipe whose writer has gone reports an error here: end of stream.
        if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available > 0) break;
        if (std::chrono::steady_clock::now() >= deadline) return true;  // nothing yet
        ::Sleep(2);
    }
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) return true;
        DWORD got = 0;
        DWORD want = available < sizeof buffer ? available : static_cast<DWORD>(sizeof buffer);
        if (!::ReadFile(h, buffer, want, &got, nullptr) || got == 0) return false;
        out->append(buffer, got);
    }
}

// One argument as the C library of the started program will split it again.
std::string Quote(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are escaped, and the quote too.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string NameOf(const std::string& entry) {
    std::string name = entry.substr(0, entry.find('=', 1));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

// The inherited environment with the extra entries in place of those of the
// same name (names are not case sensitive here), as one block.
std::string EnvironmentBlock(const std::vector<std::string>& extra) {
    std::string block;
    if (char* inherited = ::GetEnvironmentStringsA()) {
        for (const char* e = inherited; *e; e += std::strlen(e) + 1) {
            std::string entry(e);
            bool replaced = false;
            for (const auto& x : extra) replaced = replaced || NameOf(x) == NameOf(entry);
            if (!replaced) block.append(entry).push_back('\0');
        }
        ::FreeEnvironmentStringsA(inherited);
    }
    for (const auto& x : extra) block.append(x).push_back('\0');
    block.push_back('\0');
    return block;
}

}  // namespace

void ChildProcess::CloseAll() {
    if (handle_) {
        if (!reaped_) {
            ::TerminateProcess(handle_, 137);
            ::WaitForSingleObject(handle_, INFINITE);
            reaped_ = true;
        }
        ::CloseHandle(handle_);
        handle_ = nullptr;
    }
    CloseFd(in_);
    CloseFd(out_);
    CloseFd(err_);
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& extraEnvironment) {
    CloseAll();
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) return false;
    if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) return false;
    if (!::CreatePipe(&errRead, &errWrite, &inherit, 0)) return false;
    // Our ends stay with us, and so do our own standard streams: a helper
    // the system starts for the child's console would otherwise hold them
    // open (and whoever reads our output would wait for it).
    for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        HANDLE own = ::GetStdHandle(which);
        if (own && own != INVALID_HANDLE_VALUE) ::SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    }
    ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine = Quote(program);
    for (const auto& a : arguments) commandLine.append(" ").append(Quote(a));
    std::string environment = EnvironmentBlock(extraEnvironment);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION info{};
    // A console of its own, hidden, so that a Ctrl+C can be aimed at the child alone.
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    // Under load (and under Wine) starting a process now and then fails for
    // a moment; a few tries tell that from a program that cannot be started.
    BOOL started = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        if (attempt > 0) ::Sleep(100);
        started = ::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                                   environment.data(), nullptr, &startup, &info);
        if (!started) error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) break;
    }
    ::CloseHandle(inRead);
    ::CloseHandle(outWrite);
    ::CloseHandle(errWrite);
    if (!started) {
        std::fprintf(stderr, "ChildProcess: cannot start %s (error %lu)\n", program.c_str(),
                     static_cast<unsigned long>(error));
        ::CloseHandle(inWrite);
        ::CloseHandle(outRead);
        ::CloseHandle(errRead);
        return false;
    }
    ::CloseHandle(info.hThread);
    handle_ = info.hProcess;
    pid_ = static_cast<int>(info.dwProcessId);
    in_ = ToFd(inWrite, 0);
    out_ = ToFd(outRead, 0);
    err_ = ToFd(errRead, 0);
    reaped_ = false;
    exitCode_ = -1;
    return true;
}

bool ChildProcess::IsRunning() {
    if (!handle_ || reaped_) return false;
    if (::WaitForSingleObject(handle_, 0) != WAIT_OBJECT_0) return true;
    DWORD code = 0;
    ::GetExitCodeProcess(handle_, &code);
    exitCode_ = static_cast<int>(code);
    reaped_ = true;
    return false;
}

bool ChildProcess::WriteInput(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (in_ < 0) return false;
        DWORD wrote = 0;
        if (!::WriteFile(Os(in_), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote, nullptr) ||
            wrote == 0) {
            return false;
        }
        done += wrote;
    }
    return true;
}

void ChildProcess::CloseInput() { CloseFd(in_); }

bool ChildProcess::ReadOutput(std::string* out, int timeoutMs) { return ReadFd(out_, out, timeoutMs); }
bool ChildProcess::ReadError(std::string* out, int timeoutMs) { return ReadFd(err_, out, timeoutMs); }

namespace {

// When this process last sent a Ctrl+C, in milliseconds of the system's tick.
std::atomic<unsigned long long> lastInterrupt{0};

// The Ctrl+C this process sends reaches itself as well, a moment later on a
// thread of the system's: let it pass for a while. Setting the system's
// "ignore Ctrl+C" instead would be inherited by every child started later,
// and those would then not stop on a Ctrl+C themselves.
BOOL WINAPI IgnoreOwnInterrupt(DWORD type) {
    return type == CTRL_C_EVENT && ::GetTickCount64() - lastInterrupt.load() < 10000;
}

}  // namespace

void ChildProcess::Interrupt() {
    if (!handle_ || reaped_) return;
    // A Ctrl+C goes to every process of a console: join the child's for a
    // moment, and leave again.
    static std::mutex consoleMutex;
    std::lock_guard<std::mutex> lock(consoleMutex);
    static const bool installed = ::SetConsoleCtrlHandler(&IgnoreOwnInterrupt, TRUE) != 0;
    (void)installed;
    lastInterrupt.store(::GetTickCount64());
    ::FreeConsole();
    if (!::AttachConsole(static_cast<DWORD>(pid_))) return;
    ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    ::FreeConsole();
}

void ChildProcess::Terminate() { Interrupt(); }

void ChildProcess::Kill() {
    if (handle_ && !reaped_) ::TerminateProcess(handle_, 137);
}

bool ChildProcess::Wait(int timeoutMs, int* exitCode) {
    if (!handle_) return false;
    if (!reaped_ && ::WaitForSingleObject(handle_, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) !=
                        WAIT_OBJECT_0) {
        return false;
    }
    IsRunning();
    if (exitCode) *exitCode = exitCode_;
    return true;
}

namespace {

HANDLE OpenForQuery(int pid) {
    return ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid));
}

}  // namespace

int ProcessOpenDescriptors(int pid) {
    HANDLE h = OpenForQuery(pid);
    if (!h) return -1;
    DWORD count = 0;
    BOOL ok = ::GetProcessHandleCount(h, &count);
    ::CloseHandle(h);
    // Every process holds some handles: none means the system does not count
    // them (as under Wine).
    return ok && count > 0 ? static_cast<int>(count) : -1;
}

// No such signals here: a Ctrl+C runs its handler on a thread of its own.
int ProcessThreadsTakingStopSignals(int) { return -1; }

int ProcessThreadCount(int pid) {
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == static_cast<DWORD>(pid)) ++n;
    }
    ::CloseHandle(snapshot);
    return n > 0 ? n : -1;
}

long ProcessResidentKiB(int pid) {
    HANDLE h = OpenForQuery(pid);
    if (!h) return -1;
    PROCESS_MEMORY_COUNTERS counters{};
    BOOL ok = ::GetProcessMemoryInfo(h, &counters, sizeof counters);
    ::CloseHandle(h);
    return ok ? static_cast<long>(counters.WorkingSetSize / 1024) : -1;
}

double ProcessCpuSeconds(int pid) {
    HANDLE h = OpenForQuery(pid);
    if (!h) return -1;
    FILETIME created, ended, kernel, user;
    BOOL ok = ::GetProcessTimes(h, &created, &ended, &kernel, &user);
    ::CloseHandle(h);
    if (!ok) return -1;
    auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;  // 100 ns ticks
}

}  // namespace platform
