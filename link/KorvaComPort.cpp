#include "KorvaComPort.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Trace.h"

namespace {

constexpr char kTextOpenUsb[] = "Open USB device failure!";
constexpr char kTextOpenCom[] = "COM maybe use in another software";
constexpr char kTextStartThread[] = "Start Com receive thread failur!";
constexpr char kTextNotOpen[] = "ComPort not opened!Can't send command";
constexpr char kTextNoResponse[] = "Cannot get response flag in delaytime!";
constexpr char kTextNoEndFlag[] = "Cannot find end flag in delay time";
constexpr char kTextHungUp[] = "ComPort hung up (device gone)! Close and reopen the link";
constexpr char kTextMonitorEnded[] = "ComPort receive thread stopped! Close and reopen the link";
constexpr char kTextWriteIncomplete[] =
    "Command line not written whole (the device stopped reading); the rest was dropped";
constexpr char kTextInterrupted[] = "Wait for the reply interrupted";

constexpr char kResponseFlag[] = "OK";
constexpr char kEndFlag[] = "\r";

}  // namespace

KorvaComPort::KorvaComPort() {
    m_USB.m_pOwner = this;
    m_USB.Initialize(nullptr, 0);
}

KorvaComPort::~KorvaComPort() {
    if (m_bOpen) CloseLink();
}

const char* KorvaComPort::LinkErrorText(int code) {
    switch (code) {
        case kErrStartThread:
            return kTextStartThread;
        case kErrOpenCom:
            return kTextOpenCom;
        case kErrNotOpen:
            return kTextNotOpen;
        case kErrChannelGone:
            return kTextHungUp;
        case kErrCloseCom:
            return "Closing the COM port failed";
        case kErrPortMissing:
            return "COM port device missing";
        case kErrNotTerminal:
            return "COM port device is not a terminal";
        case kErrPermission:
            return "Permission denied on the COM port device";
        case kErrPortRange:
            return "COM port number outside 1..255";
        case kErrUsbWrite:
            return "USB write failed";
        case kErrWriteIncomplete:
            return kTextWriteIncomplete;
        case kErrWaitTimeout:
        case kErrNoFlag:
            return kTextNoResponse;
        case kErrCount:
            return "Fewer bytes than expected in delay time";
        case kErrWaitInterrupted:
            return kTextInterrupted;
        case kErrOpenUsb:
            return kTextOpenUsb;
        case kErrCloseUsb:
            return "Closing the USB device failed";
        default:
            return "";
    }
}

bool KorvaComPort::OpenLink() {
    m_ErrorText = "";
    m_ErrorCode = 0;
    if (m_bOpen) return true;
    m_OpenFailureCode = 0;
    m_OpenFailureText.clear();
    // The channel is chosen here, once; everything after talks to it alone.
    LinkTransport* transport = m_bUSBMode ? static_cast<LinkTransport*>(&m_UsbTransport)
                                          : static_cast<LinkTransport*>(&m_SerialTransport);
    LinkTransport::OpenFailure failure;
    if (!transport->Open(*this, failure)) {
        m_ErrorText = LinkErrorText(failure.code);
        m_ErrorCode = failure.code;
        m_OpenFailureCode = failure.reasonCode;
        m_OpenFailureText = std::move(failure.reasonText);
        return false;
    }
    m_pTransport = transport;
    m_bOpen = true;
    return true;
}

bool KorvaComPort::CloseLink() {
    m_ErrorCode = 0;
    if (!m_bOpen) return true;
    const int code = m_pTransport.load()->Close();
    if (code != 0) m_ErrorCode = code;
    m_bOpen = false;
    return code == 0;
}

bool KorvaComPort::ChannelGone() const {
    return m_bOpen && m_pTransport.load()->State() != LinkTransport::Health::kUp;
}

void KorvaComPort::SetChannelGoneError() {
    m_ErrorCode = kErrChannelGone;
    m_ErrorText = m_pTransport.load()->State() == LinkTransport::Health::kHungUp
                      ? kTextHungUp
                      : kTextMonitorEnded;
}

bool KorvaComPort::SendData(const std::uint8_t* data, unsigned length) {
    m_ErrorCode = 0;
    if (!m_bOpen) {
        m_ErrorText = kTextNotOpen;
        m_ErrorCode = kErrNotOpen;
        return false;
    }
    if (data == nullptr && length > 0) {
        korva::Trace("KorvaComPort: send of %u bytes without data refused\n", length);
        return false;
    }
    int failCode = 0;
    switch (m_pTransport.load()->Send(data, length, false, failCode)) {
        case LinkTransport::Sent::kSent:
        case LinkTransport::Sent::kIncomplete:  // not reported without waiting
            return true;
        case LinkTransport::Sent::kFailed:
            m_ErrorCode = failCode;
            return false;
        case LinkTransport::Sent::kGone:
            break;
    }
    SetChannelGoneError();
    korva::Trace("KorvaComPort: send refused: %s\n", m_ErrorText.load());
    return false;
}

bool KorvaComPort::Exchange(const std::string& framed, Until until, const char* flag, int count,
                            int waitMs, const char* failText, bool keepWaitCode) {
    m_ErrorCode = 0;
    const bool wasPending = m_bReplyPending;
    ResetReceiveState();
    m_bReplyPending = until != Until::kNothing;
    bool ok = SendData(reinterpret_cast<const std::uint8_t*>(framed.data()),
                       static_cast<unsigned>(framed.size()));
    if (ok) {
        switch (until) {
            case Until::kNothing:
                break;
            case Until::kDelay:
                WaitDelay(waitMs);
                break;
            case Until::kText:
                ok = WaitForText(flag, waitMs);
                if (!ok && m_ErrorCode != kErrChannelGone) {
                    m_ErrorText = failText;
                    // The byte form of the end-flag wait reports the wait's own
                    // time-out code.
                    if (!keepWaitCode)
                        m_ErrorCode = kErrNoFlag;
                    else if (m_ErrorCode == 0)
                        m_ErrorCode = kErrWaitTimeout;
                }
                break;
            case Until::kCount:
                ok = WaitForCount(count, waitMs);
                if (!ok && m_ErrorCode != kErrChannelGone) m_ErrorCode = kErrCount;
                break;
        }
        if (!ok && m_ErrorCode == kErrChannelGone) SetChannelGoneError();
    }
    m_bReplyPending = wasPending;
    return ok;
}

bool KorvaComPort::SendWaitResponse(std::string command, int waitMs) {
    command.push_back(m_Terminator);
    return Exchange(command, Until::kText, kResponseFlag, 0, waitMs, kTextNoResponse, false);
}

bool KorvaComPort::SendNoWait(std::string command) {
    command.push_back(m_Terminator);
    return Exchange(command, Until::kNothing, nullptr, 0, 0, nullptr, false);
}

bool KorvaComPort::SendWaitEndFlag(std::string command, int waitMs) {
    command.push_back(m_Terminator);
    return Exchange(command, Until::kText, kEndFlag, 0, waitMs, kTextNoEndFlag, false);
}

bool KorvaComPort::SendWaitCount(std::string command, short count, int waitMs) {
    command.push_back(m_Terminator);
    return Exchange(command, Until::kCount, nullptr, count, waitMs, nullptr, false);
}

bool KorvaComPort::SendWaitDelay(std::string command, int waitMs) {
    command.push_back(m_Terminator);
    return Exchange(command, Until::kDelay, nullptr, 0, waitMs, nullptr, false);
}

namespace {
std::string Framed(const std::uint8_t* data, unsigned length, char terminator) {
    std::string framed;
    if (data != nullptr) framed.assign(reinterpret_cast<const char*>(data), length);
    framed.push_back(terminator);
    return framed;
}
}  // namespace

bool KorvaComPort::SendBytesNoWait(const std::uint8_t* data, unsigned length) {
    if (data == nullptr && length > 0) return false;
    return Exchange(Framed(data, length, m_Terminator), Until::kNothing, nullptr, 0, 0, nullptr,
                    false);
}

bool KorvaComPort::SendBytesWaitResponse(const std::uint8_t* data, unsigned length, int waitMs) {
    if (data == nullptr && length > 0) return false;
    return Exchange(Framed(data, length, m_Terminator), Until::kText, kResponseFlag, 0, waitMs,
                    kTextNoResponse, false);
}

bool KorvaComPort::SendBytesWaitEndFlag(const std::uint8_t* data, unsigned length, int waitMs) {
    if (data == nullptr && length > 0) return false;
    return Exchange(Framed(data, length, m_Terminator), Until::kText, kEndFlag, 0, waitMs,
                    kTextNoEndFlag, true);
}

bool KorvaComPort::SendBytesWaitCount(const std::uint8_t* data, unsigned length, short count,
                                      int waitMs) {
    if (data == nullptr && length > 0) return false;
    return Exchange(Framed(data, length, m_Terminator), Until::kCount, nullptr, count, waitMs,
                    nullptr, false);
}

void KorvaComPort::ResetReceiveState() {
    m_ErrorText = "";
    m_ErrorCode = 0;
    std::lock_guard<std::mutex> guard(m_RecvLock);
    m_RecvCount = 0;
    std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
}

int KorvaComPort::GetReceivedText(std::string& text) {
    std::lock_guard<std::mutex> guard(m_RecvLock);
    text.assign(reinterpret_cast<const char*>(m_RecvBuf), static_cast<std::size_t>(m_RecvCount));
    return m_RecvCount;
}

int KorvaComPort::GetReceivedCount() {
    std::lock_guard<std::mutex> guard(m_RecvLock);
    return m_RecvCount;
}

int KorvaComPort::CopyReceived(std::uint8_t* out, int max) {
    if (out == nullptr) return 0;
    std::lock_guard<std::mutex> guard(m_RecvLock);
    int n = std::clamp(max, 0, m_RecvCount);
    std::memcpy(out, m_RecvBuf, static_cast<std::size_t>(n));
    return n;
}

int KorvaComPort::CopyReceived(std::uint32_t* out, int max) {
    if (out == nullptr) return 0;
    std::lock_guard<std::mutex> guard(m_RecvLock);
    int n = std::clamp(max, 0, m_RecvCount);
    for (int i = 0; i < n; ++i) out[i] = m_RecvBuf[i];
    return n;
}

bool KorvaComPort::DiscardReceived(int n) {
    if (n < 0) return false;
    std::lock_guard<std::mutex> guard(m_RecvLock);
    if (m_RecvCount < n) return false;
    std::memmove(m_RecvBuf, m_RecvBuf + n, static_cast<std::size_t>(m_RecvCount - n));
    std::memset(m_RecvBuf + (m_RecvCount - n), 0, static_cast<std::size_t>(n));
    m_RecvCount -= n;
    return true;
}

bool KorvaComPort::ClearReceived() {
    std::lock_guard<std::mutex> guard(m_RecvLock);
    m_RecvCount = 0;
    std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
    return true;
}

int KorvaComPort::FindLocked(const char* text) const {
    const int len = static_cast<int>(std::strlen(text));
    if (m_RecvCount < len) return -1;
    for (int i = 0; i <= m_RecvCount - len; ++i)
        if (std::memcmp(m_RecvBuf + i, text, static_cast<std::size_t>(len)) == 0) return i;
    return -1;
}

int KorvaComPort::FindInReceived(const char* text) {
    if (text == nullptr) return -1;
    std::lock_guard<std::mutex> guard(m_RecvLock);
    return FindLocked(text);
}

// The limit is rounded up to whole steps (10 ms for text, 5 ms for counts),
// the resolution callers are promised; the condition variable ends the wait as
// soon as the receive thread has stored what is looked for.
template <typename Pred>
KorvaComPort::WaitResult KorvaComPort::WaitUntil(Pred found, int waitMs, int stepMs) {
    std::unique_lock<std::mutex> lock(m_RecvLock);
    if (found()) return WaitResult::kFound;
    if (waitMs <= 0) return ChannelGone() ? WaitResult::kChannelGone : WaitResult::kTimedOut;
    const long long steps = (static_cast<long long>(waitMs) + stepMs - 1) / stepMs;
    return WaitUntilDeadline(
        lock, found, std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * stepMs));
}

template <typename Pred>
KorvaComPort::WaitResult KorvaComPort::WaitUntilDeadline(
    std::unique_lock<std::mutex>& lock, Pred found,
    std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (found()) return WaitResult::kFound;
        if (m_InterruptRequests.load() > 0) return WaitResult::kInterrupted;
        if (ChannelGone()) return WaitResult::kChannelGone;
        if (m_RecvArrived.wait_until(lock, deadline) == std::cv_status::timeout)
            return found() ? WaitResult::kFound : WaitResult::kTimedOut;
    }
}

void KorvaComPort::RequestWaitInterrupt() {
    ++m_InterruptRequests;
    {
        // Taking the lock orders the request before a waiter's next check.
        std::lock_guard<std::mutex> guard(m_RecvLock);
    }
    m_RecvArrived.notify_all();
}

void KorvaComPort::ReleaseWaitInterrupt() {
    --m_InterruptRequests;
}

bool KorvaComPort::Resync() {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(kResyncMaxMs);
    std::unique_lock<std::mutex> lock(m_RecvLock);
    int discarded = 0;
    for (;;) {
        discarded += m_RecvCount;
        m_RecvCount = 0;
        if (m_InterruptRequests.load() > 0 || ChannelGone()) break;
        const auto quietEnd =
            std::min(end, Clock::now() + std::chrono::milliseconds(kResyncQuietMs));
        bool arrived = false;
        while (!arrived && m_InterruptRequests.load() == 0) {
            if (m_RecvArrived.wait_until(lock, quietEnd) == std::cv_status::timeout) break;
            arrived = m_RecvCount > 0;
        }
        if (!arrived || Clock::now() >= end) break;
    }
    discarded += m_RecvCount;
    m_RecvCount = 0;
    std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
    lock.unlock();
    if (discarded > 0)
        korva::Trace("KorvaComPort: %d late reply bytes discarded before the next command\n",
                     discarded);
    return m_InterruptRequests.load() == 0;
}

bool KorvaComPort::WriteWhole(const std::string& framed) {
    if (!m_bOpen) {
        m_ErrorText = kTextNotOpen;
        m_ErrorCode = kErrNotOpen;
        return false;
    }
    int failCode = 0;
    switch (m_pTransport.load()->Send(reinterpret_cast<const std::uint8_t*>(framed.data()),
                                      static_cast<unsigned>(framed.size()), true, failCode)) {
        case LinkTransport::Sent::kSent:
            return true;
        case LinkTransport::Sent::kIncomplete:
            m_bLineCut = true;
            m_ErrorText = kTextWriteIncomplete;
            m_ErrorCode = kErrWriteIncomplete;
            return false;
        case LinkTransport::Sent::kFailed:
            m_ErrorCode = failCode;
            return false;
        case LinkTransport::Sent::kGone:
            break;
    }
    SetChannelGoneError();
    return false;
}

bool KorvaComPort::EndCutLine() {
    if (!m_bLineCut) return true;
    if (!WriteWhole(std::string(1, m_Terminator))) return false;
    korva::Trace("KorvaComPort: the line cut short before was ended with a terminator\n");
    m_bLineCut = false;
    m_bNeedResync = true;  // the controller's answer to the cut line is not for the next command
    return true;
}

bool KorvaComPort::SendWaitReply(std::string command, int waitMs, const ReplyComplete& complete,
                                 bool resync) {
    m_ErrorCode = 0;
    m_ErrorText = "";
    const bool wasPending = m_bReplyPending;
    m_bReplyPending = true;
    struct RestorePending {
        KorvaComPort& link;
        bool was;
        ~RestorePending() { link.m_bReplyPending = was; }
    } restore{*this, wasPending};

    auto interrupted = [this] {
        m_ErrorText = kTextInterrupted;
        m_ErrorCode = kErrWaitInterrupted;
        m_bNeedResync = true;
        return false;
    };
    if (!EndCutLine()) return false;
    if (resync && m_bNeedResync) {
        if (!Resync()) return interrupted();
        m_bNeedResync = false;
    }
    command.push_back(m_Terminator);
    ResetReceiveState();
    if (m_InterruptRequests.load() > 0 && resync) return interrupted();
    // The limit counts from the moment the line is handed over, as before;
    // a reply cannot be whole before the line has left.
    const long long steps = (static_cast<long long>(std::max(waitMs, 0)) + 9) / 10;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(steps * 10);
    if (!WriteWhole(command)) return false;
    std::unique_lock<std::mutex> lock(m_RecvLock);
    auto found = [&] {
        return complete(std::string_view(reinterpret_cast<const char*>(m_RecvBuf),
                                         static_cast<std::size_t>(m_RecvCount)));
    };
    WaitResult r = WaitUntilDeadline(lock, found, deadline);
    lock.unlock();
    switch (r) {
        case WaitResult::kFound:
            return true;
        case WaitResult::kInterrupted:
            return interrupted();
        case WaitResult::kChannelGone:
            SetChannelGoneError();
            return false;
        case WaitResult::kTimedOut:
            break;
    }
    m_bNeedResync = true;
    m_ErrorText = kTextNoResponse;
    m_ErrorCode = kErrNoFlag;
    return false;
}

bool KorvaComPort::WaitForText(const char* text, int waitMs) {
    m_ErrorCode = 0;
    if (text == nullptr) return false;
    WaitResult r = WaitUntil([&] { return FindLocked(text) >= 0; }, waitMs, 10);
    if (r == WaitResult::kChannelGone) m_ErrorCode = kErrChannelGone;
    if (r == WaitResult::kInterrupted) m_ErrorCode = kErrWaitInterrupted;
    // A single check (waitMs <= 0) is not a time-out.
    if (r == WaitResult::kTimedOut && waitMs > 0) m_ErrorCode = kErrWaitTimeout;
    return r == WaitResult::kFound;
}

bool KorvaComPort::WaitForCount(int count, int waitMs) {
    WaitResult r = WaitUntil([&] { return m_RecvCount >= count; }, waitMs, 5);
    if (r == WaitResult::kChannelGone) m_ErrorCode = kErrChannelGone;
    if (r == WaitResult::kInterrupted) m_ErrorCode = kErrWaitInterrupted;
    return r == WaitResult::kFound;
}

bool KorvaComPort::WaitDelay(int waitMs) {
    if (waitMs <= 0) return true;
    const long long steps = (static_cast<long long>(waitMs) + 9) / 10;
    std::this_thread::sleep_for(std::chrono::milliseconds(steps * 10));
    return true;
}

bool KorvaComPort::SetPortNumber(short port) {
    m_ErrorCode = 0;
    if (m_bOpen) {
        m_ErrorCode = kErrOpenCom;
        return false;
    }
    m_PortNumber = port;
    return true;
}

bool KorvaComPort::SetUSBMode(bool usb) {
    if (m_bOpen) return false;
    m_bUSBMode = usb;
    return true;
}

bool KorvaComPort::GetUSBDeviceCount(int* count) {
    return m_USB.GetDeviceCount(count);
}

bool KorvaComPort::GetUSBDeviceSerial(int index, std::string& serial) {
    return m_USB.GetSerialNumber(index, serial);
}

void KorvaComPort::SetReceiveCallback(ReceiveCallback callback, void* context) {
    std::lock_guard<std::mutex> guard(m_RecvLock);
    m_pfnReceive = callback;
    m_ReceiveContext = context;
}

void KorvaComPort::DeliverByte(KorvaComPort* owner, std::uint8_t byte, int count) {
    if (owner != nullptr) owner->OnReceiveByte(byte, count);
}

void KorvaComPort::DeliverHangUp(KorvaComPort* owner) {
    if (owner == nullptr) return;
    {
        // Taking the lock orders the hang-up flag before a waiter's next check.
        std::lock_guard<std::mutex> guard(owner->m_RecvLock);
    }
    owner->m_RecvArrived.notify_all();
    owner->OnChannelHangUp();
}

bool KorvaComPort::OnReceiveNotify(int) {
    return true;
}

void KorvaComPort::OnReceiveByte(std::uint8_t byte, int count) {
    ReceiveCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> guard(m_RecvLock);
        m_RecvBuf[m_RecvCount] = byte;
        // The buffer wraps: a byte stored at the last index returns the count
        // to 0, and the bytes before it no longer count.
        m_RecvCount = (m_RecvCount + 1) % kRecvBufSize;
        callback = m_pfnReceive;
        context = m_ReceiveContext;
    }
    m_RecvArrived.notify_all();
    if (callback != nullptr) callback(context, byte, count);
    OnReceiveNotify(count);
}
