// Pattern scan speed over 256 MiB of real x86-64 machine code, each engine pattern planted only in
// the last MiB: the byte-by-byte scan (the reference), findPattern, and memchr for a byte the
// buffer does not hold (the memory-speed ceiling of one core). Prints the ratios at the end.

#include "engine/pattern.hpp"
#include "pe_file.hpp"
#include "scan/executable.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t bufferSize = 256u << 20;
constexpr std::size_t plantedRegion = 1u << 20;

// The largest shared libraries on the machine, concatenated; random bytes when there are none.
std::vector<unsigned char> machineCode(std::string& source) {
    std::vector<std::pair<std::uintmax_t, fs::path>> libraries;
    for (const char* folder : {"/usr/lib/x86_64-linux-gnu", "/usr/lib", "/usr/lib64"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_regular_file(error) && !entry.is_symlink(error) &&
                name.find(".so") != std::string::npos) {
                libraries.emplace_back(entry.file_size(error), entry.path());
            }
        }
    }
    std::sort(libraries.rbegin(), libraries.rend());
    std::vector<unsigned char> code;
    code.reserve(bufferSize);
    int used = 0;
    for (const auto& [size, path] : libraries) {
        if (code.size() >= bufferSize) {
            break;
        }
        std::ifstream in(path, std::ios::binary);
        std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        code.insert(code.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(
                                        std::min(bytes.size(), bufferSize - code.size())));
        ++used;
    }
    source = std::to_string(used) + " shared libraries";
    if (code.size() < bufferSize) {
        source += code.empty() ? "synthetic bytes" : " and synthetic bytes";
        std::mt19937_64 random(42);
        while (code.size() < bufferSize) {
            const std::uint64_t word = random();
            // Roughly the share of zero bytes in real code.
            code.push_back((word & 3) == 0 ? 0 : static_cast<unsigned char>(word >> 8));
        }
    }
    return code;
}

struct Workload {
    std::vector<unsigned char> code;
    std::vector<unsigned char> withoutRareByte;
    unsigned char absentByte = 0;
    std::string source;

    Workload() : code(machineCode(source)) {
        // No pattern may occur before the planted region: break any occurrence the code holds.
        for (const EnginePattern& pattern : enginePatterns) {
            const auto* match = findPattern(code.data(), static_cast<std::uint32_t>(code.size()),
                                            pattern.bytes, pattern.mask, 0);
            for (; match != nullptr;
                 match = findPattern(code.data(), static_cast<std::uint32_t>(code.size()),
                                     pattern.bytes, pattern.mask, 0)) {
                code[static_cast<std::size_t>(match - code.data())] ^= 0xFF;
            }
        }
        const std::size_t planted = code.size() - plantedRegion;
        for (std::size_t n = 0; n < enginePatterns.size(); ++n) {
            const EnginePattern& pattern = enginePatterns[n];
            std::memcpy(code.data() + planted + 4096 * (n + 1) + 333 * n, pattern.bytes,
                        std::strlen(pattern.mask));
        }
        std::size_t counts[256] = {};
        for (unsigned char byte : code) {
            ++counts[byte];
        }
        absentByte = static_cast<unsigned char>(std::min_element(counts, counts + 256) - counts);
        withoutRareByte = code;
        std::replace(withoutRareByte.begin(), withoutRareByte.end(), absentByte,
                     static_cast<unsigned char>(absentByte ^ 1));
    }
};

Workload& workload() {
    static Workload shared;
    return shared;
}

template <typename Scan> void scanPattern(benchmark::State& state, Scan scan) {
    const Workload& data = workload();
    const EnginePattern& pattern = enginePatterns[static_cast<std::size_t>(state.range(0))];
    const auto size = static_cast<std::uint32_t>(data.code.size());
    for (auto _ : state) {
        const unsigned char* match = scan(data.code.data(), size, pattern.bytes, pattern.mask);
        if (match == nullptr || match < data.code.data() + data.code.size() - plantedRegion) {
            state.SkipWithError("the planted pattern was not the one found");
            break;
        }
        benchmark::DoNotOptimize(match);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

void Reference(benchmark::State& state) {
    scanPattern(state,
                [](const unsigned char* start, std::uint32_t size, const char* bytes,
                   const char* mask) { return scanByteByByte(start, size, bytes, mask, 0); });
}

void FindPattern(benchmark::State& state) {
    scanPattern(state, [](const unsigned char* start, std::uint32_t size, const char* bytes,
                          const char* mask) { return findPattern(start, size, bytes, mask, 0); });
}

void Memchr(benchmark::State& state) {
    const Workload& data = workload();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            std::memchr(data.withoutRareByte.data(), data.absentByte, data.withoutRareByte.size()));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(data.withoutRareByte.size()));
}

// orvelin-scan's whole work on a 200 MiB game executable: read the file, lay out the image (200 MiB
// of code, 80 MiB of zero-filled data) and look for the three patterns.
void ScanExecutable(benchmark::State& state) {
    namespace pe = testing_support::pe;
    const Workload& data = workload();
    const std::size_t codeSize = 200u << 20;
    // The last 200 MiB of the code, so that the patterns lie near its end.
    std::string code(reinterpret_cast<const char*>(data.code.data() + data.code.size() - codeSize),
                     codeSize);
    const std::string path = (fs::temp_directory_path() / "orvelin-bench-game.exe").string();
    {
        const std::string file =
            pe::makePe({{{".text", 0x1000, static_cast<std::uint32_t>(codeSize), std::move(code)},
                         {".bss", 0x1000 + static_cast<std::uint32_t>(codeSize), 80u << 20, ""}},
                        0x1000 + static_cast<std::uint32_t>(codeSize) + (80u << 20)});
        std::ofstream(path, std::ios::binary)
            .write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    for (auto _ : state) {
        std::string error;
        const std::optional<scan::ExecutableImage> image = scan::layOutFile(path, error);
        const std::vector<scan::PatternFinding> findings = scan::findEngineGlobals(*image);
        if (!findings[1].matched || !findings[2].matched) {
            state.SkipWithError("the planted patterns were not found");
            break;
        }
        benchmark::DoNotOptimize(findings.data());
    }
    fs::remove(path);
}

BENCHMARK(ScanExecutable)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK(Reference)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(FindPattern)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Memchr)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Keeps each benchmark's speed for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto counter = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && counter != run.counters.end()) {
                // Named without the run's settings ("FindPattern/0/min_time:2.000").
                const std::string name = run.benchmark_name();
                speed[name.substr(0, name.find("/min_time"))] = counter->second.value;
            }
        }
    }
    std::map<std::string, double> speed;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::printf("Buffer: %zu MiB from %s; memchr looks for byte 0x%02X\n", bufferSize >> 20,
                workload().source.c_str(), workload().absentByte);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ceiling = reporter.speed["Memchr"];
    std::printf(
        "\npattern  findPattern/reference (target >= 20)  findPattern/memchr (target >= 0.8)\n");
    for (int n = 0; n < 3; ++n) {
        const double fast = reporter.speed["FindPattern/" + std::to_string(n)];
        const double slow = reporter.speed["Reference/" + std::to_string(n)];
        std::printf("%7d  %37.1f  %34.2f\n", n + 1, slow > 0 ? fast / slow : 0.0,
                    ceiling > 0 ? fast / ceiling : 0.0);
    }
    benchmark::Shutdown();
    return 0;
}
