// The child for the child process tests:
//   child_helper answer   reads a line, prints "got <line>", writes "oops" to
//                         standard error and ends with exit code 3;
//   child_helper linger   prints "lingering", then runs for 100 seconds
//                         unless ended first;
//   child_helper env NAME prints "[<value of NAME>]";
//   child_helper crash    writes through a null pointer.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.h"
#include "platform/thread.h"

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "answer") {
        std::string line;
        platform::ReadConsoleLine(&line);
        std::printf("got %s\n", line.c_str());
        std::fflush(stdout);
        std::fputs("oops\n", stderr);
        return 3;
    }
    if (mode == "linger") {
        std::puts("lingering");
        std::fflush(stdout);
        for (int i = 0; i < 1000; ++i) platform::SleepMs(100);
        return 0;
    }
    if (mode == "env" && argc > 2) {
        const char* value = std::getenv(argv[2]);
        std::printf("[%s]\n", value ? value : "");
        return 0;
    }
    if (mode == "crash") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
        return 0;
    }
    std::fputs("usage: child_helper answer | linger | env NAME | crash\n", stderr);
    return 2;
}
