#include "PtyPair.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korva::test {

PtyPair::PtyPair() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    struct termios raw {};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B19200);
    cfsetospeed(&raw, B19200);
    raw.c_cflag |= CLOCAL | CREAD;
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        m_error = std::string("openpty: ") + std::strerror(errno);
        return;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    // openpty applies the settings to the slave; apply again in case the
    // line discipline reset any of them.
    if (tcsetattr(slave, TCSANOW, &raw) != 0) {
        m_error = std::string("tcsetattr: ") + std::strerror(errno);
        close(master);
        close(slave);
        return;
    }
    m_master = master;
    m_slave = slave;
    m_slavePath = name;
}

PtyPair::~PtyPair() {
    CloseMaster();
    CloseSlave();
}

void PtyPair::CloseMaster() {
    int fd = m_master.exchange(-1);
    if (fd >= 0) close(fd);
}

void PtyPair::CloseSlave() {
    int fd = m_slave.exchange(-1);
    if (fd >= 0) close(fd);
}

}  // namespace korva::test
