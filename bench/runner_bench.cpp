// runner_bench.cpp - logged rows per second through tapwatcher-sim itself: a
// scenario of press/release pairs (each release passed through to the system)
// run by the runner's engine, its transcript written to a file as the runner
// writes it (through its buffer, as into anything but a terminal).
#include "bench/common.h"

#include "cli/runner/scenario_run.h"
#include "cli/runner/profile.h"
#include "cli/runner/scenario.h"
#include "cli/runner/transcript.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>

namespace {

using namespace bench;

// A stream that drops what it is given: flushing it costs nothing.
struct NullBuf : std::streambuf {
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// range(1): 1 writes the transcript to a file, 0 to a stream that drops it (to
// tell the cost of writing and flushing each line from the rest).
void BM_RunnerWholePath(benchmark::State& state) {
    const uint64_t pairs = (uint64_t)state.range(0);
    const bool to_file = state.range(1) != 0;
    const std::string text = PairScenario(pairs);
    double seconds = 0, cpu = 0, parse_seconds = 0;
    size_t rows = 0, lines = 0, scenario_lines = 0, growth = 0, scenario_growth = 0;
    for (auto _ : state) {
        TempDir tmp;
        runner::Job job;
        job.profile = runner::BuiltinDeviceProfile();
        job.profile.root = tmp.path + "/device";
        job.profile_name = "built-in";
        std::string error;
        TrimHeap();
        size_t resident_before_parse = ResidentBytes();
        Clock::time_point parse_start = Clock::now();
        if (!job.scenario.Parse(text, "pairs.scn", error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        parse_seconds += Seconds(parse_start, Clock::now());
        size_t resident_after_parse = ResidentBytes();
        scenario_growth = resident_after_parse > resident_before_parse
                              ? resident_after_parse - resident_before_parse
                              : 0;
        scenario_lines = job.scenario.size();

        std::ofstream file;
        NullBuf null_buf;
        std::ostream null_out(&null_buf);
        if (to_file)
            file.open(tmp.path + "/transcript.txt");
        // Buffered, as the command writes anything that is not a terminal.
        runner::Transcript transcript(to_file ? (std::ostream*)&file : &null_out);
        Clock::time_point end;
        double end_cpu = 0;
        size_t resident_end = 0;
        bool ended = false;
        lines = 0;
        transcript.on_line = [&](const std::string& line) {
            ++lines;
            if (!ended && line.find(" screen at end of input") != std::string::npos) {
                end = Clock::now();
                end_cpu = ThreadCpuSeconds();
                resident_end = ResidentBytes();
                ended = true;
            }
        };
        std::ostringstream errors;
        runner::RunResult result;
        TrimHeap();
        size_t resident_start = ResidentBytes();
        double start_cpu = ThreadCpuSeconds();
        Clock::time_point start = Clock::now();
        int status = runner::RunJob(job, transcript, errors, &result);
        if (status != 0 || !ended) {
            state.SkipWithError(("runner failed: " + errors.str()).c_str());
            return;
        }
        double s = Seconds(start, end);
        state.SetIterationTime(s);
        seconds += s;
        cpu += end_cpu - start_cpu;
        rows = result.end_rows.size();
        growth = resident_end > resident_start ? resident_end - resident_start : 0;
    }
    double it = (double)state.iterations();
    state.counters["rows"] = (double)rows;
    state.counters["transcript_lines"] = (double)lines;
    state.counters["rows_per_s"] = (double)rows * it / seconds;
    state.counters["ns_per_row"] = seconds * 1e9 / ((double)rows * it);
    state.counters["cpu_ns_per_row"] = cpu * 1e9 / ((double)rows * it);
    // Resident growth from the start of the run to the end of input, per row:
    // the log and everything the runner holds for the run (its script).
    state.counters["resident_bytes_per_row"] = (double)growth / (double)rows;
    // What the parsed scenario holds through the run, before the run starts.
    state.counters["scenario_bytes_per_row"] = (double)scenario_growth / (double)rows;
    state.counters["parse_ns_per_line"] = parse_seconds * 1e9 / ((double)scenario_lines * it);
}
BENCHMARK(BM_RunnerWholePath)
    ->Args({500000, 1})
    ->Args({500000, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
