// SPDX-License-Identifier: Apache-2.0
#include "cli/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "store/Store.h"

namespace {

[[noreturn]] void Fail(const std::string& path) {
  throw StoreError("cannot write " + path + ": " + std::strerror(errno));
}

bool WriteAllOf(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t put = write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

void WriteInPlace(const std::string& path, const std::string& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) Fail(path);
  const bool written = WriteAllOf(fd, data);
  const int saved = errno;
  if (close(fd) != 0 || !written) {
    if (!written) errno = saved;
    Fail(path);
  }
}

}  // namespace

void WriteWholeFile(const std::string& path, const std::string& data) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return WriteInPlace(path, data);
  std::vector<char> name(path.begin(), path.end());
  const std::string suffix = ".partial-XXXXXX";
  name.insert(name.end(), suffix.begin(), suffix.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) Fail(path);
  const std::string temporary(name.data());
  fchmod(fd, 0644);
  bool done = WriteAllOf(fd, data) && fsync(fd) == 0;
  int saved = done ? 0 : errno;
  done = close(fd) == 0 && done;
  if (done) done = rename(temporary.c_str(), path.c_str()) == 0;
  if (!done) {
    if (saved == 0) saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    Fail(path);
  }
}
