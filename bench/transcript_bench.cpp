// transcript_bench.cpp - the tapwatcher-sim command on a scenario of a
// million rows (press/release pairs), its transcript into a pipe (read by a
// reader that drops it, as `| cat > /dev/null`) against into a regular file.
// Wall-clock time of the whole process, and its CPU time. TAPWATCHER_SIM names another build of
// the command to measure (the figures before a change).
#include "bench/common.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace bench;

#ifndef TAPWATCHER_SIM_PATH
#define TAPWATCHER_SIM_PATH "tapwatcher-sim"
#endif

// range(0): pairs; range(1): 1 into a pipe, 0 into a regular file.
void BM_TranscriptPipeVsFile(benchmark::State& state) {
    const char* env = std::getenv("TAPWATCHER_SIM");
    const std::string sim = env && *env ? env : TAPWATCHER_SIM_PATH;
    const bool pipe_out = state.range(1) != 0;
    TempDir tmp;
    const std::string scenario = tmp.path + "/pairs.scn";
    std::ofstream(scenario) << PairScenario((uint64_t)state.range(0));
    uint64_t bytes = 0;
    double cpu = 0;
    for (auto _ : state) {
        std::string root = tmp.path + "/device";
        Clock::time_point start = Clock::now();
        int status;
        if (pipe_out) {
            int p[2];
            if (pipe(p) != 0) {
                state.SkipWithError("no pipe");
                return;
            }
            pid_t reader = fork();
            if (reader == 0) { // drops what it reads
                ::close(p[1]);
                char buf[65536];
                while (::read(p[0], buf, sizeof buf) > 0) {
                }
                _exit(0);
            }
            ::close(p[0]);
            status = RunProgram({sim, "--root", root, scenario}, p[1], cpu);
            ::close(p[1]);
            waitpid(reader, nullptr, 0);
        } else {
            std::string out = tmp.path + "/transcript.txt";
            int fd = ::open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
            status = RunProgram({sim, "--root", root, scenario}, fd, cpu);
            ::close(fd);
            std::ifstream f(out, std::ios::binary | std::ios::ate);
            bytes = (uint64_t)f.tellg();
        }
        state.SetIterationTime(Seconds(start, Clock::now()));
        if (status != 0) {
            state.SkipWithError(("tapwatcher-sim exited " + std::to_string(status)).c_str());
            return;
        }
    }
    state.counters["rows"] = (double)(2 * state.range(0));
    // The command's own CPU time: steadier than the wall clock on a busy machine.
    state.counters["sim_cpu_s"] = cpu;
    if (!pipe_out)
        state.counters["transcript_MB"] = (double)bytes / 1e6;
}
BENCHMARK(BM_TranscriptPipeVsFile)
    ->ArgNames({"pairs", "pipe"})
    ->Args({500000, 0})
    ->Args({500000, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
