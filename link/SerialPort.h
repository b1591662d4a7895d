#pragma once
// One serial port (a tty or a pseudo-terminal) driven by a monitor thread that
// waits with poll() on the shutdown eventfd, the port and the write eventfd, in
// that priority order. Received bytes go one at a time to the owning link.
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class KorvaComPort;

class SerialPort {
  public:
    SerialPort();
    virtual ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens and configures port portNr (1..255, device from the port map).
    // FALSE only for a port number outside 1..255 or a device that cannot be
    // opened (missing, held by another program, no rights); configuration
    // failures are reported to the user but do not fail the open.
    bool OpenChannel(unsigned portNr, unsigned baud, char parity, unsigned dataBits,
                     unsigned stopBits, unsigned long eventMask, unsigned bufferSize);
    bool StartMonitor();
    // Queues bytes for the monitor thread, behind any not yet written; returns
    // at once. A block longer than the buffer grows it. The result is a ticket
    // for WaitWritten (0: nothing was queued).
    std::uint64_t QueueWrite(const void* data, unsigned length);
    // Linux addition: waits until the monitor has handled the write with this
    // ticket. kIncomplete: it could not go out whole (the port accepted nothing
    // for the write time-out; the rest was flushed). kGone: the monitor ended.
    enum class WriteOutcome { kWritten, kIncomplete, kGone };
    WriteOutcome WaitWritten(std::uint64_t ticket);
    bool CloseChannel();

    short GetDtrControl() const { return m_DtrControl; }
    void SetDtrControl(short v) { m_DtrControl = v; }
    short GetRtsControl() const { return m_RtsControl; }
    void SetRtsControl(short v) { m_RtsControl = v; }

    // Set by the owner before OpenChannel.
    KorvaComPort* m_pOwner = nullptr;

    // Linux additions, for the link and tests.
    bool IsOpen() const { return m_hPort >= 0; }
    bool IsMonitorAlive() const { return m_bMonitorAlive.load(); }
    bool HungUp() const { return m_bHungUp.load(); }
    const std::string& DevicePath() const { return m_DevicePath; }
    // errno of the last failed device open (0 when it succeeded).
    int LastOpenErrno() const { return m_OpenErrno; }

    // Applies a settings text "baud=%d parity=%c data=%d stop=%d" to dcb (raw
    // mode, receiver on, modem lines ignored). FALSE, dcb unchanged, when the
    // text names a baud rate, parity, data bits or stop bits the port lacks.
    static bool BuildDcb(const std::string& settings, struct termios& dcb);

  private:
    enum class Drain { kMore, kEmpty, kGone };

    void MonitorLoop();
    Drain DrainInput();
    bool WritePending();
    // Waits until the driver's output queue is empty; returns the bytes still
    // queued when it made no progress for the write time-out (0: drained).
    int WaitOutputDrained();
    void ReportApiError(const char* operation, int err);
    bool ApplySettings(unsigned baud, char parity, unsigned dataBits, unsigned stopBits,
                       std::string& failedStep, int& failedErrno);
    void ApplyModemLines();
    void ReportHangUp(const char* why, int err);
    void ClosePort();

    unsigned m_WriteSize = 0;
    std::thread m_Thread;
    std::mutex m_Lock;  // serialises system calls on the port
    int m_hShutdownEvent = -1;
    int m_hPort = -1;
    int m_hWriteEvent = -1;
    unsigned m_PortNr = 0;
    std::vector<std::uint8_t> m_WriteBuffer;
    std::mutex m_WriteHandOver;  // guards m_WriteBuffer/m_WriteSize and the tickets below
    std::condition_variable m_WriteHandled;
    std::uint64_t m_QueuedSeq = 0;   // tickets handed out
    std::uint64_t m_GrabbedSeq = 0;  // tickets taken by the monitor
    std::uint64_t m_DoneSeq = 0;     // tickets whose write has ended
    std::uint64_t m_FailedFrom = 0;  // the last write that did not go out whole
    std::uint64_t m_FailedTo = 0;
    unsigned long m_EventMask = 0;
    unsigned m_WriteBufferSize = 0;
    struct termios m_DCB {};
    std::atomic<bool> m_bMonitorAlive{false};
    std::atomic<bool> m_bHungUp{false};
    short m_DtrControl = 2;
    short m_RtsControl = 1;
    std::string m_DevicePath;
    int m_OpenErrno = 0;
    bool m_bExclusive = false;
};
