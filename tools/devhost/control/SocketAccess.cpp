// SPDX-License-Identifier: Apache-2.0
#include "control/SocketAccess.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "control/SocketIo.h"

void BindControlSocket(int fd, const std::string& path, std::optional<unsigned> group) {
  const sockaddr_un address = UnixAddress(path);
  // bind creates the file under the umask: created with its final mode, never narrowed later.
  const mode_t previous = umask(group ? 0117 : 0177);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  umask(previous);
  if (bound != 0) {
    throw ControlError("cannot listen on control socket " + path + ": " + std::strerror(error));
  }
  // Nobody can connect before listen: the process's own group, which the file has until here,
  // never had a listening socket. lchown: a link put at the path is not followed.
  if (group && lchown(path.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(*group)) != 0) {
    const std::string reason = std::strerror(errno);
    unlink(path.c_str());
    throw ControlError("cannot give control socket " + path + " to group " +
                       std::to_string(*group) + ": " + reason +
                       " (the host's user must be a member of controlSocketGroup)");
  }
}

std::optional<std::string> DistrustReason(const ListenerFacts& facts, const std::string& path) {
  const auto mineOrRoot = [&facts](uid_t uid) { return uid == facts.me || uid == 0; };
  if (mineOrRoot(facts.peer) && mineOrRoot(facts.socket.st_uid)) return std::nullopt;
  const bool groupSocket = facts.group && facts.socket.st_uid == facts.peer &&
                           facts.socket.st_gid == *facts.group &&
                           (facts.socket.st_mode & 0007) == 0 &&
                           (facts.folder.st_uid == facts.peer || facts.folder.st_uid == 0) &&
                           (facts.folder.st_mode & 0022) == 0;
  if (groupSocket) return std::nullopt;
  const std::string where = facts.group ? "put controlSocket in a folder only the host's user "
                                          "can write, and the socket in controlSocketGroup"
                                        : "put controlSocket in a folder only you can write";
  if (!mineOrRoot(facts.peer)) {
    return "the process listening at " + path + " runs as user " + std::to_string(facts.peer) +
           ", neither you nor root: not a host of yours, nothing sent (" + where + ")";
  }
  return "control socket " + path + " belongs to user " + std::to_string(facts.socket.st_uid) +
         ", neither you nor root: nothing sent (" + where + ")";
}
