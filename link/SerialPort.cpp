#include "SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>

#include "Files.h"
#include "KorvaComPort.h"
#include "NumText.h"
#include "PortMap.h"
#include "Trace.h"
#include "UserMessage.h"

namespace {

constexpr char kCaption[] = "Application Error";
constexpr unsigned long kEvRxChar = 0x0001;
constexpr unsigned long kKnownEvents = 0x1FFF;  // EV_RXCHAR .. EV_EVENT2
// A write gives up when the port has accepted no byte for this long (CTS held
// low under hardware handshake, a stuck adapter).
constexpr int kWriteStallMs = 1000;
// Reads per wake-up before the monitor polls again, so that a shutdown request
// is seen even while the far end streams without pause.
constexpr int kMaxReadsPerWake = 64;

using korva::ErrnoText;

void SignalEvent(int fd) {
    std::uint64_t one = 1;
    if (fd >= 0 && write(fd, &one, sizeof one) < 0 && errno != EAGAIN)
        korva::Trace("SerialPort: signalling an event failed: %s\n", ErrnoText(errno).c_str());
}

// Drops the queued bytes of the given direction(s).
void Purge(int fd, int queues, unsigned portNr) {
    if (tcflush(fd, queues) != 0)
        korva::Trace("SerialPort: purging COM%u failed: %s\n", portNr, ErrnoText(errno).c_str());
}

void ResetEvent(int fd) {
    std::uint64_t value;
    while (fd >= 0 && read(fd, &value, sizeof value) > 0) {
    }
}

struct BaudEntry {
    int baud;
    speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool ParseInt(std::string_view text, int& value) {
    if (text.empty()) return false;
    auto res = std::from_chars(text.data(), text.data() + text.size(), value);
    return res.ec == std::errc() && res.ptr == text.data() + text.size();
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

}  // namespace

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    CloseChannel();
    if (m_hShutdownEvent >= 0) close(m_hShutdownEvent);
    if (m_hWriteEvent >= 0) close(m_hWriteEvent);
}

bool SerialPort::BuildDcb(const std::string& settings, struct termios& dcb) {
    int baud = -1;
    char parity = 0;
    int dataBits = -1;
    int stopBits = -1;
    std::string_view rest(settings);
    while (!rest.empty()) {
        std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        std::size_t end = rest.find(' ');
        std::string_view item = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = item.substr(0, eq);
        std::string_view value = item.substr(eq + 1);
        if (EqualNoCase(key, "baud")) {
            if (!ParseInt(value, baud) || baud < 0) return false;
        } else if (EqualNoCase(key, "parity")) {
            if (value.size() != 1) return false;
            parity = value[0] >= 'a' && value[0] <= 'z' ? static_cast<char>(value[0] - 'a' + 'A')
                                                        : value[0];
        } else if (EqualNoCase(key, "data")) {
            if (!ParseInt(value, dataBits) || dataBits < 0) return false;
        } else if (EqualNoCase(key, "stop")) {
            if (!ParseInt(value, stopBits) || stopBits < 0) return false;
        } else {
            return false;
        }
    }

    struct termios t = dcb;
    const cc_t vmin = t.c_cc[VMIN];
    const cc_t vtime = t.c_cc[VTIME];
    // Raw bytes both ways: no echo, no CR/NL translation, no signals.
    cfmakeraw(&t);
    t.c_cc[VMIN] = vmin;
    t.c_cc[VTIME] = vtime;
    t.c_cflag |= CLOCAL | CREAD;
    if (baud >= 0) {
        const BaudEntry* entry = nullptr;
        for (const BaudEntry& e : kBauds)
            if (e.baud == baud) entry = &e;
        if (entry == nullptr) return false;
        cfsetispeed(&t, entry->speed);
        cfsetospeed(&t, entry->speed);
    }
    if (parity != 0) {
        t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
        switch (parity) {
            case 'N':
                break;
            case 'E':
                t.c_cflag |= PARENB;
                break;
            case 'O':
                t.c_cflag |= PARENB | PARODD;
                break;
            case 'M':
                t.c_cflag |= PARENB | PARODD | CMSPAR;
                break;
            case 'S':
                t.c_cflag |= PARENB | CMSPAR;
                break;
            default:
                return false;
        }
    }
    if (dataBits >= 0) {
        tcflag_t size = 0;
        switch (dataBits) {
            case 5:
                size = CS5;
                break;
            case 6:
                size = CS6;
                break;
            case 7:
                size = CS7;
                break;
            case 8:
                size = CS8;
                break;
            default:
                return false;
        }
        t.c_cflag = (t.c_cflag & ~CSIZE) | size;
    }
    if (stopBits >= 0) {
        if (stopBits == 1)
            t.c_cflag &= ~CSTOPB;
        else if (stopBits == 2)
            t.c_cflag |= CSTOPB;
        else
            return false;
    }
    dcb = t;
    return true;
}

bool SerialPort::OpenChannel(unsigned portNr, unsigned baud, char parity, unsigned dataBits,
                             unsigned stopBits, unsigned long eventMask, unsigned bufferSize) {
    if (portNr < 1 || portNr > 255) {
        korva::Trace("SerialPort: port number %u is outside 1..255\n", portNr);
        m_OpenErrno = EINVAL;
        return false;
    }
    CloseChannel();

    for (int* event : {&m_hShutdownEvent, &m_hWriteEvent}) {
        if (*event < 0) *event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (*event < 0) {
            m_OpenErrno = errno;
            korva::Trace("SerialPort: eventfd failed: %s\n", ErrnoText(m_OpenErrno).c_str());
            return false;
        }
        ResetEvent(*event);
    }
    {
        std::lock_guard<std::mutex> handOver(m_WriteHandOver);
        m_WriteBuffer.assign(bufferSize, 0);
        m_WriteSize = 0;
    }
    m_PortNr = portNr;
    m_WriteBufferSize = bufferSize;
    m_EventMask = eventMask;
    m_bHungUp = false;
    m_OpenErrno = 0;

    std::string failedStep;
    int failedErrno = 0;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_DevicePath = korva::PortDevicePath(portNr);
        int fd = open(m_DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            m_OpenErrno = errno;
            korva::Trace("SerialPort: opening COM%u (%s) failed: %s\n", portNr,
                         m_DevicePath.c_str(), ErrnoText(m_OpenErrno).c_str());
            return false;
        }
        // flock keeps out every other program that locks too (root ignores
        // TIOCEXCL); TIOCEXCL keeps out those that do not.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            m_OpenErrno = errno;
            korva::Trace("SerialPort: COM%u (%s) is held by another program: %s\n", portNr,
                         m_DevicePath.c_str(), ErrnoText(m_OpenErrno).c_str());
            close(fd);
            return false;
        }
        m_bExclusive = ioctl(fd, TIOCEXCL) == 0;
        m_hPort = fd;
        if (ApplySettings(baud, parity, dataBits, stopBits, failedStep, failedErrno))
            ApplyModemLines();
        Purge(m_hPort, TCIOFLUSH, m_PortNr);
    }
    // Shown outside the lock: a GUI handler blocks until the user closes the box.
    if (!failedStep.empty()) ReportApiError(failedStep.c_str(), failedErrno);
    korva::Trace(
        "Initialisation for communicationport %u completed.\nUse Startmonitor to communicate.\n",
        portNr);
    return true;
}

bool SerialPort::ApplySettings(unsigned baud, char parity, unsigned dataBits, unsigned stopBits,
                               std::string& failedStep, int& failedErrno) {
    auto fail = [&](const char* step, int err) {
        failedStep = step;
        failedErrno = err;
        return false;
    };
    // The monitor thread waits with poll() and reads without blocking. VMIN 1
    // makes an empty queue EAGAIN, so that a read of 0 bytes means a hang-up
    // (with VMIN 0 it would also mean "nothing there").
    struct termios t {};
    if (tcgetattr(m_hPort, &t) != 0) return fail("SetCommTimeouts()", errno);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(m_hPort, TCSANOW, &t) != 0) return fail("SetCommTimeouts()", errno);

    if ((m_EventMask & ~kKnownEvents) != 0) return fail("SetCommMask()", EINVAL);

    if (tcgetattr(m_hPort, &m_DCB) != 0) return fail("GetCommState()", errno);
    if ((m_RtsControl & 3) == 2)
        m_DCB.c_cflag |= CRTSCTS;
    else
        m_DCB.c_cflag &= ~CRTSCTS;

    std::string settings =
        korva::FormatLine("baud=%d parity=%c data=%d stop=%d", static_cast<int>(baud), parity,
                          static_cast<int>(dataBits), static_cast<int>(stopBits));
    if (!BuildDcb(settings, m_DCB)) {
        korva::Trace("SerialPort: cannot apply \"%s\"\n", settings.c_str());
        return fail("BuildCommDCB()", EINVAL);
    }
    if (tcsetattr(m_hPort, TCSANOW, &m_DCB) != 0) return fail("SetCommState()", errno);
    return true;
}

void SerialPort::ApplyModemLines() {
    int set = 0;
    int clear = 0;
    ((m_DtrControl & 3) == 0 ? clear : set) |= TIOCM_DTR;
    // RTS 2 is the handshake: the driver moves RTS itself under CRTSCTS.
    if ((m_RtsControl & 3) != 2) ((m_RtsControl & 3) == 0 ? clear : set) |= TIOCM_RTS;
    for (auto [request, bits] : {std::pair{TIOCMBIS, set}, std::pair{TIOCMBIC, clear}}) {
        if (bits == 0 || ioctl(m_hPort, request, &bits) == 0) continue;
        // A pseudo-terminal has no modem lines.
        if (errno != ENOTTY && errno != EINVAL)
            korva::Trace("SerialPort: setting DTR/RTS on COM%u failed: %s\n", m_PortNr,
                         ErrnoText(errno).c_str());
    }
}

bool SerialPort::StartMonitor() {
    if (m_Thread.joinable()) {
        if (m_bMonitorAlive) return true;
        m_Thread.join();  // ended after a hang-up; start afresh
    }
    // The monitor starts on empty queues. Purged here rather than on the new
    // thread, so that whatever arrives once StartMonitor returned is kept.
    if (m_hPort >= 0) Purge(m_hPort, TCIOFLUSH, m_PortNr);
    m_bMonitorAlive = true;
    try {
        m_Thread = std::thread(&SerialPort::MonitorLoop, this);
    } catch (const std::system_error& e) {
        m_bMonitorAlive = false;
        korva::Trace("SerialPort: starting the monitor thread failed: %s\n",
                     ErrnoText(e.code().value()).c_str());
        return false;
    }
    korva::Trace("Thread started\n");
    return true;
}

void SerialPort::MonitorLoop() {
    const short portEvents = (m_EventMask & kEvRxChar) ? POLLIN : 0;
    for (;;) {
        struct pollfd fds[3] = {
            {m_hShutdownEvent, POLLIN, 0},
            {m_hPort, portEvents, 0},
            {m_hWriteEvent, POLLIN, 0},
        };
        if (poll(fds, 3, -1) < 0) {
            int err = errno;
            if (err == EINTR) continue;
            ReportApiError("WaitCommEvent()", err);
            korva::Trace("%d\n", err);
            break;
        }
        // The lowest ready index wins, one event per round.
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            if ((fds[1].revents & POLLIN) == 0) {
                ReportHangUp("the line hung up", 0);
                break;
            }
            if (DrainInput() == Drain::kGone) break;
            continue;
        }
        if (fds[2].revents != 0 && !WritePending()) break;
    }
    {
        std::lock_guard<std::mutex> handOver(m_WriteHandOver);
        m_bMonitorAlive = false;
    }
    m_WriteHandled.notify_all();
}

SerialPort::Drain SerialPort::DrainInput() {
    std::uint8_t buf[256];
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
        ssize_t n;
        int err;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            n = read(m_hPort, buf, sizeof buf);
            err = errno;
        }
        if (n > 0) {
            // Outside m_Lock: the owner takes its own receive lock.
            for (ssize_t k = 0; k < n; ++k) KorvaComPort::DeliverByte(m_pOwner, buf[k], 1);
            continue;
        }
        if (n == 0) {
            ReportHangUp("end of file after readiness", 0);
            return Drain::kGone;
        }
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) return Drain::kEmpty;
        if (err != EIO) ReportApiError("ReadFile()", err);
        ReportHangUp("read failed", err);
        return Drain::kGone;
    }
    return Drain::kMore;
}

std::uint64_t SerialPort::QueueWrite(const void* data, unsigned length) {
    if (m_hPort < 0) {
        korva::Trace("SerialPort: write of %u bytes to a closed port\n", length);
        korva::ShowUserMessage("error strange", kCaption);
        return 0;
    }
    if (length == 0) return 0;
    if (data == nullptr) {
        korva::Trace("SerialPort: write of %u bytes without data refused\n", length);
        return 0;
    }
    std::uint64_t ticket;
    {
        // Bytes queued before the monitor thread got to them are kept and go
        // out first; a block longer than the buffer grows it (see README).
        std::lock_guard<std::mutex> handOver(m_WriteHandOver);
        if (m_WriteBuffer.size() < m_WriteSize + length) m_WriteBuffer.resize(m_WriteSize + length);
        std::memcpy(m_WriteBuffer.data() + m_WriteSize, data, length);
        m_WriteSize += length;
        ticket = ++m_QueuedSeq;
    }
    SignalEvent(m_hWriteEvent);
    return ticket;
}

bool SerialPort::IsTerminal() const {
    return m_hPort >= 0 && isatty(m_hPort) == 1;
}

SerialPort::WriteOutcome SerialPort::WaitWritten(std::uint64_t ticket) {
    std::unique_lock<std::mutex> handOver(m_WriteHandOver);
    for (;;) {
        if (m_DoneSeq >= ticket)
            return (ticket >= m_FailedFrom && ticket <= m_FailedTo) ? WriteOutcome::kIncomplete
                                                                    : WriteOutcome::kWritten;
        if (!m_bMonitorAlive || m_bHungUp) return WriteOutcome::kGone;
        // The monitor signals every handled write and its own end; the bound
        // only guards against a missed signal.
        m_WriteHandled.wait_for(handOver, std::chrono::milliseconds(100));
    }
}

bool SerialPort::WritePending() {
    ResetEvent(m_hWriteEvent);
    std::vector<std::uint8_t> out;
    std::uint64_t batchFrom, batchTo;
    {
        std::lock_guard<std::mutex> handOver(m_WriteHandOver);
        out.assign(m_WriteBuffer.begin(), m_WriteBuffer.begin() + m_WriteSize);
        m_WriteSize = 0;
        batchFrom = m_GrabbedSeq + 1;
        batchTo = m_GrabbedSeq = m_QueuedSeq;
    }
    if (out.empty()) return true;

    std::size_t sent = 0;
    int err = 0;
    bool gone = false;
    bool stalled = false;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        // Every write starts on empty queues: received bytes not yet read are
        // dropped. The output queue is empty already, as every write waits for
        // its bytes to leave; TCOFLUSH here would, on a pty, also drop what the
        // far end has not read yet.
        Purge(m_hPort, TCIFLUSH, m_PortNr);
        while (sent < out.size()) {
            ssize_t n = write(m_hPort, out.data() + sent, out.size() - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            err = n < 0 ? errno : EIO;
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK) {
                gone = err == EIO;
                break;
            }
            struct pollfd fds[2] = {{m_hPort, POLLOUT, 0}, {m_hShutdownEvent, POLLIN, 0}};
            int rc = poll(fds, 2, kWriteStallMs);
            if (rc < 0 && errno == EINTR) continue;
            if (rc < 0) {
                err = errno;
                break;
            }
            if (rc == 0) {
                stalled = true;
                err = ETIMEDOUT;
                break;
            }
            if (fds[1].revents != 0) {  // closing: leave the rest
                err = ECANCELED;
                break;
            }
            if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                gone = true;
                err = EIO;
                break;
            }
            err = 0;
        }
        // write() returns once the bytes are in the driver; a write counts as
        // done only when they are on the line, so the next purge cannot drop them.
        if (sent == out.size()) {
            int stuck = WaitOutputDrained();
            if (stuck > 0) {
                stalled = true;
                err = ETIMEDOUT;
                sent -= std::min(sent, static_cast<std::size_t>(stuck));
            }
        }
        // What could not go out in time is given up, not sent later.
        if (stalled) Purge(m_hPort, TCOFLUSH, m_PortNr);
    }
    {
        std::lock_guard<std::mutex> handOver(m_WriteHandOver);
        m_DoneSeq = batchTo;
        if (sent < out.size()) {
            m_FailedFrom = batchFrom;
            m_FailedTo = batchTo;
        }
    }
    m_WriteHandled.notify_all();
    if (gone)
        ReportHangUp("write failed", err);
    else if (stalled)
        ReportApiError("GetOverlappedResults() in WriteFile()", err);
    else if (err != 0 && err != ECANCELED)
        ReportApiError("WriteFile()", err);
    if (sent < out.size()) {
        korva::Trace(
            "WARNING: WriteFile() error.. Bytes Sent: %d; Message Length: %d\n",
            static_cast<int>(sent),
            static_cast<int>(strnlen(reinterpret_cast<const char*>(out.data()), out.size())));
    }
    return !gone;
}

int SerialPort::WaitOutputDrained() {
    int lastPending = -1;
    auto lastProgress = std::chrono::steady_clock::now();
    for (;;) {
        int pending = 0;
        if (ioctl(m_hPort, TIOCOUTQ, &pending) != 0 || pending <= 0) return 0;
        auto now = std::chrono::steady_clock::now();
        if (pending != lastPending) {
            lastPending = pending;
            lastProgress = now;
        } else if (now - lastProgress >= std::chrono::milliseconds(kWriteStallMs)) {
            return pending;
        }
        // Half a millisecond per pending byte (about one character at 19200
        // baud), capped so that a shutdown request is seen quickly.
        struct pollfd shutdown = {m_hShutdownEvent, POLLIN, 0};
        if (poll(&shutdown, 1, std::clamp(pending / 2, 1, 10)) > 0) return 0;
    }
}

bool SerialPort::CloseChannel() {
    if (m_Thread.joinable()) {
        SignalEvent(m_hShutdownEvent);
        m_Thread.join();
        korva::Trace("Thread ended\n");
    }
    ClosePort();
    m_bHungUp = false;
    std::lock_guard<std::mutex> handOver(m_WriteHandOver);
    m_WriteSize = 0;
    return true;
}

void SerialPort::ClosePort() {
    if (m_hPort < 0) return;
    if (m_bExclusive && ioctl(m_hPort, TIOCNXCL) != 0)
        korva::Trace("SerialPort: TIOCNXCL on COM%u failed: %s\n", m_PortNr,
                     ErrnoText(errno).c_str());
    m_bExclusive = false;
    if (close(m_hPort) != 0)
        korva::Trace("SerialPort: closing COM%u failed: %s\n", m_PortNr, ErrnoText(errno).c_str());
    m_hPort = -1;
}

void SerialPort::ReportHangUp(const char* why, int err) {
    if (m_bHungUp.exchange(true)) return;
    korva::Trace("SerialPort: COM%u (%s) is gone (%s%s%s); the monitor stops\n", m_PortNr,
                 m_DevicePath.c_str(), why, err != 0 ? ": " : "",
                 err != 0 ? ErrnoText(err).c_str() : "");
    KorvaComPort::DeliverHangUp(m_pOwner);
}

void SerialPort::ReportApiError(const char* operation, int err) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "WARNING:  %s Failed with the following error: \n%s\nPort: %d\n", operation,
                  ErrnoText(err).c_str(), static_cast<int>(m_PortNr));
    korva::Trace("%s", text);
    // The user also needs to know which device "Port: n" stands for.
    korva::ShowUserMessage(std::string(text) + "Device: " + m_DevicePath + "\n", kCaption);
}
