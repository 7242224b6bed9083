// Log lines per second in safe mode (open, size query, append, close per line): at the default
// size limit, where every line also cuts the file (read, write a new file, sync, rename),
// without a limit, and far below a limit (1 GiB: the size is queried but never reached).
#include "log/qvlogfile.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

void SafeModeLines(benchmark::State& state) {
  const DWORD limit = DWORD(state.range(0));
  const std::string path = "/tmp/qv-log-bench-" + std::to_string(getpid()) + ".log";
  std::filesystem::remove(path);
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
    for (auto _ : state) log.AddLine("qvComm: DoBarcode: 4006381333931");
    state.SetItemsProcessed(state.iterations());
  }
  std::filesystem::remove(path);
}

}  // namespace

BENCHMARK(SafeModeLines)->ArgName("limit")->Arg(DefaultLogSizeLimit)->Arg(0)->Arg(1 << 30)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
