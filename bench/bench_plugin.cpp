// Cost of the plug-in's hot paths on the real device classes, with a host
// that does nothing.  Each benchmark also reports heap allocations per
// operation, counted by the replaced global operator new below.
//
//   bench_plugin                       time and allocations per operation
//   bench_plugin --instr OP N          run OP N times without the benchmark
//                                      library (for instruction counts under
//                                      callgrind, see scripts/bench-instructions.sh)
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <streambuf>
#include <string>
#include <vector>

#include "BenchDevice.h"

namespace {
std::atomic<unsigned long> g_allocations{0};
}

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs the operation once untimed (the first call may set things up), then
// measures; allocations are reported per iteration.
template <typename Op>
void Measure(benchmark::State& state, Op op) {
    op();
    const unsigned long before = g_allocations.load();
    for (auto _ : state) op();
    state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(g_allocations.load() - before),
                                                     benchmark::Counter::kAvgIterations);
}

void BM_CycleWhole(benchmark::State& state) {
    BenchDevice b;
    Measure(state, [&] { b.Cycle(0); });
}
BENCHMARK(BM_CycleWhole);

void BM_CycleChunks8(benchmark::State& state) {
    BenchDevice b;
    Measure(state, [&] { b.Cycle(8); });
}
BENCHMARK(BM_CycleChunks8);

// Get_Value after a completed round, for one kind of name.
template <typename Ask>
void BM_GetValue(benchmark::State& state, Ask ask) {
    BenchDevice b;
    b.Cycle(0);
    Measure(state, [&] { benchmark::DoNotOptimize(ask(b)); });
}
BENCHMARK_CAPTURE(BM_GetValue, Cell, [](const BenchDevice& b) { return b.GetCell(); });
BENCHMARK_CAPTURE(BM_GetValue, Temperature, [](const BenchDevice& b) { return b.GetTemperature(); });
BENCHMARK_CAPTURE(BM_GetValue, Unsupported, [](const BenchDevice& b) { return b.GetUnsupported(); });

void BM_InitSetting(benchmark::State& state) {
    BenchDevice b;
    Measure(state, [&] { b.Configure(); });
}
BENCHMARK(BM_InitSetting);

void BM_LoadFromCache(benchmark::State& state) {
    BenchDevice b;
    Measure(state, [&] { benchmark::DoNotOptimize(b.Restore()); });
}
BENCHMARK(BM_LoadFromCache);

}  // namespace

int main(int argc, char** argv) {
    // The plug-in's console lines are part of the work but not of interest
    // here: they go to a stream that discards them.
    NullBuffer null;
    std::streambuf* old = std::cout.rdbuf(&null);
    int rc = 0;
    if (argc == 4 && std::strcmp(argv[1], "--instr") == 0) {
        rc = RunForInstructions(argv[2], std::atol(argv[3]));
    } else {
        benchmark::Initialize(&argc, argv);
        // The report goes to the real standard output.
        std::ostream report(old);
        benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
        reporter.SetOutputStream(&report);
        reporter.SetErrorStream(&std::cerr);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
    }
    std::cout.rdbuf(old);
    return rc;
}
