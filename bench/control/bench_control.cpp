// What late binding costs on top of a direct call of the control.
//
//  1. No exchange: GetStopFlag(1) called directly and through Invoke with an
//     I2 argument; the ComPort property put from a text ("5"), which converts.
//  2. One exchange: SetSpeed(0, 1000) against the simulator on a pty (instant
//     line), directly and through Invoke, median and 99th percentile.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KORVAKT3002Ctl.h"
#include "PtySimulator.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

template <typename F>
double NanosPerCall(int rounds, F&& call) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i) call();
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
}

template <typename F>
std::vector<double> RoundTripsMicros(int rounds, F&& call) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        call();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return us;
}

}  // namespace

int main() {
    using korva::Variant;
    CKORVAKT3002Ctrl ctl;
    constexpr int kCpuRounds = 2000000;
    volatile bool sink = false;
    const double direct = NanosPerCall(kCpuRounds, [&] { sink = ctl.GetStopFlag(1); });
    std::vector<Variant> axis{Variant(std::int16_t{1})};
    Variant result;
    const double invoked =
        NanosPerCall(kCpuRounds, [&] { ctl.Invoke(99, korva::kInvokeMethod, axis, &result); });
    std::vector<Variant> text{Variant("5")};
    const double put =
        NanosPerCall(kCpuRounds, [&] { ctl.Invoke(4, korva::kInvokePropertyPut, text, nullptr); });
    std::printf("GetStopFlag direct            %8.1f ns/call\n", direct);
    std::printf("GetStopFlag through Invoke    %8.1f ns/call\n", invoked);
    std::printf("ComPort put from text         %8.1f ns/call\n", put);
    (void)sink;

    korva::sim::PtySimulator sim;
    if (!sim.Start()) {
        std::fprintf(stderr, "bench: the simulator did not start\n");
        return 1;
    }
    sim.SetBaud(0);
    setenv("KORVA_COM12", sim.SlavePath().c_str(), 1);
    ctl.SetComPort(12);
    if (!ctl.Connect()) {
        std::fprintf(stderr, "bench: Connect failed, code %d\n", ctl.GetErrorCode());
        return 1;
    }
    constexpr int kRounds = 3000;
    std::vector<Variant> args{Variant(std::int16_t{0}), Variant(1000.0f)};
    RoundTripsMicros(kRounds / 10, [&] { ctl.SetSpeed(0, 1000.0f); });  // warm-up
    const auto d = RoundTripsMicros(kRounds, [&] { ctl.SetSpeed(0, 1000.0f); });
    const auto i =
        RoundTripsMicros(kRounds, [&] { ctl.Invoke(63, korva::kInvokeMethod, args, &result); });
    std::printf("SetSpeed direct     median %7.1f us  p99 %7.1f us\n", Percentile(d, 0.5),
                Percentile(d, 0.99));
    std::printf("SetSpeed via Invoke median %7.1f us  p99 %7.1f us\n", Percentile(i, 0.5),
                Percentile(i, 0.99));
    ctl.DisConnect();
    return 0;
}
