#pragma once
// Serves one simulated controller engine on a pseudo-terminal: the host opens
// the slave side like a serial port. A pty ignores the baud rate, so the wire
// time of each byte is emulated here, both ways.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "SimEngine.h"

namespace korva::sim {

class PtySimulator {
  public:
    explicit PtySimulator(SimOptions options = {});
    ~PtySimulator();  // stops and joins
    PtySimulator(const PtySimulator&) = delete;
    PtySimulator& operator=(const PtySimulator&) = delete;

    // Opens the pty pair (raw mode) and starts serving on its own thread.
    // False (reason logged with the OS text) when the pty cannot be made.
    bool Start();
    // "/dev/pts/N" after a successful Start, else empty.
    std::string SlavePath() const;
    // Makes a symbolic link to the slave (replacing only a link this object
    // made; anything else at path is left and the call fails); removed again
    // by Stop while it still points at this slave.
    bool MakeLink(const std::string& path);
    // Ends the serving thread, closes the pty and removes the link. Idempotent.
    void Stop();

    // Emulated line speed in baud for both directions (10 bits per byte);
    // 0 means instant. Default 19200.
    void SetBaud(int baud);
    // Replies written one byte per write, at least a millisecond apart.
    void SplitReplies(bool byteByByte);
    // Closes the master side now: the host sees a hang-up (POLLHUP, EIO).
    void HangUp();

    Engine& engine() { return engine_; }

  private:
    void RemoveOwnLink();  // under mutex_
    void Serve();
    void ServeLoop();
    void CloseFds();

    Engine engine_;
    std::atomic<int> baud_{19200};
    std::atomic<bool> split_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> hangUpRequested_{false};
    int masterFd_ = -1;
    int slaveFd_ = -1;  // kept open so the pty lives while no host has it open
    int wakeFd_ = -1;   // eventfd: stop / hang-up requests
    std::string slavePath_;
    std::string linkPath_;
    std::thread thread_;
    mutable std::mutex mutex_;  // guards slavePath_, linkPath_, hungUp_, serving_
    std::condition_variable hungUpCv_;
    bool hungUp_ = false;
    bool serving_ = false;  // the serving thread has not ended yet
};

}  // namespace korva::sim
