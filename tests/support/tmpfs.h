// A small tmpfs mounted over a folder while the object lives: a real filesystem that fills up.
// Needs root (CI runs as root); where mounting is refused Ok() is false and the test skips.
#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qv::test {

struct Tmpfs {
  Tmpfs(const std::filesystem::path& where, std::size_t kib) : dir(where) {
    std::filesystem::create_directories(dir);
    ok = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(kib) + "k,mode=0700").c_str()) == 0;
  }
  ~Tmpfs() {
    if (ok) umount2(dir.c_str(), MNT_DETACH);
  }
  bool Ok() const { return ok; }
  // Takes what space is left with a file of that name; Free gives it back.
  void Fill(const std::string& name) const {
    std::ofstream out(dir / name, std::ios::binary);
    for (const std::string block(4096, 'f'); out.write(block.data(), 4096) && out.flush();) {
    }
  }
  void Free(const std::string& name) const { std::filesystem::remove(dir / name); }

  const std::filesystem::path dir;
  bool ok = false;
};

}  // namespace qv::test
