// Costs of the simulator, so that it never limits what it is used to test.
//
//  1. Engine: Feed("Position? X\r") while the axis moves (the reply is
//     computed from the motion profile at the current time).
//  2. Pty: a raw host writes "Position? X\r" to the slave and reads until
//     "OK\r", baud emulation off. Includes both pty transfers and the wake-up
//     of the serving thread.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "PtySimulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void EngineQuery() {
    korva::sim::Engine engine;
    engine.Feed("Go X,P\r");
    constexpr int kRounds = 200000;
    std::size_t bytes = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < kRounds; ++i) bytes += engine.Feed("Position? X\r").size();
    double us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    std::printf("engine Position? X (axis moving): %.3f us per query (%zu reply bytes)\n",
                us / kRounds, bytes / kRounds);
}

int PtyRoundTrip() {
    korva::sim::PtySimulator sim;
    sim.SetBaud(0);
    if (!sim.Start()) return 1;
    int fd = ::open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror("bench_sim: open");
        return 1;
    }
    struct termios tio {};
    ::tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
    const std::string query = "Position? X\r";
    constexpr int kRounds = 5000, kWarm = 500;
    std::vector<double> samples;
    char buf[256];
    for (int i = 0; i < kRounds + kWarm; ++i) {
        auto t0 = Clock::now();
        if (::write(fd, query.data(), query.size()) != static_cast<ssize_t>(query.size())) {
            std::perror("bench_sim: write");
            break;
        }
        std::string got;
        while (got.find("OK\r") == std::string::npos) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        if (i >= kWarm)
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ::close(fd);
    if (samples.empty()) return 1;
    std::printf("pty Position? X round trip, baud 0: median %.1f us, p99 %.1f us (%zu rounds)\n",
                Percentile(samples, 0.5), Percentile(samples, 0.99), samples.size());
    return 0;
}

}  // namespace

int main() {
    EngineQuery();
    return PtyRoundTrip();
}
