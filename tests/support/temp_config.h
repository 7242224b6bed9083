// A scoped temporary configuration folder: XDG_CONFIG_HOME points into a fresh folder (so the
// registry store and the port map start empty) while the object lives; then the previous value
// comes back and the folder goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace qv::test {

class TempConfig {
 public:
  // tag names the folder (/tmp/qv-<tag>-XXXXXX) so a leftover tells which test made it.
  explicit TempConfig(const std::string& tag = "config") {
    std::string tmpl = "/tmp/qv-" + tag + "-XXXXXX";
    if (mkdtemp(tmpl.data())) dir_ = tmpl;
    if (const char* old = getenv("XDG_CONFIG_HOME")) {
      hadOld_ = true;
      old_ = old;
    }
    setenv("XDG_CONFIG_HOME", Home().c_str(), 1);
  }
  ~TempConfig() {
    if (hadOld_)
      setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  TempConfig(const TempConfig&) = delete;
  TempConfig& operator=(const TempConfig&) = delete;

  // False when the folder could not be made (the test should stop).
  bool Ok() const { return !dir_.empty(); }
  // The temporary folder, for whatever else the test keeps there.
  const std::filesystem::path& Dir() const { return dir_; }
  // XDG_CONFIG_HOME, and the folder of the registry store files in it.
  std::filesystem::path Home() const { return dir_ / "config"; }
  std::filesystem::path Store() const { return Home() / "qvcomm"; }

 private:
  std::filesystem::path dir_;
  bool hadOld_ = false;
  std::string old_;
};

}  // namespace qv::test
