// Log lines per second in safe mode (open, lock, size query, append, close per line): at the
// default size limit, where every line also cuts the file, without a limit, and far below a
// limit (1 GiB: the size is queried but never reached). At the limit the cut is measured both
// ways: by a new file renamed over the log (the log is the writer's own, alone in a folder it
// can write) and in place (the log has a second hard link, which a rename would split).
#include "log/qvlogfile.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

enum TCut { cutRename, cutInPlace };

void SafeModeLines(benchmark::State& state) {
  const DWORD limit = DWORD(state.range(0));
  const std::string path = "/tmp/qv-log-bench-" + std::to_string(getpid()) + ".log";
  const std::string link = path + ".link";
  std::filesystem::remove(path);
  std::filesystem::remove(link);
  {
    TqvLogFile log(nullptr);
    log.SetOptions(loSafeMode | loDate | loTime);
    log.SetFileName(path);
    log.SetSizeLimit(limit);
    // At the limit from the first measured line on.
    if (limit == DefaultLogSizeLimit) {
      do log.AddLine(std::string(200, 'x'));
      while (std::filesystem::file_size(path) < limit);
    }
    if (state.range(1) == cutInPlace) std::filesystem::create_hard_link(path, link);
    for (auto _ : state) log.AddLine("qvComm: DoBarcode: 4006381333931");
    state.SetItemsProcessed(state.iterations());
  }
  std::filesystem::remove(path);
  std::filesystem::remove(link);
}

}  // namespace

BENCHMARK(SafeModeLines)
    ->ArgNames({"limit", "inplace"})
    ->Args({DefaultLogSizeLimit, cutRename})
    ->Args({DefaultLogSizeLimit, cutInPlace})
    ->Args({0, cutRename})
    ->Args({1 << 30, cutRename})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
