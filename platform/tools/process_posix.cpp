#include "platform/tools/process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool ReadFd(int fd, std::string* out, int timeoutMs) {
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, timeoutMs);
    if (n <= 0) return true;  // nothing yet
    char buffer[4096];
    ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r > 0) {
        out->append(buffer, static_cast<size_t>(r));
        // Take whatever else is already there without waiting.
        while (::poll(&p, 1, 0) > 0 && (r = ::read(fd, buffer, sizeof buffer)) > 0) {
            out->append(buffer, static_cast<size_t>(r));
        }
        return r != 0;
    }
    return r < 0 && (errno == EINTR || errno == EAGAIN);
}

}  // namespace

void ChildProcess::CloseAll() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
        reaped_ = true;
    }
    CloseFd(in_);
    CloseFd(out_);
    CloseFd(err_);
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& extraEnvironment) {
    CloseAll();
    int inPipe[2], outPipe[2], errPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return false;

    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The extra entries replace inherited ones of the same name.
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        bool replaced = false;
        for (const auto& extra : extraEnvironment) replaced = replaced || nameOf(extra) == nameOf(entry);
        if (!replaced) env.push_back(std::move(entry));
    }
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::signal(SIGPIPE, SIG_DFL);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    pid_ = pid;
    in_ = inPipe[1];
    out_ = outPipe[0];
    err_ = errPipe[0];
    reaped_ = false;
    exitCode_ = -1;
    return true;
}

bool ChildProcess::IsRunning() {
    if (pid_ <= 0 || reaped_) return false;
    int status;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

bool ChildProcess::WriteInput(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (in_ < 0) return false;
        ssize_t r = ::write(in_, bytes.data() + done, bytes.size() - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

void ChildProcess::CloseInput() { CloseFd(in_); }

bool ChildProcess::ReadOutput(std::string* out, int timeoutMs) { return ReadFd(out_, out, timeoutMs); }
bool ChildProcess::ReadError(std::string* out, int timeoutMs) { return ReadFd(err_, out, timeoutMs); }

void ChildProcess::Interrupt() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGINT);
}
void ChildProcess::Terminate() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGTERM);
}
void ChildProcess::Kill() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

bool ChildProcess::Wait(int timeoutMs, int* exitCode) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsRunning()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (pid_ <= 0) return false;
    if (exitCode) *exitCode = exitCode_;
    return true;
}

int ProcessOpenDescriptors(int pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return -1;
    int n = 0;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    return n;
}

namespace {
// A numeric field of a /proc status file ("Threads:", the mask "SigBlk:"
// in hex ...); none when the file or the field is missing.
std::optional<unsigned long long> StatusField(const std::string& path, const std::string& key, int base = 10) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, base);
    }
    return std::nullopt;
}
std::string StatusPath(int pid) { return "/proc/" + std::to_string(pid) + "/status"; }
}  // namespace

int ProcessThreadCount(int pid) {
    const auto n = StatusField(StatusPath(pid), "Threads:");
    return n ? static_cast<int>(*n) : -1;
}

int ProcessThreadsTakingStopSignals(int pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) return -1;
    const unsigned long long stop = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
    int n = 0;
    bool read = false;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const auto blocked = StatusField(tasks + "/" + e->d_name + "/status", "SigBlk:", 16);
        if (!blocked) continue;  // the thread has ended since
        read = true;
        if ((*blocked & stop) != stop) ++n;
    }
    ::closedir(dir);
    return read ? n : -1;
}
long ProcessResidentKiB(int pid) {
    const auto kib = StatusField(StatusPath(pid), "VmRSS:");
    return kib ? static_cast<long>(*kib) : -1;
}

double ProcessCpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = content.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(content.substr(close + 2));
    std::string f;
    // Fields after the name: state is field 3; utime and stime are 14 and 15.
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) stime = std::stol(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace platform
