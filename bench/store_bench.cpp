// The registry store with many values in one key: loading the file (a change by another
// program makes the cached copy stale), saving one change, and the port list, which reads the
// user's store each time.
//
//   store_bench [--benchmark_filter=...]     sizes 10k, 40k and 100k values
#include "platform/system/portmap.h"
#include "platform/system/regstore.h"
#include "platform/system/winreg.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using namespace qv::platform;

namespace {

// A fresh store folder whose user file has one key of `count` values.
class BigStore {
 public:
  explicit BigStore(int count) {
    char tmpl[] = "/tmp/qv-store-bench-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    fs::create_directories(dir_ / "qvcomm");
    std::ofstream out(dir_ / "qvcomm" / "user.reg");
    out << "[Software\\qvcomm\\Big]\n";
    for (int i = 0; i < count; ++i)
      out << "\"Value" << i << "\"=sz:\"/dev/serial/by-id/usb-adapter-" << i << "-if00-port0\"\n";
  }
  ~BigStore() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    unsetenv("XDG_CONFIG_HOME");
  }
  // Gives the file a new time stamp, as a write by another program would.
  void Touch() {
    timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    ++tick_;
    times[1] = {1'000'000'000 + tick_, 0};
    utimensat(AT_FDCWD, (dir_ / "qvcomm" / "user.reg").c_str(), times, 0);
  }

 private:
  fs::path dir_;
  long tick_ = 0;
};

void BM_LoadKeyOfManyValues(benchmark::State& state) {
  BigStore store(int(state.range(0)));
  for (auto _ : state) {
    store.Touch();
    std::shared_ptr<const RegHive> hive;
    if (RegStoreRead(RegRoot::User, hive) != ERROR_SUCCESS) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(hive);
  }
}

void BM_SaveOneValueInKeyOfManyValues(benchmark::State& state) {
  BigStore store(int(state.range(0)));
  HKEY key = 0;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\qvcomm\\Big", 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS)
    state.SkipWithError("open failed");
  const bool stale = state.range(1) != 0;
  unsigned n = 0;
  for (auto _ : state) {
    if (stale) store.Touch();  // another program wrote since: the file is read again
    std::string text = std::to_string(++n);
    if (RegSetValueExA(key, "Value7", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       DWORD(text.size() + 1)) != ERROR_SUCCESS)
      state.SkipWithError("write failed");
  }
  RegCloseKey(key);
}

void BM_ListPortsWithKeyOfManyValues(benchmark::State& state) {
  BigStore store(int(state.range(0)));
  for (auto _ : state) {
    store.Touch();
    benchmark::DoNotOptimize(ListPorts());
  }
}

BENCHMARK(BM_LoadKeyOfManyValues)->Arg(10'000)->Arg(40'000)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveOneValueInKeyOfManyValues)
    ->ArgsProduct({{10'000, 40'000, 100'000}, {0, 1}})
    ->ArgNames({"values", "stale"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListPortsWithKeyOfManyValues)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
