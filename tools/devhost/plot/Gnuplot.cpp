// SPDX-License-Identifier: Apache-2.0
#include "plot/Gnuplot.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw PlotError(std::string("pipe: ") + std::strerror(errno));
    read = fds[0];
    write = fds[1];
  }
};

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

pid_t Spawn(Pipe& in, Pipe& out, Pipe& err) {
  const pid_t pid = fork();
  if (pid < 0) throw PlotError(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    dup2(in.read, STDIN_FILENO);
    dup2(out.write, STDOUT_FILENO);
    dup2(err.write, STDERR_FILENO);
    execlp("gnuplot", "gnuplot", static_cast<char*>(nullptr));
    const char message[] = "cannot run gnuplot (install gnuplot-nox)\n";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    _exit(127);
  }
  CloseFd(in.read);
  CloseFd(out.write);
  CloseFd(err.write);
  return pid;
}

// Feeds stdin and drains stdout and stderr together, so that neither side waits on a full pipe.
bool RunGnuplot(int& in, int& out, int& errFd, const std::string& script, std::string& picture,
                std::string& errors, std::chrono::steady_clock::time_point deadline) {
  std::size_t sent = 0;
  fcntl(in, F_SETFL, O_NONBLOCK);
  while (out >= 0 || errFd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[3] = {{out, POLLIN, 0}, {errFd, POLLIN, 0}, {in, POLLOUT, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out : errFd;
      if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? picture : errors).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        CloseFd(fd);
      }
    }
    if (in >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t put = write(in, script.data() + sent, script.size() - sent);
      if (put > 0) sent += static_cast<std::size_t>(put);
      if ((put < 0 && errno != EAGAIN && errno != EINTR) || sent == script.size()) CloseFd(in);
    }
  }
  return true;
}

}  // namespace

std::string RunGnuplot(const std::string& script, std::chrono::milliseconds limit) {
  Pipe in, out, err;
  // A gnuplot that ends before reading everything must not kill us with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  const pid_t pid = Spawn(in, out, err);
  std::string picture, errors;
  const bool finished = RunGnuplot(in.write, out.read, err.read, script, picture, errors,
                                   std::chrono::steady_clock::now() + limit);
  if (!finished) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  CloseFd(in.write);
  CloseFd(out.read);
  CloseFd(err.read);
  if (!finished) {
    throw PlotError("gnuplot took longer than " + std::to_string(limit.count() / 1000) +
                    " s and was stopped");
  }
  while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' ')) errors.pop_back();
  // Warnings (an empty y range of a constant curve, adjusted) leave a picture and status 0.
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || picture.empty()) {
    throw PlotError("gnuplot failed" + (errors.empty() ? std::string() : ": " + errors));
  }
  return picture;
}
