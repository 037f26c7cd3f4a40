// A large array's allocation, first touch of every page and release: malloc's 4 KiB pages against the
// programs' operator new (app/large_blocks.cpp, linked into this benchmark), which maps blocks from 1 MiB
// on 2 MiB pages. The first touch is what a stage of a run pays for each fresh array; on a virtual
// machine it is the page faults that cost, not the bytes. At 8 MiB malloc keeps the pages of the block
// just freed and hands them out again untouched by the kernel, which a run's arrays, taken once each,
// do not gain from; at 64 MiB it maps every block afresh, as it does a run's first arrays.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

template <bool kMalloc>
void BM_fresh_block(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
  for (auto _ : state) {
    char* p = static_cast<char*>(kMalloc ? std::malloc(bytes) : ::operator new(bytes));
    std::memset(p, 1, bytes);
    benchmark::DoNotOptimize(p);
    benchmark::ClobberMemory();
    if (kMalloc) {
      std::free(p);
    } else {
      ::operator delete(p);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

BENCHMARK_TEMPLATE(BM_fresh_block, true)->Arg(8)->Arg(64)->Name("malloc_4KiB_pages");
BENCHMARK_TEMPLATE(BM_fresh_block, false)->Arg(8)->Arg(64)->Name("large_blocks_2MiB_pages");

}  // namespace
