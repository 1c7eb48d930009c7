// SPDX-License-Identifier: Apache-2.0
#pragma once
// Who may use the control socket. Owner only (0600) by default; with a socket group, its
// members too (0660), the group set before the socket listens so that it is never open wider.

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

// Binds `fd` at `path` with its final mode and group, before it listens: 0600, or 0660 in
// `group`. ControlError when it cannot (the host's user must belong to the group to give it).
void BindControlSocket(int fd, const std::string& path, std::optional<unsigned> group);

// What a client knows of the process that answers at the socket, to decide whether to believe
// it: anyone may listen at a path in a folder others may write to.
struct ListenerFacts {
  uid_t me = 0;
  uid_t peer = 0;                 // the listening process's user (SO_PEERCRED)
  struct stat socket {};          // lstat of the socket
  struct stat folder {};          // stat of its folder
  std::optional<unsigned> group;  // the configuration's controlSocketGroup
};
// Nothing when the host is believed: run by this user or root; or, with a socket group, by the
// user who owns the socket (in that group, closed to others) and its folder (which only that
// user or root may write to), so that no one else could have put it there. Otherwise why not.
std::optional<std::string> DistrustReason(const ListenerFacts& facts, const std::string& path);
