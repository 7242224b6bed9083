// Barcodes per second through the scanner's assembly (HandleRxData), without a port and
// without a log: 13 digits and a carriage return per barcode, under the default options.
#include "barcode/qvbarcode.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

struct TSink : TObject {
  std::size_t chars = 0;
  void On(TObject*, std::string Code) { chars += Code.size(); }
};

// One barcode per received block, as a scanner sends them one at a time.
void BM_OneBarcodePerBlock(benchmark::State& state) {
  TqvBarCodeScan scan;
  TSink sink;
  scan.OnBarCode = TOnBarCodeEvent(&sink, &TSink::On);
  const std::string code = "4006381333931\r";
  const BYTE* data = reinterpret_cast<const BYTE*>(code.data());
  for (auto _ : state) scan.HandleRxData(&scan, data, int(code.size()));
  benchmark::DoNotOptimize(sink.chars);
  state.counters["barcodes/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OneBarcodePerBlock);

// A full receive buffer's worth of barcodes per block (a burst read at once).
void BM_ManyBarcodesPerBlock(benchmark::State& state) {
  TqvBarCodeScan scan;
  TSink sink;
  scan.OnBarCode = TOnBarCodeEvent(&sink, &TSink::On);
  std::string block;
  while (block.size() + 14 <= 4096) block += "4006381333931\r";
  const std::size_t perBlock = block.size() / 14;
  const BYTE* data = reinterpret_cast<const BYTE*>(block.data());
  for (auto _ : state) scan.HandleRxData(&scan, data, int(block.size()));
  benchmark::DoNotOptimize(sink.chars);
  state.counters["barcodes/s"] =
      benchmark::Counter(double(state.iterations() * perBlock), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ManyBarcodesPerBlock);

}  // namespace

BENCHMARK_MAIN();
