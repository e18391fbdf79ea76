// The whole tool on heavy machines (scripts/make-heavy-machine.py) at three scales, through winsim:
//
//   load/S    the scenario folder read into the machine (registry.reg, drive_c/, machine.ini)
//   tool/S    the tool's run (wmain) on the loaded machine
//   export/S  the machine written back as a scenario folder
//   floor/S   the least work any removal must do: each component key of the installer opened once
//             and one value queried (RegEnumKeyExW, RegOpenKeyExW, RegQueryValueExW, RegCloseKey)
//   vpsim/S   `vpsim run` as a separate process: its whole time and its peak resident memory
//
// Counters: registry_MB is the size of the scale's registry.reg, peak_MB the peak resident memory of
// the vpsim process, peak_per_reg their ratio; keys the component keys the floor pass opened.
//
//   heavy_machine_bench [--machines=DIR] [benchmark options]
//
// The machines are generated into DIR (default: heavy-machines beside this program) when missing.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "floor_pass.h"
#include "machine/machine.h"

int wmain(int argc, WCHAR* argv[]);  // the tool's entry

namespace fs = std::filesystem;

namespace {

const char* const kScales[] = {"0.01", "0.1", "1"};
const char16_t kBundleUpgradeCode[] = u"{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}";

fs::path machines_dir;
fs::path scratch_dir;

fs::path Machine_Dir(const std::string& scale) { return machines_dir / scale; }

void Fail(const std::string& message) {
    std::fprintf(stderr, "heavy_machine_bench: %s\n", message.c_str());
    std::exit(1);
}

void Load(const std::string& scale) {
    winsim::Machine& machine = winsim::The_Machine();
    machine.Reset();
    std::string error;
    if (!winsim::Load_Scenario(machine, Machine_Dir(scale).string(), error)) Fail(error);
}

int Run_Tool() {
    std::vector<winsim::Text> texts{winsim::The_Machine().module_path, kBundleUpgradeCode};
    std::vector<WCHAR*> argv;
    for (winsim::Text& text : texts) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    return wmain(int(texts.size()), argv.data());
}

// Iterations per scale: enough for a stable figure at the small scales, one at the full size.
int Iterations(const std::string& scale) { return scale == "0.01" ? 10 : scale == "0.1" ? 3 : 1; }

double Registry_MB(const std::string& scale) {
    return double(fs::file_size(Machine_Dir(scale) / "registry.reg")) / (1 << 20);
}

void Bench_Load(benchmark::State& state, std::string scale) {
    for (auto _ : state) Load(scale);
    state.counters["registry_MB"] = Registry_MB(scale);
}

void Bench_Tool(benchmark::State& state, std::string scale) {
    for (auto _ : state) {
        state.PauseTiming();
        Load(scale);
        state.ResumeTiming();
        benchmark::DoNotOptimize(Run_Tool());
    }
}

// Set-up before the loop is not timed.
void Bench_Export(benchmark::State& state, std::string scale) {
    Load(scale);
    Run_Tool();
    for (auto _ : state) {
        state.PauseTiming();
        fs::path out = scratch_dir / ("export-" + scale);
        fs::remove_all(out);
        state.ResumeTiming();
        std::string error;
        if (!winsim::Save_Scenario(winsim::The_Machine(), out.string(), error)) Fail(error);
    }
}

void Bench_Floor(benchmark::State& state, std::string scale) {
    Load(scale);
    Floor_Count count;
    for (auto _ : state)
        if (!Floor_Pass(count)) Fail("no component keys");
    state.counters["keys"] = double(count.keys);
    state.counters["holding_product"] = double(count.holding);
}

// vpsim run in a child process, timed by hand; its peak memory from the kernel's accounting.
void Bench_Vpsim(benchmark::State& state, std::string scale) {
    long peak_kb = 0;
    for (auto _ : state) {
        fs::path out = scratch_dir / ("vpsim-" + scale);
        fs::remove_all(out);
        pid_t child = fork();
        if (child < 0) Fail("fork failed");
        if (child == 0) {
            if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
            std::string dir = Machine_Dir(scale).string(), out_text = out.string();
            std::string bundle = winsim::To_Utf8(kBundleUpgradeCode);
            execl(VPSIM_PATH, VPSIM_PATH, "run", dir.c_str(), "--out", out_text.c_str(), "--", bundle.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        struct rusage usage {};
        if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
            Fail("vpsim run failed on " + Machine_Dir(scale).string());
        peak_kb = std::max(peak_kb, long(usage.ru_maxrss));
    }
    double registry = Registry_MB(scale);
    state.counters["registry_MB"] = registry;
    state.counters["peak_MB"] = double(peak_kb) / 1024;
    state.counters["peak_per_reg"] = double(peak_kb) / 1024 / registry;
}

void Make_Machines() {
    for (const char* scale : kScales) {
        if (fs::exists(Machine_Dir(scale) / "registry.reg")) continue;
        fs::remove_all(Machine_Dir(scale));
        std::string command = std::string("python3 '") + SOURCE_DIR + "/scripts/make-heavy-machine.py' " + scale +
                              " '" + Machine_Dir(scale).string() + "'";
        std::fprintf(stderr, "generating the machine at scale %s\n", scale);
        if (std::system(command.c_str()) != 0) Fail("cannot generate: " + command);
    }
}

}  // namespace

int main(int argc, char** argv) {
    machines_dir = fs::absolute(fs::path(argv[0])).parent_path() / "heavy-machines";
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--machines=", 11) == 0) machines_dir = fs::absolute(argv[i] + 11);
        else rest.push_back(argv[i]);
    }
    Make_Machines();
    scratch_dir = fs::temp_directory_path() / ("heavy_machine_bench." + std::to_string(getpid()));
    fs::create_directories(scratch_dir);

    for (const char* scale : kScales) {
        std::string s = scale;
        int n = Iterations(s);
        benchmark::RegisterBenchmark(("load/" + s).c_str(), Bench_Load, s)->Iterations(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("tool/" + s).c_str(), Bench_Tool, s)->Iterations(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("export/" + s).c_str(), Bench_Export, s)->Iterations(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("floor/" + s).c_str(), Bench_Floor, s)->Iterations(n)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("vpsim/" + s).c_str(), Bench_Vpsim, s)
            ->Iterations(n)->Unit(benchmark::kMillisecond)->UseRealTime();
    }
    int count = int(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    winsim::The_Machine().Reset();
    fs::remove_all(scratch_dir);
    return 0;
}
