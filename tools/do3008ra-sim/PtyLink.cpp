// SPDX-License-Identifier: Apache-2.0
#include "PtyLink.h"

#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace {

struct SpeedName {
  speed_t speed;
  int baud;
};

constexpr SpeedName kSpeeds[] = {{B1200, 1200},   {B2400, 2400},    {B4800, 4800},
                                 {B9600, 9600},   {B19200, 19200},  {B38400, 38400},
                                 {B57600, 57600}, {B115200, 115200}};

}  // namespace

PtyLink::PtyLink(const std::string& linkPath) {
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open a pseudo-terminal");
  }
  slavePath_ = name;
  // Raw from the start: no echo of requests and no line editing, even before a host connects.
  termios settings{};
  tcgetattr(slave_, &settings);
  cfmakeraw(&settings);
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  tcsetattr(slave_, TCSANOW, &settings);
  if (!linkPath.empty()) {
    unlink(linkPath.c_str());
    if (symlink(slavePath_.c_str(), linkPath.c_str()) != 0) {
      const int error = errno;
      close(master_);
      close(slave_);
      throw std::system_error(error, std::generic_category(), "cannot make the link " + linkPath);
    }
    linkPath_ = linkPath;
  }
}

PtyLink::~PtyLink() {
  if (!linkPath_.empty()) unlink(linkPath_.c_str());
  close(slave_);
  close(master_);
}

void PtyLink::GiveToGroup(const std::string& group) {
  gid_t gid = 0;
  if (!group.empty() && group.find_first_not_of("0123456789") == std::string::npos) {
    gid = static_cast<gid_t>(std::strtoul(group.c_str(), nullptr, 10));
  } else if (const struct group* entry = getgrnam(group.c_str())) {
    gid = entry->gr_gid;
  } else {
    throw std::system_error(EINVAL, std::generic_category(),
                            "--pty-group: there is no group named \"" + group + "\"");
  }
  if (fchown(slave_, static_cast<uid_t>(-1), gid) != 0 || fchmod(slave_, 0660) != 0) {
    throw std::system_error(errno, std::generic_category(),
                            "cannot give " + slavePath_ + " to group " + group);
  }
}

int PtyLink::LineBaud() const {
  termios settings{};
  if (tcgetattr(slave_, &settings) != 0) return 0;
  const speed_t speed = cfgetispeed(&settings);
  for (const SpeedName& entry : kSpeeds) {
    if (entry.speed == speed) return entry.baud;
  }
  return 0;
}

int PtyLink::LineBits() const {
  termios settings{};
  if (tcgetattr(slave_, &settings) != 0) return 10;
  const tcflag_t size = settings.c_cflag & CSIZE;
  const int data = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  return 1 + data + ((settings.c_cflag & PARENB) ? 1 : 0) + ((settings.c_cflag & CSTOPB) ? 2 : 1);
}
