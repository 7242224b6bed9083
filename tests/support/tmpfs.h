// A small tmpfs mounted over a folder for the life of the object: a real filesystem that
// fills up. Needs root (CI runs as root); Ok() is false where mounting is refused, and the
// test skips.
#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qv::test {

class Tmpfs {
 public:
  Tmpfs(const std::filesystem::path& dir, std::size_t kib) : dir_(dir) {
    std::filesystem::create_directories(dir_);
    const std::string options = "size=" + std::to_string(kib) + "k,mode=0700";
    ok_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~Tmpfs() {
    if (ok_) umount2(dir_.c_str(), MNT_DETACH);
  }
  Tmpfs(const Tmpfs&) = delete;
  Tmpfs& operator=(const Tmpfs&) = delete;

  bool Ok() const { return ok_; }
  // Fills what is left with a file of that name.
  void Fill(const std::string& name) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    const std::string block(4096, 'f');
    while (out.write(block.data(), std::streamsize(block.size())) && out.flush()) {
    }
  }
  void Free(const std::string& name) const { std::filesystem::remove(dir_ / name); }

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
};

}  // namespace qv::test
