#pragma once
// The command link: one object through which the controller is reached over a
// serial port or the USB FIFO chip. Frames each command line with a terminator,
// collects every received byte into one receive buffer and waits until the
// reply holds "OK", a CR, a byte count, or the time limit runs out.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "KorvaUSB.h"
#include "LinkTransport.h"
#include "SerialPort.h"

class KorvaComPort {
  public:
    // Link error codes.
    enum : int {
        kErrStartThread = 10100,
        kErrOpenCom = 10102,
        kErrNotOpen = 10103,
        kErrChannelGone = 10104,  // the serial device hung up or its monitor ended
        kErrCloseCom = 10105,
        // Why a COM port did not open (OpenFailureCode; the link's own code
        // stays 10102): held by another program is 10102 itself.
        kErrPortMissing = 10106,
        kErrNotTerminal = 10107,
        kErrPermission = 10108,
        kErrPortRange = 10109,
        kErrUsbWrite = 10110,
        kErrWriteIncomplete = 10111,  // a command line could not be written whole
        kErrWaitTimeout = 10120,
        kErrNoFlag = 10121,
        kErrCount = 10122,
        kErrWaitInterrupted = 10123,  // a wait ended early by RequestWaitInterrupt
        kErrOpenUsb = 10250,
        kErrCloseUsb = 10253,
    };
    static constexpr int kRecvBufSize = 2048;

    using ReceiveCallback = void (*)(void* context, std::uint8_t byte, int count);

    KorvaComPort();
    virtual ~KorvaComPort();
    KorvaComPort(const KorvaComPort&) = delete;
    KorvaComPort& operator=(const KorvaComPort&) = delete;

    bool OpenLink();
    bool CloseLink();
    bool IsLinkOpen() const { return m_bOpen; }

    bool SendData(const std::uint8_t* data, unsigned length);
    bool SendWaitResponse(std::string command, int waitMs);
    bool SendNoWait(std::string command);
    bool SendWaitEndFlag(std::string command, int waitMs);
    bool SendWaitCount(std::string command, short count, int waitMs);
    bool SendWaitDelay(std::string command, int waitMs);
    bool SendBytesNoWait(const std::uint8_t* data, unsigned length);
    bool SendBytesWaitResponse(const std::uint8_t* data, unsigned length, int waitMs);
    bool SendBytesWaitEndFlag(const std::uint8_t* data, unsigned length, int waitMs);
    bool SendBytesWaitCount(const std::uint8_t* data, unsigned length, short count, int waitMs);

    // Linux addition, for the protocol: sends a command line and waits until
    // `complete` (run under the receive lock on everything received so far)
    // says the reply is whole, or the limit passes. A line that is not
    // written whole fails with kErrWriteIncomplete. With `resync`, when the
    // previous exchange timed out or was interrupted, what still arrives is
    // discarded until the line has been quiet for kResyncQuietMs (at most
    // kResyncMaxMs) before the command goes out; a cut line is first ended
    // with a lone terminator.
    using ReplyComplete = std::function<bool(std::string_view received)>;
    bool SendWaitReply(std::string command, int waitMs, const ReplyComplete& complete, bool resync);
    static constexpr int kResyncQuietMs = 150;
    static constexpr int kResyncMaxMs = 1000;

    // Linux addition: ends every wait in progress (and every wait started
    // while the request stands) with kErrWaitInterrupted. Callable from any
    // thread; each request is withdrawn by one ReleaseWaitInterrupt.
    void RequestWaitInterrupt();
    void ReleaseWaitInterrupt();
    bool WaitInterruptRequested() const { return m_InterruptRequests.load() > 0; }

    int GetReceivedText(std::string& text);
    int GetReceivedCount();
    int CopyReceived(std::uint8_t* out, int max);
    int CopyReceived(std::uint32_t* out, int max);
    bool DiscardReceived(int n);
    bool ClearReceived();
    bool WaitForText(const char* text, int waitMs);
    bool WaitForCount(int count, int waitMs);
    bool WaitDelay(int waitMs);

    short GetPortNumber() const { return m_PortNumber; }
    bool SetPortNumber(short port);
    bool GetUSBMode() const { return m_bUSBMode; }
    bool SetUSBMode(bool usb);
    std::string GetUSBSerial() const { return m_USBSerial; }
    void SetUSBSerial(const std::string& serial) { m_USBSerial = serial; }
    unsigned GetBaudRate() const { return m_BaudRate; }
    void SetBaudRate(unsigned baud) { m_BaudRate = baud; }
    char GetParity() const { return m_Parity; }
    void SetParity(char parity) { m_Parity = parity; }
    int GetDataBits() const { return m_DataBits; }
    void SetDataBits(int bits) { m_DataBits = bits; }
    int GetStopBits() const { return m_StopBits; }
    void SetStopBits(int bits) { m_StopBits = bits; }
    char GetTerminator() const { return m_Terminator; }
    bool SetTerminator(char t) {
        m_Terminator = t;
        return true;
    }
    short GetRtsControl() const { return m_Serial.GetRtsControl(); }
    void SetRtsControl(short v) { m_Serial.SetRtsControl(v); }
    short GetDtrControl() const { return m_Serial.GetDtrControl(); }
    void SetDtrControl(short v) { m_Serial.SetDtrControl(v); }
    bool IsReplyPending() const { return m_bReplyPending; }
    void SetReplyPending(bool pending) { m_bReplyPending = pending; }
    int GetLinkErrorCode() const { return m_ErrorCode; }
    void SetLinkErrorCode(int code) { m_ErrorCode = code; }
    std::string GetLinkErrorText() const { return m_ErrorText.load(); }
    // Linux addition: why the last OpenLink failed, as a code (10102, 10106..
    // 10109, 10100, 10250) and a text naming the device and what to do; 0 and
    // "" after a successful open. Read on the thread that opened.
    int GetOpenFailureCode() const { return m_OpenFailureCode; }
    const std::string& GetOpenFailureText() const { return m_OpenFailureText; }
    // Linux addition: a fixed text for a link code ("" for an unknown one).
    static const char* LinkErrorText(int code);
    bool GetUSBDeviceCount(int* count);
    bool GetUSBDeviceSerial(int index, std::string& serial);
    void SetReceiveCallback(ReceiveCallback callback, void* context);

    // Called by the channels' receive threads, once per byte.
    static void DeliverByte(KorvaComPort* owner, std::uint8_t byte, int count);
    // Called by the serial channel's monitor thread, once, when the device is
    // gone: wakes a waiting caller, then calls OnChannelHangUp.
    static void DeliverHangUp(KorvaComPort* owner);
    virtual bool OnReceiveNotify(int count);
    virtual void OnReceiveByte(std::uint8_t byte, int count);

    // Linux addition: the serial channel reports a hang-up (device gone) once,
    // on its monitor thread. From then on sends fail with kErrChannelGone until
    // the link is closed and opened again. A class that overrides this or the
    // receive hooks calls CloseLink() in its own destructor, so that the
    // receive thread has ended before the derived part is gone.
    virtual void OnChannelHangUp() {}

  protected:
    int FindInReceived(const char* text);
    void ResetReceiveState();
    // Writes framed and waits until it has left whole; sets the code on failure.
    bool WriteWhole(const std::string& framed);
    // After a line that was not written whole: a lone terminator ends it, so
    // the controller does not read the next line as its continuation.
    bool EndCutLine();

  private:
    enum class WaitResult { kFound, kTimedOut, kChannelGone, kInterrupted };
    template <typename Pred>
    WaitResult WaitUntil(Pred found, int waitMs, int stepMs);
    template <typename Pred>
    WaitResult WaitUntilDeadline(std::unique_lock<std::mutex>& lock, Pred found,
                                 std::chrono::steady_clock::time_point deadline);
    // Discards what arrives until the line is quiet; false when interrupted.
    bool Resync();
    int FindLocked(const char* text) const;
    bool ChannelGone() const;
    void SetChannelGoneError();
    enum class Until { kNothing, kText, kCount, kDelay };
    // One framed send (terminator already appended) and its wait.
    bool Exchange(const std::string& framed, Until until, const char* flag, int count, int waitMs,
                  const char* failText, bool keepWaitCode);

  protected:
    SerialPort m_Serial;
    KorvaUSB m_USB;
    std::uint8_t m_RecvBuf[kRecvBufSize] = {};
    int m_RecvCount = 0;
    std::atomic<bool> m_bOpen{false};
    short m_PortNumber = 1;
    bool m_bUSBMode = false;
    std::atomic<bool> m_bReplyPending{false};
    std::mutex m_RecvLock;
    std::condition_variable m_RecvArrived;  // wakes the waits as soon as a byte is stored
    // Always one of the fixed texts: an atomic pointer, as a non-waiting send
    // on another thread may set it while an exchange runs.
    std::atomic<const char*> m_ErrorText{""};
    ReceiveCallback m_pfnReceive = nullptr;
    void* m_ReceiveContext = nullptr;
    std::string m_USBSerial;
    unsigned m_BaudRate = 9600;
    int m_StopBits = 1;
    char m_Parity = 'N';
    int m_DataBits = 8;
    char m_Terminator = 13;
    std::atomic<int> m_ErrorCode{0};
    std::atomic<int> m_InterruptRequests{0};
    int m_OpenFailureCode = 0;
    std::string m_OpenFailureText;
    std::atomic<bool> m_bNeedResync{false};  // the last reply wait did not end cleanly
    std::atomic<bool> m_bLineCut{false};     // the last line was not written whole

  private:
    // The channel the link talks to, picked by OpenLink from the USB mode.
    SerialTransport m_SerialTransport{m_Serial};
    UsbTransport m_UsbTransport{m_USB};
    std::atomic<LinkTransport*> m_pTransport{&m_SerialTransport};
};
