// Round trips of the protocol over a pseudo-terminal against the simulator.
//
//  1. "SetSpeed X,1000.000000" with an instant line (baud 0): the exchange as
//     built (the wait wakes on the receive thread's signal), and the same
//     exchange waited the old way, by looking for "OK" every 10 ms.
//  2. "Position? X" with the simulator emulating 19200 baud: the query rate
//     reached, against the rate the wire allows for the bytes exchanged.
//  3. A stop while a query waits on a mute controller: the time from the
//     StopAll call to its line arriving at the far end of the pty.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "KT300Protocol.h"
#include "PtySimulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr short kPort = 7;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

bool ConnectTo(KT300Protocol& proto, korva::sim::PtySimulator& sim) {
    if (!sim.Start()) {
        std::fprintf(stderr, "bench: the simulator did not start\n");
        return false;
    }
    setenv(("KORVA_COM" + std::to_string(kPort)).c_str(), sim.SlavePath().c_str(), 1);
    proto.SetPortNumber(kPort);
    if (!proto.Connect()) {
        std::fprintf(stderr, "bench: connect failed (%ld, link %d)\n", proto.GetErrorCode(),
                     proto.GetLinkErrorCode());
        return false;
    }
    return true;
}

// The exchange waited by polling: send, then look for "OK" right away and
// again after every 10 ms sleep, until the limit.
bool PolledExchange(KT300Protocol& proto, const std::string& command, int limitMs) {
    if (!proto.SendNoWait(command)) return false;
    std::string text;
    for (int left = limitMs;; left -= 10) {
        proto.GetReceivedText(text);
        if (text.find("OK") != std::string::npos) return true;
        if (left <= 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

template <typename F>
bool Measure(const char* title, int rounds, F exchange) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds + rounds / 10; ++i) {
        auto start = Clock::now();
        if (!exchange()) {
            std::fprintf(stderr, "bench: %s: round %d failed\n", title, i);
            return false;
        }
        if (i >= rounds / 10) us.push_back(Micros(Clock::now() - start));  // after a warm-up
    }
    std::printf("%-44s rounds %5d  median %9.1f us  p99 %9.1f us\n", title, rounds,
                Percentile(us, 0.5), Percentile(us, 0.99));
    return true;
}

bool RoundTrip() {
    korva::sim::PtySimulator sim;
    sim.SetBaud(0);
    KT300Protocol proto;
    if (!ConnectTo(proto, sim)) return false;
    const std::string cmd = "SetSpeed X,1000.000000";
    bool ok = Measure("SetSpeed round trip, wait on signal", 5000,
                      [&] { return proto.SendCommand(cmd, 2000); });
    ok = ok && Measure("SetSpeed round trip, 10 ms polling", 300,
                       [&] { return PolledExchange(proto, cmd, 2000); });
    proto.Disconnect();
    return ok;
}

bool PositionRate() {
    constexpr int kBaud = 19200;
    constexpr int kQueries = 400;
    korva::sim::PtySimulator sim;
    sim.SetBaud(kBaud);
    KT300Protocol proto;
    if (!ConnectTo(proto, sim)) return false;
    const std::size_t requestBytes = std::string("Position? X\r").size();
    double pos = 0;
    std::size_t bytes = 0;
    auto start = Clock::now();
    for (int i = 0; i < kQueries; ++i) {
        if (!proto.GetPosition(0, &pos)) {
            std::fprintf(stderr, "bench: position query %d failed (%ld)\n", i,
                         proto.GetErrorCode());
            return false;
        }
        bytes += requestBytes + proto.GetReply().size();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double measured = kQueries / seconds;
    double wireSeconds = static_cast<double>(bytes) * 10.0 / kBaud;
    double wireLimited = kQueries / wireSeconds;
    std::printf("Position? X at %d baud: %d queries, %.1f bytes each\n", kBaud, kQueries,
                static_cast<double>(bytes) / kQueries);
    std::printf("  measured %.1f queries/s, wire-limited %.1f queries/s: %.1f %%\n", measured,
                wireLimited, 100.0 * measured / wireLimited);
    proto.Disconnect();
    return true;
}

// The far end of a raw pty: answers "Hello" with "OK", never answers a query,
// and stamps the moment a "STOPALL" line is complete, then acknowledges it.
class MutePeer {
  public:
    bool Open() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) return false;
        struct termios t {};
        tcgetattr(m_master, &t);
        cfmakeraw(&t);
        tcsetattr(m_master, TCSANOW, &t);
        m_path = ptsname(m_master);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    ~MutePeer() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_master >= 0) close(m_master);
    }
    const std::string& Path() const { return m_path; }
    // The moment the last STOPALL line arrived, and how many did.
    Clock::time_point LastStop() const { return Clock::time_point(Clock::duration(m_lastStop)); }
    int Stops() const { return m_stops; }

  private:
    void Run() {
        std::string line;
        while (!m_stop) {
            struct pollfd p = {m_master, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[256];
            ssize_t n = read(m_master, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] != '\r') {
                    line += buf[i];
                    continue;
                }
                if (line == "STOPALL") {
                    m_lastStop = Clock::now().time_since_epoch().count();
                    ++m_stops;
                }
                if (line == "Hello" || line == "STOPALL") (void)!write(m_master, "OK\r", 3);
                line.clear();
            }
        }
    }
    int m_master = -1;
    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<Clock::rep> m_lastStop{0};
    std::atomic<int> m_stops{0};
};

bool StopLatency() {
    constexpr int kRounds = 200;
    MutePeer peer;
    if (!peer.Open()) {
        std::fprintf(stderr, "bench: no pty for the mute peer\n");
        return false;
    }
    setenv(("KORVA_COM" + std::to_string(kPort)).c_str(), peer.Path().c_str(), 1);
    KT300Protocol proto;
    proto.SetPortNumber(kPort);
    if (!proto.Connect()) {
        std::fprintf(stderr, "bench: connect to the mute peer failed (%ld)\n",
                     proto.GetErrorCode());
        return false;
    }
    std::vector<double> us;
    for (int i = 0; i < kRounds; ++i) {
        std::thread query([&] {
            float speed = 0;
            proto.GetSpeed(0, &speed);  // never answered: the stop ends it
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the query waits now
        const int before = peer.Stops();
        auto start = Clock::now();
        const bool ok = proto.StopAll();
        query.join();
        if (!ok || peer.Stops() != before + 1) {
            std::fprintf(stderr, "bench: stop round %d failed (%ld)\n", i, proto.GetErrorCode());
            return false;
        }
        us.push_back(Micros(peer.LastStop() - start));
    }
    std::printf("%-44s rounds %5d  median %9.1f us  p99 %9.1f us  max %9.1f us\n",
                "StopAll call to line at a mute peer", kRounds, Percentile(us, 0.5),
                Percentile(us, 0.99), *std::max_element(us.begin(), us.end()));
    proto.Disconnect();
    return true;
}

}  // namespace

int main() {
    bool ok = RoundTrip();
    ok = PositionRate() && ok;
    ok = StopLatency() && ok;
    return ok ? 0 : 1;
}
