#pragma once
// A pseudo-terminal pair for tests: the slave path is what the code under test
// opens as its serial device; the master is the far end (usually driven by a
// ScriptedPeer). Both ends are in raw mode: no echo, no CR/NL translation.
//
//   korva::test::PtyPair pty;
//   ASSERT_TRUE(pty.Ok()) << pty.Error();
//   setenv("KORVA_COM1", pty.SlavePath().c_str(), 1);
//
// The pair keeps its own slave descriptor open, so the master never sees a
// hang-up while the code under test closes and reopens the device. Closing the
// master (CloseMaster) is the far end hanging up: every slave descriptor then
// reports POLLHUP and reads return 0 or EIO.
#include <atomic>
#include <string>

namespace korva::test {

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return !m_slavePath.empty(); }
    const std::string& Error() const { return m_error; }
    // While a ScriptedPeer runs on this pair, the peer owns the master.
    int Master() const { return m_master.load(); }
    int Slave() const { return m_slave.load(); }
    const std::string& SlavePath() const { return m_slavePath; }

    // The far end hangs up. Safe to call more than once.
    void CloseMaster();
    void CloseSlave();

  private:
    std::atomic<int> m_master{-1};
    std::atomic<int> m_slave{-1};
    std::string m_slavePath;
    std::string m_error;
};

}  // namespace korva::test
