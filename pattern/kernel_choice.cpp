// The scan's kernel, chosen by what is fastest here: a processor may have an instruction set and
// still run a narrower kernel faster (one that splits each 512-bit operation into two halves).
// Every kernel finds the same matches; only the time differs.

#include "code_byte_frequency.hpp"
#include "kernel.hpp"
#include "pattern/kernels.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace pattern_scan {

namespace {

constexpr std::size_t timingBytes = 32 * 1024;
constexpr int timingRounds = 5;

// Bytes as common as in machine code, from a fixed seed: the same buffer in every process.
std::vector<unsigned char> codeLikeBytes() {
    std::vector<unsigned char> cumulative;
    for (int value = 0; value < 256; ++value) {
        cumulative.insert(cumulative.end(), codeByteFrequency[value],
                          static_cast<unsigned char>(value));
    }
    std::vector<unsigned char> bytes(timingBytes);
    std::uint64_t state = 0x9E3779B97F4A7C15;
    for (unsigned char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = cumulative[state % cumulative.size()];
    }
    return bytes;
}

// Signatures of common instructions that the buffer holds nowhere in full: each timing is one
// whole pass, its candidates checked as a real scan checks them.
const BytePattern timingPatterns[] = {
    {"\x48\x8B\x0D\x00\x00\x00\x00\x48\x85\xC9\x74\x00\xE8\xAA\x55", "xxx????xxxx?xxx"},
    {"\x48\x89\x5C\x24\x00\x57\x48\x83\xEC\x20\x8B\xF9\x55\xAA", "xxxx?xxxxxxxxx"},
    {"\x40\x53\x48\x83\xEC\x20\x48\x8B\xD9\xE8\x00\x00\x00\x00\xAA\x55", "xxxxxxxxxx????xx"},
};

double secondsFor(VectorPath path, const std::vector<unsigned char>& bytes, std::size_t patterns,
                  const ByteWeights& weights) {
    const unsigned char* firsts[std::size(timingPatterns)] = {};
    const auto start = std::chrono::steady_clock::now();
    findPatternsOn(path, bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                   std::span(timingPatterns, patterns), std::span(firsts, patterns), &weights);
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    return taken.count();
}

} // namespace

std::optional<VectorPath> pathNamed(std::string_view name) {
    for (const VectorPath path : allPaths) {
        if (name == keyOf(path)) {
            return path;
        }
    }
    return std::nullopt;
}

const char* keyOf(VectorPath path) {
    return path == VectorPath::avx512 ? "avx512" : path == VectorPath::avx2 ? "avx2" : "sse2";
}

KernelChoice chooseKernel(const char* forced) {
    KernelChoice choice;
    if (forced != nullptr) {
        if (const std::optional<VectorPath> path = pathNamed(forced); path && runs(*path)) {
            choice.one = choice.several = *path;
            choice.forced = true;
            return choice;
        }
    }
    const std::vector<unsigned char> bytes = codeLikeBytes();
    const ByteWeights weights = weighRange(bytes.data(), bytes.size());
    // Each kernel's best of a few rounds, the kernels taking turns so that a slow moment of the
    // machine falls on all of them alike.
    constexpr double unmeasured = 1e9;
    for (double& each : choice.alone) {
        each = unmeasured;
    }
    for (double& each : choice.together) {
        each = unmeasured;
    }
    for (int round = 0; round < timingRounds; ++round) {
        for (const VectorPath path : allPaths) {
            if (runs(path)) {
                const auto at = static_cast<std::size_t>(path);
                choice.alone[at] = std::min(choice.alone[at], secondsFor(path, bytes, 1, weights));
                choice.together[at] =
                    std::min(choice.together[at],
                             secondsFor(path, bytes, std::size(timingPatterns), weights));
            }
        }
    }
    for (const VectorPath path : allPaths) {
        const auto at = static_cast<std::size_t>(path);
        if (!runs(path)) {
            choice.alone[at] = choice.together[at] = 0;
            continue;
        }
        if (choice.alone[at] < choice.alone[static_cast<std::size_t>(choice.one)]) {
            choice.one = path;
        }
        if (choice.together[at] < choice.together[static_cast<std::size_t>(choice.several)]) {
            choice.several = path;
        }
    }
    return choice;
}

const KernelChoice& kernelChoice() {
    static const KernelChoice choice = chooseKernel(std::getenv(kernelVariable));
    return choice;
}

} // namespace pattern_scan
