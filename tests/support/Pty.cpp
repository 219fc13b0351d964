// Only <asm/termbits.h> is used for the speed (termios2 shows any rate, B constant or not);
// the slave is made raw through the same structure.
#include "tests/support/Pty.h"

#include <asm/termbits.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
[[noreturn]] void Fail(const char* what) {
    throw std::runtime_error(std::string("TestPty: ") + what + ": " + std::strerror(errno));
}

void MakeRaw(int fd) {
    termios2 t{};
    if (ioctl(fd, TCGETS2, &t) != 0) return;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~(CSIZE | PARENB);
    t.c_cflag |= CS8;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ioctl(fd, TCSETS2, &t);
}
}  // namespace

TestPty::TestPty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) Fail("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        int e = errno;
        close(master_);
        errno = e;
        Fail("pty setup");
    }
    slavePath_ = name;
    slaveKeep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep_ < 0) {
        int e = errno;
        close(master_);
        errno = e;
        Fail("open slave");
    }
    // Both ends raw: what the test writes is what the port reads, and nothing is echoed back
    // while the port is closed.
    MakeRaw(master_);
    MakeRaw(slaveKeep_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

TestPty::~TestPty() {
    if (slaveKeep_ >= 0) close(slaveKeep_);
    CloseMaster();
}

void TestPty::LinkAs(const std::string& folder, int port) const {
    std::string link = folder + (folder.empty() || folder.back() == '/' ? "" : "/") + "COM" + std::to_string(port);
    unlink(link.c_str());
    if (symlink(slavePath_.c_str(), link.c_str()) != 0) Fail("symlink");
}

void TestPty::Write(const std::string& bytes) const {
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) Fail("write");
        if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("TestPty: write stalled");
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

std::string TestPty::Read(size_t count, int timeoutMs) const {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    return out;
}

int TestPty::Speed() const {
    termios2 t{};
    if (slaveKeep_ < 0 || ioctl(slaveKeep_, TCGETS2, &t) != 0) return 0;
    return static_cast<int>(t.c_ospeed);
}

void TestPty::CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}
