#include "pty.h"

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace velkaro::testing_support {

Pty::Pty() {
  char name[128];
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  path_ = name;
}

Pty::~Pty() {
  ::close(slave_);
  ::close(master_);
}

termios Pty::Settings() const {
  termios t{};
  if (::tcgetattr(slave_, &t) != 0) throw std::runtime_error("tcgetattr on the pty failed");
  return t;
}

int Pty::PendingOnMaster() const {
  int pending = 0;
  ::ioctl(master_, FIONREAD, &pending);
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0 && pending == 0) pending = 1;
  return pending;
}

termios UnusualSettings(termios t) {
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CLOCAL);
  t.c_cflag |= CS7 | PARENB | PARODD | CSTOPB;
  t.c_iflag |= IXON | ICRNL;
  t.c_lflag |= ICANON | ECHO;
  t.c_cc[VMIN] = 3;
  t.c_cc[VTIME] = 7;
  ::cfsetispeed(&t, B38400);
  ::cfsetospeed(&t, B38400);
  return t;
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/fd");
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

}  // namespace velkaro::testing_support
