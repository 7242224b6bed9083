#include "platform/mqtt/identity.h"

#include "platform/system/internal/fileio.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace qv::platform {

namespace {

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool NewId(std::string& id) {
  unsigned char bytes[8];
  if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) return false;
  static const char kHex[] = "0123456789abcdef";
  id.clear();
  for (unsigned char b : bytes) id += kHex[b >> 4], id += kHex[b & 15];
  return true;
}

}  // namespace

bool LoadStationIdentity(const std::string& folder, const std::string& name, StationIdentity& out,
                         std::string& error) {
  const char* hook = std::getenv("QVCOMM_MACHINE_ID_FILE");
  const std::string machineFile = hook && *hook ? hook : "/etc/machine-id";
  const std::string machine = FirstLine(machineFile);
  const std::string path = folder + "/" + name + ".id";
  // "ID MACHINE-ID": the identity and the machine's identity it was made under.
  const std::string kept = FirstLine(path);
  const std::size_t space = kept.find(' ');
  if (space == 16 && kept.substr(space + 1) == machine) {
    out.id = kept.substr(0, space);
    out.renewed.clear();
    return true;
  }
  if (!NewId(out.id)) {
    error = std::string("cannot make a station identity: ") + std::strerror(errno);
    return false;
  }
  out.renewed = kept.empty() ? ""
                             : "the machine's identity (" + machineFile + ") changed since " + path +
                                   " was made: this station is " + out.id + " now (was " + kept.substr(0, space) + ")";
  const std::string tmp = path + ".tmp";
  const int fd = MakeFolders(folder) ? open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600) : -1;
  const bool ok = fd >= 0 && WriteAll(fd, out.id + " " + machine + "\n") && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!ok || rename(tmp.c_str(), path.c_str()) < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace qv::platform
