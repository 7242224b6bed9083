// Who owns a device file and whether this user can join its group, for messages that tell a
// user how to get access to a port. Any thread.
#pragma once

#include <string>

namespace qv::platform {

struct FileOwner {
  std::string user;   // the owner's name, or the number when it has none
  std::string group;  // the group's name, or the number
  unsigned mode = 0;  // the permission bits (0660)
  bool inGroupNow = false;     // this process has the group
  bool inGroupListed = false;  // the user is listed in it (takes effect at the next log-in)
};

// False when the file cannot be looked at.
bool GetFileOwner(const std::string& path, FileOwner& out);
// The name of the user running this process ($USER when the system has no name for it).
std::string CurrentUserName();

}  // namespace qv::platform
