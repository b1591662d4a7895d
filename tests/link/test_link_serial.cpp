// The serial channel and the port map, over real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "KorvaComPort.h"
#include "LinkTestUtil.h"
#include "PortMap.h"
#include "ScriptedPeer.h"
#include "SerialPort.h"

using namespace std::chrono_literals;
using korva::test::MessageRecorder;
using korva::test::PtyPair;
using korva::test::ScriptedPeer;

namespace {

std::filesystem::path MakeTempDir(const char* tag) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string("korva_") + tag + "_XXXXXX"))
            .string();
    char* dir = mkdtemp(pattern.data());
    return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::path();
}

int UnreadInput(const PtyPair& pty) {
    int n = -1;
    if (ioctl(pty.Slave(), FIONREAD, &n) != 0) return -1;
    return n;
}

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 2s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(PortMap, EnvironmentWinsThenSettingsFileThenTtyS) {
    std::filesystem::path dir = MakeTempDir("portmap");
    ASSERT_FALSE(dir.empty());
    std::filesystem::path ini = dir / "kt300ocxsetting.ini";
    std::ofstream(ini)
        << "[Other]\nCOM5=/dev/wrong\n[ports]\ncom3=/dev/ttyUSB7\nCOM4 = /dev/ttyACM0\n";
    korva::SetPortMapSettingsFile(ini.string());
    setenv("KORVA_COM4", "/dev/pts/99", 1);
    setenv("KORVA_COM3", "", 1);  // empty: not set
    unsetenv("KORVA_COM1");
    unsetenv("KORVA_COM5");

    struct {
        unsigned port;
        const char* device;
    } cases[] = {
        {3, "/dev/ttyUSB7"}, {4, "/dev/pts/99"},    {5, "/dev/ttyS4"},
        {1, "/dev/ttyS0"},   {255, "/dev/ttyS254"}, {0, ""},
        {256, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(korva::PortDevicePath(c.port), c.device) << "COM" << c.port;

    korva::SetPortMapSettingsFile("");
    std::filesystem::remove_all(dir);
}

TEST(SerialSettings, BuildDcbTable) {
    struct {
        const char* text;
        speed_t speed;
        tcflag_t size;
        tcflag_t parity;  // PARENB | PARODD | CMSPAR bits
        bool twoStop;
    } good[] = {
        {"baud=19200 parity=N data=8 stop=1", B19200, CS8, 0, false},
        {"baud=9600 parity=E data=7 stop=2", B9600, CS7, PARENB, true},
        {"baud=115200 parity=o data=8 stop=1", B115200, CS8, PARENB | PARODD, false},
        {"BAUD=4800 PARITY=M DATA=5 STOP=1", B4800, CS5, PARENB | PARODD | CMSPAR, false},
        {"baud=300 parity=S data=6 stop=1", B300, CS6, PARENB | CMSPAR, false},
    };
    for (const auto& c : good) {
        struct termios t {};
        t.c_lflag = ECHO | ICANON | ISIG;
        t.c_iflag = ICRNL | INLCR;
        t.c_oflag = OPOST | ONLCR;
        t.c_cc[VMIN] = 0;
        ASSERT_TRUE(SerialPort::BuildDcb(c.text, t)) << c.text;
        EXPECT_EQ(cfgetospeed(&t), c.speed) << c.text;
        EXPECT_EQ(cfgetispeed(&t), c.speed) << c.text;
        EXPECT_EQ(t.c_cflag & CSIZE, c.size) << c.text;
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << c.text;
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop) << c.text;
        EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD)) << c.text;
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u) << c.text;
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR), 0u) << c.text;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << c.text;
        EXPECT_EQ(t.c_cc[VMIN], 0) << c.text;
    }

    const char* bad[] = {
        "baud=12345 parity=N data=8 stop=1",
        "baud=-1 parity=N data=8 stop=1",
        "baud=19200x parity=N data=8 stop=1",
        "baud=19200 parity=X data=8 stop=1",
        "baud=19200 parity= data=8 stop=1",
        "baud=19200 parity=N data=9 stop=1",
        "baud=19200 parity=N data=8 stop=3",
        "speed=19200",
        "baud19200",
    };
    for (const char* text : bad) {
        struct termios t {};
        t.c_cflag = CS7 | PARENB;
        struct termios before = t;
        EXPECT_FALSE(SerialPort::BuildDcb(text, t)) << text;
        EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0) << text << ": changed on failure";
    }
}

TEST(SerialPort, PortNumbersOutside1To255AreRefused) {
    MessageRecorder messages;
    KorvaComPort owner;
    SerialPort port;
    port.m_pOwner = &owner;
    for (unsigned n : {0u, 256u, 70000u}) {
        EXPECT_FALSE(port.OpenChannel(n, 19200, 'N', 8, 1, 9, 512)) << n;
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ(port.LastOpenErrno(), EINVAL);
    }
    EXPECT_TRUE(messages.Messages().empty());
}

TEST(SerialPort, MissingDeviceFailsWithoutMessage) {
    MessageRecorder messages;
    setenv("KORVA_COM2", "/nonexistent/korva-tty", 1);
    SerialPort port;
    EXPECT_FALSE(port.OpenChannel(2, 19200, 'N', 8, 1, 9, 512));
    EXPECT_EQ(port.LastOpenErrno(), ENOENT);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_TRUE(port.CloseChannel());
}

// Configuration failures are shown to the user with the failed step and the
// system's text, but the open still succeeds.
TEST(SerialPort, ConfigurationFailuresAreShownAndOpenSucceeds) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    std::filesystem::path dir = MakeTempDir("notatty");
    ASSERT_FALSE(dir.empty());
    std::filesystem::path plainFile = dir / "plain";
    std::ofstream(plainFile) << "";

    struct {
        std::string device;
        unsigned baud;
        char parity;
        unsigned long mask;
        const char* step;
        const char* osText;
    } cases[] = {
        {pty.SlavePath(), 12345, 'N', 9, "BuildCommDCB()", "Invalid argument"},
        {pty.SlavePath(), 19200, 'X', 9, "BuildCommDCB()", "Invalid argument"},
        {pty.SlavePath(), 19200, 'N', 0x10000, "SetCommMask()", "Invalid argument"},
        {plainFile.string(), 19200, 'N', 9, "SetCommTimeouts()", std::strerror(ENOTTY)},
    };
    for (const auto& c : cases) {
        MessageRecorder messages;
        setenv("KORVA_COM7", c.device.c_str(), 1);
        SerialPort port;
        EXPECT_TRUE(port.OpenChannel(7, c.baud, c.parity, 8, 1, c.mask, 512)) << c.step;
        EXPECT_TRUE(port.IsOpen());
        auto shown = messages.Messages();
        ASSERT_EQ(shown.size(), 1u) << c.step;
        EXPECT_EQ(shown[0].caption, "Application Error");
        EXPECT_EQ(shown[0].text, std::string("WARNING:  ") + c.step +
                                     " Failed with the following error: \n" + c.osText +
                                     "\nPort: 7\nDevice: " + c.device + "\n");
        EXPECT_TRUE(port.CloseChannel());
        EXPECT_FALSE(port.IsOpen());
    }
    std::filesystem::remove_all(dir);
}

TEST(SerialPort, WriteToClosedPortShowsErrorStrange) {
    MessageRecorder messages;
    SerialPort port;
    EXPECT_TRUE(port.CloseChannel());  // never opened: nothing to do
    port.QueueWrite("x\r", 2);
    auto shown = messages.Messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "error strange");
}

// Bytes received but not yet read when a write starts are dropped by the
// purge before the write. The monitor here watches no receive event, so the
// bytes stay unread in the line's input queue until the write.
TEST(SerialPort, PurgeBeforeWriteDropsUnreadInput) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    ScriptedPeer peer(pty);
    setenv("KORVA_COM1", pty.SlavePath().c_str(), 1);
    KorvaComPort owner;
    SerialPort port;
    port.m_pOwner = &owner;
    ASSERT_TRUE(port.OpenChannel(1, 19200, 'N', 8, 1, 0, 512));
    ASSERT_TRUE(port.StartMonitor());

    peer.Send("stale");
    ASSERT_TRUE(Eventually([&] { return UnreadInput(pty) == 5; })) << UnreadInput(pty);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(UnreadInput(pty), 5) << "nothing but a write may drop input";

    port.QueueWrite("Go\r", 3);
    ASSERT_TRUE(peer.WaitForBytes(3, 2s));
    EXPECT_EQ(peer.Received(), "Go\r");
    EXPECT_TRUE(Eventually([&] { return UnreadInput(pty) == 0; }));
    EXPECT_EQ(owner.GetReceivedCount(), 0);
    EXPECT_TRUE(port.CloseChannel());
}

// Two writes queued before the monitor thread gets to them both go out, in
// order; a block longer than the buffer goes out whole.
TEST(SerialPort, QueuedWritesKeepEveryByteInOrder) {
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    ScriptedPeer peer(pty);
    setenv("KORVA_COM1", pty.SlavePath().c_str(), 1);
    KorvaComPort owner;
    SerialPort port;
    port.m_pOwner = &owner;
    ASSERT_TRUE(port.OpenChannel(1, 19200, 'N', 8, 1, 9, 512));
    ASSERT_TRUE(port.StartMonitor());

    std::string big;
    for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>(i % 251));
    std::string expected;
    for (int round = 0; round < 20; ++round) {
        std::string line = "Line " + std::to_string(round) + "\r";
        port.QueueWrite(line.data(), static_cast<unsigned>(line.size()));
        expected += line;
    }
    port.QueueWrite(big.data(), static_cast<unsigned>(big.size()));
    expected += big;
    ASSERT_TRUE(peer.WaitForBytes(expected.size(), 5s)) << peer.Received().size();
    EXPECT_EQ(peer.Received(), expected);
    EXPECT_TRUE(port.CloseChannel());
}

// While one SerialPort holds the device, a second open of it fails without a
// message; once the first is closed, the device opens again.
TEST(SerialPort, OpenIsExclusiveUntilClosed) {
    MessageRecorder messages;
    PtyPair pty;
    ASSERT_TRUE(pty.Ok()) << pty.Error();
    setenv("KORVA_COM1", pty.SlavePath().c_str(), 1);
    SerialPort first;
    SerialPort second;
    ASSERT_TRUE(first.OpenChannel(1, 19200, 'N', 8, 1, 9, 512));
    EXPECT_FALSE(second.OpenChannel(1, 19200, 'N', 8, 1, 9, 512));
    EXPECT_TRUE(second.LastOpenErrno() == EWOULDBLOCK || second.LastOpenErrno() == EBUSY)
        << std::strerror(second.LastOpenErrno());
    EXPECT_TRUE(first.CloseChannel());
    EXPECT_TRUE(second.OpenChannel(1, 19200, 'N', 8, 1, 9, 512));
    EXPECT_TRUE(messages.Messages().empty());
}
