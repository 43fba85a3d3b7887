// orvelin-scan's whole work on a 200 MiB executable, and its near matches there; then pattern scan
// speed on real x86-64 machine code of two kinds: Linux ELF libraries (GCC, LLVM) and
// Wine's Windows DLLs (mingw-w64), 256 MiB each. The engine patterns are planted only in the last
// MiB, and near misses of them (one fixed byte changed) every MiB before. Each kernel the processor
// runs is timed on each pattern alone and on all three at once, from memory (the whole corpus),
// from the last-level cache (8 MiB scanned over and over) and from the second-level cache (1 MiB),
// each window ending just past the planted patterns, against memchr for a byte the bytes do not
// hold over the same bytes (one pass, the ceiling of one core), and against the peers where they
// are built in; in turns in one process, medians of 9. Last, input where every candidate is a near
// miss, against the byte-by-byte definition.

#include "engine/pattern.hpp"
#include "pattern/kernels.hpp"
#include "pe_file.hpp"
#include "peers.hpp"
#include "scan/engine/engine_findings.hpp"
#include "scan/signature/near.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <cpuid.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t corpusSize = 256u << 20;
constexpr std::size_t plantedRegion = 1u << 20;
constexpr int rounds = 9;

std::size_t patternLength(const BytePattern& pattern) {
    return std::strlen(pattern.mask);
}

// The largest files of the folder whose names hold the suffix, concatenated up to corpusSize;
// random bytes where there are too few.
std::vector<unsigned char> machineCode(const char* folder, const char* suffix,
                                       std::string& source) {
    std::vector<std::pair<std::uintmax_t, fs::path>> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file(error) && !entry.is_symlink(error) &&
            entry.path().filename().string().find(suffix) != std::string::npos) {
            files.emplace_back(entry.file_size(error), entry.path());
        }
    }
    std::sort(files.rbegin(), files.rend());
    std::vector<unsigned char> code;
    code.reserve(corpusSize);
    int used = 0;
    for (const auto& [size, path] : files) {
        if (code.size() >= corpusSize) {
            break;
        }
        std::ifstream in(path, std::ios::binary);
        std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        code.insert(code.end(), bytes.begin(),
                    bytes.begin() + static_cast<std::ptrdiff_t>(
                                        std::min(bytes.size(), corpusSize - code.size())));
        ++used;
    }
    source = std::to_string(used) + " files from " + folder;
    if (code.size() < corpusSize) {
        source += ", filled up with random bytes";
        std::mt19937_64 random(42);
        while (code.size() < corpusSize) {
            const std::uint64_t word = random();
            // Roughly the share of zero bytes in real code.
            code.push_back((word & 3) == 0 ? 0 : static_cast<unsigned char>(word >> 8));
        }
    }
    return code;
}

// The pattern with its n-th fixed byte changed: it passes a filter that does not look there.
std::string nearMiss(const BytePattern& pattern, std::size_t n) {
    std::string copy(pattern.bytes, patternLength(pattern));
    std::vector<std::size_t> fixed;
    for (std::size_t j = 0; j < copy.size(); ++j) {
        if (pattern.mask[j] == 'x') {
            fixed.push_back(j);
        }
    }
    copy[fixed[n % fixed.size()]] ^= 0x55;
    return copy;
}

struct Corpus {
    std::string name;
    std::string source;
    std::vector<unsigned char> code;
    std::vector<unsigned char> withoutAbsentByte;
    unsigned char absentByte = 0;

    Corpus(std::string title, const char* folder, const char* suffix)
        : name(std::move(title)), code(machineCode(folder, suffix, source)) {
        const auto size = static_cast<std::uint32_t>(code.size());
        // No pattern may occur before the planted region: break any occurrence the code holds.
        for (const EnginePattern& pattern : enginePatterns) {
            while (const unsigned char* match =
                       findPattern(code.data(), size, pattern.bytes, pattern.mask, 0)) {
                code[static_cast<std::size_t>(match - code.data())] ^= 0xFF;
            }
        }
        std::size_t decoy = 0;
        for (std::size_t at = 4096; at + 64 < code.size() - plantedRegion; at += 1u << 20) {
            for (const EnginePattern& pattern : enginePatterns) {
                const std::string miss = nearMiss(pattern, decoy++);
                std::memcpy(code.data() + at + 64 * (decoy % 3), miss.data(), miss.size());
            }
        }
        const std::size_t planted = code.size() - plantedRegion;
        for (std::size_t n = 0; n < enginePatterns.size(); ++n) {
            std::memcpy(code.data() + planted + 4096 * (n + 1) + 333 * n, enginePatterns[n].bytes,
                        patternLength(enginePatterns[n]));
        }
        std::size_t counts[256] = {};
        for (unsigned char byte : code) {
            ++counts[byte];
        }
        absentByte = static_cast<unsigned char>(std::min_element(counts, counts + 256) - counts);
        withoutAbsentByte = code;
        std::replace(withoutAbsentByte.begin(), withoutAbsentByte.end(), absentByte,
                     static_cast<unsigned char>(absentByte ^ 1));
    }

    const unsigned char* plantedFrom() const { return code.data() + code.size() - plantedRegion; }
};

template <typename Work> double seconds(Work&& work) {
    const auto begin = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void fail(const char* what) {
    std::fprintf(stderr, "orvelin-bench: %s\n", what);
    std::exit(1);
}

// Times of each pattern alone and of all three at once on one kernel, over [code, code + size),
// each timing `repeats` scans; medians of `rounds`.
struct KernelTimes {
    double alone[3];
    double together;
};

KernelTimes timeKernel(pattern_scan::VectorPath path, const unsigned char* code, std::uint32_t size,
                       int repeats, const unsigned char* plantedFrom) {
    const std::array<BytePattern, 3>& all = engineBytePatterns;
    std::vector<double> alone[3];
    std::vector<double> together;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < 3; ++k) {
            const unsigned char* match = nullptr;
            alone[k].push_back(seconds([&] {
                for (int n = 0; n < repeats; ++n) {
                    pattern_scan::findPatternsOn(path, code, size, std::span(&all[k], 1),
                                                 std::span(&match, 1));
                }
            }));
            if (match < plantedFrom) {
                fail("a kernel did not find the planted pattern");
            }
        }
        std::array<const unsigned char*, 3> firsts{};
        together.push_back(seconds([&] {
            for (int n = 0; n < repeats; ++n) {
                pattern_scan::findPatternsOn(path, code, size, all, firsts);
            }
        }));
        for (const unsigned char* first : firsts) {
            if (first < plantedFrom) {
                fail("a kernel did not find the planted patterns");
            }
        }
    }
    return {{median(alone[0]), median(alone[1]), median(alone[2])}, median(together)};
}

double memchrTime(const unsigned char* from, std::size_t size, unsigned char absent, int repeats) {
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        times.push_back(seconds([&] {
            for (int n = 0; n < repeats; ++n) {
                benchmark::DoNotOptimize(std::memchr(from, absent, size));
            }
        }));
    }
    return median(times);
}

// A peer's times on the same bytes, medians of `rounds`.
template <typename Time>
peers::Times peerTimes(Time time, const unsigned char* from, std::size_t bytes, int repeats,
                       const unsigned char* plantedFrom) {
    std::vector<peers::Times> all;
    for (int round = 0; round < rounds; ++round) {
        all.push_back(time(std::span(engineBytePatterns), from, bytes, repeats, plantedFrom));
    }
    peers::Times middle = all.front();
    auto medianOf = [&](auto field) {
        std::vector<double> each;
        for (const peers::Times& times : all) {
            each.push_back(field(times));
        }
        return median(each);
    };
    for (std::size_t k = 0; k < 3; ++k) {
        middle.alone[k] = medianOf([&](const peers::Times& times) { return times.alone[k]; });
    }
    middle.together = medianOf([](const peers::Times& times) { return times.together; });
    return middle;
}

// The bytes a timing scans: every window ends just past the planted patterns, so that each scan
// reads all of it, as memchr does.
struct Window {
    const char* name;
    std::size_t size; // 0: the whole corpus
    int repeats;
};
constexpr Window windows[] = {
    {"from memory (the whole corpus, once)", 0, 1},
    {"from the last-level cache (8 MiB, 16 times)", 8u << 20, 16},
    {"from the second-level cache (1 MiB, 128 times; only the code's own cost counts)", 1u << 20,
     128},
};

// Every kernel the processor runs on the same bytes: each pattern alone against memchr, all three
// in one call in memchr passes, and against libhat's calls where it is built in; the times of
// the kernels the scan chose (each alone on the one for a pattern, together on the one for
// several).
KernelTimes printKernels(const unsigned char* from, std::uint32_t size, int repeats,
                         const unsigned char* plantedFrom, double memchrTaken,
                         const peers::Times& libhat, double scanned) {
    using pattern_scan::VectorPath;
    std::printf(
        "    kernel   | each alone / memchr | all three in one call: memchr passes%s\n",
        libhat.available ? " | against libhat: each alone, all three against its three calls" : "");
    const pattern_scan::KernelChoice& choice = pattern_scan::kernelChoice();
    KernelTimes chosen{};
    for (const VectorPath path : pattern_scan::allPaths) {
        if (!pattern_scan::runs(path)) {
            std::printf("    %-8s | not on this processor\n", pattern_scan::nameOf(path));
            continue;
        }
        const KernelTimes times = timeKernel(path, from, size, repeats, plantedFrom);
        if (path == choice.one) {
            std::copy(std::begin(times.alone), std::end(times.alone), std::begin(chosen.alone));
        }
        if (path == choice.several) {
            chosen.together = times.together;
        }
        std::printf("    %-8s | %.2f %.2f %.2f (%.1f GB/s) | %.2f (%.1f GB/s)",
                    pattern_scan::nameOf(path), memchrTaken / times.alone[0],
                    memchrTaken / times.alone[1], memchrTaken / times.alone[2],
                    scanned / times.alone[0] / 1e9, times.together / memchrTaken,
                    scanned / times.together / 1e9);
        if (libhat.available) {
            std::printf(" | %.2fx %.2fx %.2fx, %.2fx", libhat.alone[0] / times.alone[0],
                        libhat.alone[1] / times.alone[1], libhat.alone[2] / times.alone[2],
                        libhat.together / times.together);
        }
        std::printf("%s%s\n", path == choice.one ? "  <- the scan's for one pattern" : "",
                    path == choice.several ? "  <- the scan's for several" : "");
    }
    return chosen;
}

// From memory again with a near miss every 4 KiB before the planted patterns (each in turn of the
// three, each time another fixed byte changed): on the scan's kernel, against memchr and libhat.
void measureNearMisses(const Corpus& corpus) {
    constexpr std::size_t every = 4096;
    std::vector<unsigned char> code = corpus.code;
    const std::size_t planted = code.size() - plantedRegion;
    std::size_t placed = 0;
    for (std::size_t at = 0; at + every <= planted; at += every, ++placed) {
        const std::string miss = nearMiss(enginePatterns[placed % 3], placed / 3);
        std::memcpy(code.data() + at + 1000, miss.data(), miss.size());
    }
    const unsigned char* plantedFrom = code.data() + planted;
    const auto bytes = static_cast<std::size_t>(plantedFrom + 16 * 1024 - code.data());
    const double memchrTaken =
        memchrTime(corpus.withoutAbsentByte.data(), bytes, corpus.absentByte, 1);
    std::printf("  from memory with a near miss every 4 KiB (%zu of them); memchr %.1f GB/s\n",
                placed, static_cast<double>(bytes) / memchrTaken / 1e9);
    const peers::Times libhat = peerTimes(peers::timeLibhat, code.data(), bytes, 1, plantedFrom);
    printKernels(code.data(), static_cast<std::uint32_t>(bytes), 1, plantedFrom, memchrTaken,
                 libhat, static_cast<double>(bytes));
    if (libhat.available) {
        std::printf("    libhat, x86-64 hint: each alone / memchr %.2f %.2f %.2f\n",
                    memchrTaken / libhat.alone[0], memchrTaken / libhat.alone[1],
                    memchrTaken / libhat.alone[2]);
    }
}

// Each window on every kernel the processor runs, against memchr and libhat over the same bytes;
// then Hyperscan against the scan's own kernel.
void measure(const Corpus& corpus) {
    const unsigned char* plantedEnd = corpus.plantedFrom() + 16 * 1024;
    std::printf("\n%s: %s, %zu MiB\n", corpus.name.c_str(), corpus.source.c_str(),
                corpus.code.size() >> 20);
    for (const Window& window : windows) {
        const std::size_t bytes = window.size == 0
                                      ? static_cast<std::size_t>(plantedEnd - corpus.code.data())
                                      : window.size;
        const unsigned char* from = plantedEnd - bytes;
        const auto size = static_cast<std::uint32_t>(bytes);
        const double scanned = static_cast<double>(bytes) * window.repeats;
        const double memchrTaken =
            memchrTime(corpus.withoutAbsentByte.data() + (from - corpus.code.data()), bytes,
                       corpus.absentByte, window.repeats);
        std::printf("  %s; memchr for byte 0x%02X %.1f GB/s\n", window.name, corpus.absentByte,
                    scanned / memchrTaken / 1e9);
        const peers::Times libhat =
            peerTimes(peers::timeLibhat, from, bytes, window.repeats, corpus.plantedFrom());
        const KernelTimes chosen = printKernels(from, size, window.repeats, corpus.plantedFrom(),
                                                memchrTaken, libhat, scanned);
        if (libhat.available) {
            std::printf("    libhat, x86-64 hint: each alone / memchr %.2f %.2f %.2f, three calls "
                        "%.2f memchr passes\n",
                        memchrTaken / libhat.alone[0], memchrTaken / libhat.alone[1],
                        memchrTaken / libhat.alone[2], libhat.together / memchrTaken);
        } else {
            std::printf(
                "    libhat: not built in (make bench LIBHAT_SOURCE=a copy of its sources)\n");
        }
        const peers::Times hyperscan =
            peerTimes(peers::timeHyperscan, from, bytes, window.repeats, corpus.plantedFrom());
        if (hyperscan.available) {
            std::printf("    Hyperscan, one database: %.2f memchr passes; the scan's kernel, all "
                        "three in one call, against it %.2fx\n",
                        hyperscan.together / memchrTaken, hyperscan.together / chosen.together);
        } else {
            std::printf("    Hyperscan: not built in (Debian's libhyperscan-dev)\n");
        }
    }
    measureNearMisses(corpus);
    const unsigned char* code = corpus.code.data();

    // The definition is slow: three rounds over the first 32 MiB.
    const std::uint32_t referenceSize = 32u << 20;
    std::printf("  findPattern / byte by byte (first 32 MiB):");
    for (const EnginePattern& pattern : enginePatterns) {
        std::vector<double> slow;
        std::vector<double> fast;
        for (int round = 0; round < 3; ++round) {
            slow.push_back(seconds([&] {
                benchmark::DoNotOptimize(
                    scanByteByByte(code, referenceSize, pattern.bytes, pattern.mask, 0));
            }));
            fast.push_back(seconds([&] {
                benchmark::DoNotOptimize(
                    findPattern(code, referenceSize, pattern.bytes, pattern.mask, 0));
            }));
        }
        std::printf(" %.0f", median(slow) / median(fast));
    }
    std::printf("\n");
}

// The size of a cache level (1 data, 2, 3) in KiB as the system reports it: sysfs, else the
// processor's cache topology leaf (AMD's 0x8000001D, Intel's 4); 0 where neither says.
long cacheKib(int level) {
    for (int index = 0; index < 8; ++index) {
        const std::string folder =
            "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
        std::ifstream levelFile(folder + "level");
        std::ifstream typeFile(folder + "type");
        std::ifstream sizeFile(folder + "size");
        int found = 0;
        std::string type;
        long size = 0;
        if (!(levelFile >> found) || !(typeFile >> type) || !(sizeFile >> size)) {
            break;
        }
        if (found == level && type != "Instruction") {
            return size; // written as "48K"
        }
    }
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    __get_cpuid(0, &eax, &ebx, &ecx, &edx);
    const bool amd = ebx == 0x68747541; // "Auth"
    const unsigned leaf = amd ? 0x8000001D : 4;
    for (unsigned sub = 0; sub < 8 && __get_cpuid_count(leaf, sub, &eax, &ebx, &ecx, &edx); ++sub) {
        const unsigned type = eax & 0x1F; // 0 none, 1 data, 2 instruction, 3 unified
        if (type == 0) {
            break;
        }
        if (((eax >> 5) & 7) == static_cast<unsigned>(level) && type != 2) {
            const unsigned long bytes = (((ebx >> 22) & 0x3FF) + 1ul) *
                                        (((ebx >> 12) & 0x3FF) + 1ul) * ((ebx & 0xFFF) + 1ul) *
                                        (ecx + 1ul);
            return static_cast<long>(bytes >> 10);
        }
    }
    return 0;
}

// The processor, its caches and the scan's kernels: the figures depend on all three.
void describeProcessor() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    std::string model = "unknown";
    std::string family = "?";
    std::string number = "?";
    while (std::getline(cpuinfo, line)) {
        const std::size_t colon = line.find(':');
        const std::string value =
            colon != std::string::npos && colon + 2 <= line.size() ? line.substr(colon + 2) : "";
        if (line.rfind("model name", 0) == 0) {
            model = value;
        } else if (line.rfind("cpu family", 0) == 0) {
            family = value;
        } else if (line.rfind("model\t", 0) == 0) {
            number = value;
        } else if (line.empty()) {
            break;
        }
    }
    std::printf("Processor: %s (family %s, model %s); caches: L1 data %ld KiB, L2 %ld KiB, L3 "
                "%ld KiB, as the system reports them\n",
                model.c_str(), family.c_str(), number.c_str(), cacheKib(1), cacheKib(2),
                cacheKib(3));
    const pattern_scan::KernelChoice& choice = pattern_scan::kernelChoice();
    if (choice.forced) {
        std::printf("The scan's kernel: %s, forced by %s\n", pattern_scan::nameOf(choice.one),
                    pattern_scan::kernelVariable);
        return;
    }
    std::printf("The scan's kernels, measured: %s for one pattern, %s for several; each kernel's "
                "best time on the 32 KiB it times, one pattern / three:",
                pattern_scan::nameOf(choice.one), pattern_scan::nameOf(choice.several));
    for (const pattern_scan::VectorPath path : pattern_scan::allPaths) {
        const auto at = static_cast<std::size_t>(path);
        if (pattern_scan::runs(path)) {
            std::printf(" %s %.2f / %.2f us", pattern_scan::nameOf(path), choice.alone[at] * 1e6,
                        choice.together[at] * 1e6);
        }
    }
    std::printf("\n");
}

// Every candidate a near miss: copies of the pattern back to back, each with one fixed byte
// changed, cycling through them. findPattern against the byte-by-byte definition.
void measureAdversarial() {
    std::printf("\nNear misses everywhere (16 MiB; findPattern time / byte-by-byte time, <= 1):\n");
    for (std::size_t k = 0; k < enginePatterns.size(); ++k) {
        const BytePattern& pattern = enginePatterns[k];
        std::vector<unsigned char> buffer;
        for (std::size_t n = 0; buffer.size() < (16u << 20); ++n) {
            const std::string miss = nearMiss(pattern, n);
            buffer.insert(buffer.end(), miss.begin(), miss.end());
        }
        const auto size = static_cast<std::uint32_t>(buffer.size());
        std::vector<double> fast;
        std::vector<double> slow;
        for (int round = 0; round < 5; ++round) {
            fast.push_back(seconds([&] {
                benchmark::DoNotOptimize(
                    findPattern(buffer.data(), size, pattern.bytes, pattern.mask, 0));
            }));
            slow.push_back(seconds([&] {
                benchmark::DoNotOptimize(
                    scanByteByByte(buffer.data(), size, pattern.bytes, pattern.mask, 0));
            }));
        }
        std::printf("  pattern %zu: %.2f (%.1f ms against %.1f ms)\n", k + 1,
                    median(fast) / median(slow), median(fast) * 1e3, median(slow) * 1e3);
    }
}

// A 200 MiB game executable on disk: 200 MiB of code (the last 200 MiB of the ELF corpus, so that
// the patterns lie near its end) and 80 MiB of zero-filled data.
class GameFile {
public:
    GameFile() : path_((fs::temp_directory_path() / "orvelin-bench-game.exe").string()) {
        namespace pe = testing_support::pe;
        const Corpus corpus("ELF", "/usr/lib/x86_64-linux-gnu", ".so");
        const std::size_t codeSize = 200u << 20;
        std::string code(
            reinterpret_cast<const char*>(corpus.code.data() + corpus.code.size() - codeSize),
            codeSize);
        const std::string file =
            pe::makePe({{{".text", 0x1000, static_cast<std::uint32_t>(codeSize), std::move(code)},
                         {".bss", 0x1000 + static_cast<std::uint32_t>(codeSize), 80u << 20, ""}},
                        0x1000 + static_cast<std::uint32_t>(codeSize) + (80u << 20)});
        std::ofstream(path_, std::ios::binary)
            .write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    ~GameFile() { fs::remove(path_); }
    GameFile(const GameFile&) = delete;
    GameFile& operator=(const GameFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const GameFile& gameFile() {
    static const GameFile file;
    return file;
}

// orvelin-scan's whole work on it: read the file, lay out the image and count every match of the
// three patterns.
void ScanExecutable(benchmark::State& state) {
    const std::string& path = gameFile().path(); // made before the timing starts
    for (auto _ : state) {
        const scan::Outcome<scan::ExecutableImage> image = scan::layOutFile(path);
        const std::vector<scan::PatternFinding> findings = scan::findEngineGlobals(*image);
        if (!findings[1].matched || !findings[2].matched) {
            state.SkipWithError("the planted patterns were not found");
            break;
        }
        benchmark::DoNotOptimize(findings.data());
    }
}

// orvelin-scan --near 2 on it, beyond the layout: the near matches of all three patterns.
void NearMatches(benchmark::State& state) {
    const scan::Outcome<scan::ExecutableImage> image = scan::layOutFile(gameFile().path());
    for (auto _ : state) {
        for (const EnginePattern& pattern : enginePatterns) {
            benchmark::DoNotOptimize(scan::findNearMatches(
                image->bytes.data(), static_cast<std::uint32_t>(image->bytes.size()), pattern, 2));
        }
    }
}

BENCHMARK(ScanExecutable)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(NearMatches)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // --scans-only skips the executable benchmark; --corpus=TEXT times only the corpora whose
    // names hold TEXT (ELF, Wine, MSVC).
    bool scansOnly = false;
    std::string only;
    for (int n = 1; n < argc; ++n) {
        const std::string option = argv[n];
        scansOnly = scansOnly || option == "--scans-only";
        if (option.rfind("--corpus=", 0) == 0) {
            only = option.substr(9);
        }
    }
    describeProcessor();
    // The executable first, while memory is unfragmented: its image comes from large pages.
    if (!scansOnly) {
        benchmark::RunSpecifiedBenchmarks();
    }
    // MSVC-built code, fetched by make bench (scripts/fetch-msvc-corpus); ORVELIN_MSVC_CORPUS
    // names another folder.
    const char* msvc = std::getenv("ORVELIN_MSVC_CORPUS");
    const std::string msvcFolder = msvc != nullptr ? msvc : "build/msvc-corpus";
    for (const auto& [name, folder, suffix] :
         {std::tuple{"Linux ELF libraries", std::string("/usr/lib/x86_64-linux-gnu"), ".so"},
          std::tuple{"Wine's Windows DLLs",
                     std::string("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"), ".dll"},
          std::tuple{"MSVC-built DLLs (onnxruntime.dll of onnxruntime-node releases)", msvcFolder,
                     ".dll"}}) {
        if (std::string(name).find(only) == std::string::npos) {
            continue;
        }
        std::error_code error;
        const bool present =
            fs::is_directory(folder, error) &&
            std::any_of(fs::directory_iterator(folder, error), fs::directory_iterator(),
                        [&](const fs::directory_entry& entry) {
                            return entry.path().filename().string().find(suffix) !=
                                   std::string::npos;
                        });
        if (!present) {
            std::printf("\n%s: no %s files in %s (make bench fetches them)\n", name, suffix,
                        folder.c_str());
            continue;
        }
        measure(Corpus(name, folder.c_str(), suffix));
    }
    measureAdversarial();
    benchmark::Shutdown();
    return 0;
}
