// Opens capture and playback, says so, and waits to be ended from outside:
// a stop signal must end it as it would any program.
#include <chrono>
#include <cstdio>
#include <thread>

#include "voice/wave_device.h"

int main() {
    CWaveDevice device;
    if (device.OpenCapture(128) != 1 || device.OpenPlayback(nullptr, 0, 40) != 1) {
        std::printf("open failed\n");
        return 2;
    }
    std::printf("devices open\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(30));
    std::printf("still running\n");
    return 1;
}
