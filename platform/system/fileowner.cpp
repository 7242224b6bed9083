#include "platform/system/fileowner.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace qv::platform {

namespace {

std::string UserName(uid_t uid) {
  const passwd* pw = getpwuid(uid);
  return pw ? pw->pw_name : std::to_string(uid);
}

bool HasGroupNow(gid_t gid) {
  if (getegid() == gid) return true;
  const int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(std::size_t(n), 0);
  const int got = getgroups(n, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

bool ListedInGroup(gid_t gid) {
  const passwd* pw = getpwuid(getuid());
  if (!pw) return false;
  if (pw->pw_gid == gid) return true;
  const group* gr = getgrgid(gid);
  if (!gr) return false;
  for (char** m = gr->gr_mem; m && *m; ++m)
    if (std::string(*m) == pw->pw_name) return true;
  return false;
}

}  // namespace

bool GetFileOwner(const std::string& path, FileOwner& out) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  out.user = UserName(st.st_uid);
  const group* gr = getgrgid(st.st_gid);
  out.group = gr ? gr->gr_name : std::to_string(st.st_gid);
  out.mode = unsigned(st.st_mode & 07777);
  out.inGroupNow = HasGroupNow(st.st_gid);
  out.inGroupListed = out.inGroupNow || ListedInGroup(st.st_gid);
  return true;
}

std::string CurrentUserName() {
  if (const passwd* pw = getpwuid(getuid())) return pw->pw_name;
  const char* user = std::getenv("USER");
  return user && *user ? user : "$USER";
}

}  // namespace qv::platform
