// Reads hostile plan files of 200 KB, 2 MB and 20 MB and reports, per file,
// the time ReadPlanFile takes and how far it raises the peak memory of the
// process (each read runs in a fresh child, so peaks do not mix). Targets:
// a 2 MB file is loaded or refused in under 1 s and under 100 MB; no file
// costs more than 50 times its own size. Exits 1 when a target is missed.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "PlanFile.h"

namespace {

struct Kind {
    const char* name;
    std::function<std::string(std::size_t bytes)> make;
};

// "1", the announced count, then the body: the count is what the body's
// lines would make it, the most a hostile file can ask for honestly.
std::string WithHeader(std::size_t rows, const std::string& body) {
    return "1\r\n" + std::to_string(rows) + "\r\n" + body;
}

const Kind kKinds[] = {
    {"announced N, N blank lines (LF)",
     [](std::size_t bytes) { return WithHeader(bytes, std::string(bytes, '\n')); }},
    {"announced N, N blank lines (CR LF)",
     [](std::size_t bytes) {
         std::string body;
         body.reserve(bytes);
         while (body.size() + 2 <= bytes) body += "\r\n";
         return WithHeader(bytes / 2, body);
     }},
    {"announced 10000, N blank lines",
     [](std::size_t bytes) { return WithHeader(korva::kMaxPlanRows, std::string(bytes, '\n')); }},
    {"announced 1000, N blank lines",
     [](std::size_t bytes) {
         return WithHeader(korva::kMaxPlanBadRows, std::string(bytes, '\n'));
     }},
    {"announced 2147483647, binary",
     [](std::size_t bytes) {
         std::mt19937 random(7);
         std::string body(bytes, '\0');
         for (char& c : body) c = static_cast<char>(random());
         return WithHeader(2147483647, body);
     }},
    {"announced 10000, binary",
     [](std::size_t bytes) {
         std::mt19937 random(8);
         std::string body(bytes, '\0');
         for (char& c : body) c = static_cast<char>(random());
         return WithHeader(korva::kMaxPlanRows, body);
     }},
    {"announced 10000, NUL bytes",
     [](std::size_t bytes) { return WithHeader(korva::kMaxPlanRows, std::string(bytes, '\0')); }},
    {"announced 10000, lines of TABs",
     [](std::size_t bytes) {
         std::string body;
         const std::string line = std::string(200, '\t') + "\r\n";
         while (body.size() + line.size() <= bytes) body += line;
         return WithHeader(korva::kMaxPlanRows, body);
     }},
    {"announced 1, one line of TABs",
     [](std::size_t bytes) { return WithHeader(1, std::string(bytes, '\t')); }},
    {"well-formed, rows repeated to size",
     [](std::size_t bytes) {
         const std::string row = "GoPosition\t1\tZ\t\t\t123.456000\t\t\tA\t1\tC\tN\t\t\t\t\t\r\n";
         std::string body;
         std::size_t rows = 0;
         while (body.size() + row.size() <= bytes && rows < korva::kMaxPlanRows) {
             body += row;
             ++rows;
         }
         return WithHeader(rows, body);
     }},
};

struct Result {
    double ms = 0;
    long peakKb = 0;  // growth of the peak resident set
    bool loaded = false;
};

// A "kB" line of /proc/self/status.
long StatusKb(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0) return std::atol(line.c_str() + key.size());
    }
    return 0;
}

Result Measure(const std::string& path) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipefd[0]);
        // Reset the peak to what the process holds now (it inherited the
        // parent's), so the growth is the reader's alone.
        std::ofstream("/proc/self/clear_refs") << "5";
        const long before = StatusKb("VmHWM:");
        korva::PlanTable table;
        korva::PlanReadReport report;
        std::string error;
        const auto start = std::chrono::steady_clock::now();
        Result r;
        r.loaded = korva::ReadPlanFile(path, korva::kControlPlanCells, table, &report, &error);
        r.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                   .count();
        r.peakKb = StatusKb("VmHWM:") - before;
        (void)!::write(pipefd[1], &r, sizeof r);
        ::_exit(0);
    }
    ::close(pipefd[1]);
    Result r;
    if (::read(pipefd[0], &r, sizeof r) != sizeof r) r.ms = -1;
    ::close(pipefd[0]);
    ::waitpid(pid, nullptr, 0);
    return r;
}

}  // namespace

int main() {
    ::setenv("KORVA_TRACE", "", 0);
    char pattern[] = "/tmp/korva-bench-plan-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 2;
    const std::string path = std::string(pattern) + "/hostile.pla";
    bool ok = true;
    std::printf("| file | size | result | time | peak memory added |\n");
    std::printf("|---|---:|---|---:|---:|\n");
    for (const Kind& kind : kKinds) {
        for (std::size_t bytes : {200u * 1000u, 2u * 1000u * 1000u, 20u * 1000u * 1000u}) {
            // Made in a child: memory this process touched would hide the
            // reader's growth (its children reuse freed, resident pages).
            const pid_t maker = ::fork();
            if (maker == 0) {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                out << kind.make(bytes);
                ::_exit(out ? 0 : 1);
            }
            ::waitpid(maker, nullptr, 0);
            const auto size = std::filesystem::file_size(path);
            const Result r = Measure(path);
            const double mb = r.peakKb / 1024.0;
            const bool twoMb = bytes == 2u * 1000u * 1000u;
            const bool miss = r.ms < 0 || (twoMb && (r.ms > 1000 || mb > 100)) ||
                              r.peakKb * 1024.0 > 50.0 * static_cast<double>(size) + 16e6;
            ok = ok && !miss;
            std::printf("| %s | %.1f MB | %s | %.1f ms | %.1f MB |%s\n", kind.name, size / 1e6,
                        r.loaded ? "loaded" : "refused", r.ms, mb, miss ? " MISSED" : "");
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(pattern, ec);
    return ok ? 0 : 1;
}
