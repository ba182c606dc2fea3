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

// The scenario: press/release pairs of letters and digits, 1 ms apart, a
// pause of 3500 ms after every 256 pairs.
std::string PairScenario(uint64_t pairs) {
    std::string text = "wait 10\n";
    for (uint64_t pair = 0; pair < pairs; ++pair) {
        char key = (char)PairDriver::KeyOf(2 * pair);
        text += "press ";
        text += key;
        text += "\nwait 1\nrelease ";
        text += key;
        text += (pair + 1) % 256 == 0 ? "\nwait 3500\n" : "\nwait 1\n";
    }
    return text;
}

// Runs the command with its standard output on `out_fd`; its exit status,
// and in `cpu` the CPU seconds it used (user and system).
int RunSim(const std::string& sim, const std::string& scenario, const std::string& root, int out_fd,
           double& cpu) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        execl(sim.c_str(), sim.c_str(), "--root", root.c_str(), scenario.c_str(), (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    cpu = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 +
          (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
            status = RunSim(sim, scenario, root, p[1], cpu);
            ::close(p[1]);
            waitpid(reader, nullptr, 0);
        } else {
            std::string out = tmp.path + "/transcript.txt";
            int fd = ::open(out.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
            status = RunSim(sim, scenario, root, fd, cpu);
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
