#pragma once
// The far end of a PtyPair, run on its own thread: records every byte the code
// under test writes, answers each terminator-ended line from a script, and can
// send unsolicited bytes, stream endlessly or hang up.
//
//   korva::test::PtyPair pty;
//   korva::test::ScriptedPeer peer(pty);
//   peer.Expect("Hello", "OK\r");                          // exact line -> reply
//   peer.ExpectAny("X 1.5\r", {.delay = 50ms});           // any line, answered late
//   peer.Expect("GetPos X", "GetPos X,12\rOK\r", {.bytewise = true});  // byte by byte
//   peer.Expect("Stop", "part", {.hangUp = true});        // reply, then close the master
//   peer.SetDefaultReply("OK\r");                         // lines after the script ran out
//   ... run the code under test against pty.SlavePath() ...
//   EXPECT_TRUE(peer.WaitForLines(2, 1s));
//   EXPECT_EQ(peer.Received(), "Hello\rGetPos X\r");
//   EXPECT_TRUE(peer.Unexpected().empty());
//
// A line that does not match the next step of the script is recorded in
// Unexpected() and gets the default reply if there is one, else no reply (the
// step stays for the next line). Lines are split at the terminator byte
// (CR unless given); the terminator is not part of the line.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"

namespace korva::test {

struct ReplyOptions {
    std::chrono::milliseconds delay{0};    // before the first byte goes out
    bool bytewise = false;                 // one write per byte...
    std::chrono::milliseconds byteGap{1};  // ...this far apart
    bool hangUp = false;  // close the master once the other side has read the reply
};

class ScriptedPeer {
  public:
    explicit ScriptedPeer(PtyPair& pty, char terminator = '\r');
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Script steps, consumed in order, one per received line.
    ScriptedPeer& Expect(std::string line, std::string reply, ReplyOptions options = {});
    ScriptedPeer& ExpectAny(std::string reply, ReplyOptions options = {});
    // Reply for lines that find no matching step; nullopt: stay silent.
    void SetDefaultReply(std::optional<std::string> reply, ReplyOptions options = {});

    // Unsolicited bytes, queued behind any reply still going out.
    void Send(std::string bytes, ReplyOptions options = {});
    // Sends chunk again and again, every period, until StopStream or a hang-up.
    void Stream(std::string chunk, std::chrono::milliseconds period);
    void StopStream();
    // Closes the master now (pending output is dropped) and ends the thread.
    void HangUp();

    std::string Received() const;
    std::vector<std::string> Lines() const;
    std::vector<std::string> Unexpected() const;
    std::size_t PendingSteps() const;
    bool HungUp() const;
    void ClearReceived();
    // Block until at least n bytes / n lines arrived in total, or the timeout.
    bool WaitForBytes(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForLines(std::size_t n, std::chrono::milliseconds timeout) const;
    // Block until every queued reply has been written (or the master closed).
    bool WaitForOutputDone(std::chrono::milliseconds timeout) const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Step {
        std::optional<std::string> line;
        std::string reply;
        ReplyOptions options;
    };
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
        bool hangUpAfter = false;
    };

    void Run();
    void Wake();
    void QueueReplyLocked(const std::string& bytes, const ReplyOptions& options);
    void OnBytesLocked(const char* data, std::size_t n);
    void CloseMasterLocked();

    PtyPair& m_pty;
    const char m_terminator;
    int m_wakeFd = -1;
    std::thread m_thread;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_hangUpRequested = false;
    bool m_hungUp = false;
    bool m_drainThenHangUp = false;
    Clock::time_point m_hangUpArmedAt{};
    std::deque<Step> m_script;
    std::optional<Step> m_default;
    std::deque<Chunk> m_out;
    std::string m_partialLine;
    std::string m_received;
    std::vector<std::string> m_lines;
    std::vector<std::string> m_unexpected;
    std::string m_streamChunk;
    std::chrono::milliseconds m_streamPeriod{0};
    Clock::time_point m_nextStream{};
};

}  // namespace korva::test
