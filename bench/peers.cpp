#include "peers.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if defined(ORVELIN_BENCH_LIBHAT)
#include <libhat/scanner.hpp>
#endif
#if defined(ORVELIN_BENCH_HYPERSCAN)
#include <hs/hs.h>
#endif

namespace peers {

namespace {

template <typename Work> double seconds(Work&& work) {
    const auto begin = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

[[maybe_unused]] void check(bool found, const char* peer) {
    if (!found) {
        std::fprintf(stderr, "orvelin-bench: %s did not find a planted pattern\n", peer);
        std::exit(1);
    }
}

} // namespace

#if defined(ORVELIN_BENCH_LIBHAT)
Times timeLibhat(std::span<const BytePattern> patterns, const unsigned char* code, std::size_t size,
                 int repeats, const unsigned char* plantedFrom) {
    std::vector<hat::signature> signatures;
    for (const BytePattern& pattern : patterns) {
        hat::signature signature;
        for (std::size_t j = 0; pattern.mask[j] != '\0'; ++j) {
            signature.push_back(
                pattern.mask[j] == 'x'
                    ? hat::signature_element(static_cast<std::byte>(pattern.bytes[j]))
                    : hat::signature_element());
        }
        signatures.push_back(std::move(signature));
    }
    const auto* begin = reinterpret_cast<const std::byte*>(code);
    auto scan = [&](std::size_t k) {
        const std::byte* match = hat::find_pattern(begin, begin + size, signatures[k],
                                                   hat::scan_alignment::X1, hat::scan_hint::x86_64)
                                     .get();
        check(match != nullptr && reinterpret_cast<const unsigned char*>(match) >= plantedFrom,
              "libhat");
    };
    Times times{true, {}, 0};
    for (std::size_t k = 0; k < patterns.size() && k < 3; ++k) {
        times.alone[k] = seconds([&] {
            for (int n = 0; n < repeats; ++n) {
                scan(k);
            }
        });
    }
    times.together = seconds([&] {
        for (int n = 0; n < repeats; ++n) {
            for (std::size_t k = 0; k < patterns.size(); ++k) {
                scan(k);
            }
        }
    });
    return times;
}
#else
Times timeLibhat(std::span<const BytePattern>, const unsigned char*, std::size_t, int,
                 const unsigned char*) {
    return {};
}
#endif

#if defined(ORVELIN_BENCH_HYPERSCAN)
Times timeHyperscan(std::span<const BytePattern> patterns, const unsigned char* code,
                    std::size_t size, int repeats, const unsigned char* plantedFrom) {
    // Each pattern as an expression of escaped bytes and '.' for any byte, matched once.
    std::vector<std::string> expressions;
    for (const BytePattern& pattern : patterns) {
        std::string expression;
        for (std::size_t j = 0; pattern.mask[j] != '\0'; ++j) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X",
                          static_cast<unsigned char>(pattern.bytes[j]));
            expression += pattern.mask[j] == 'x' ? escaped : ".";
        }
        expressions.push_back(expression);
    }
    std::vector<const char*> texts;
    std::vector<unsigned> flags;
    std::vector<unsigned> ids;
    for (std::size_t k = 0; k < expressions.size(); ++k) {
        texts.push_back(expressions[k].c_str());
        flags.push_back(HS_FLAG_DOTALL | HS_FLAG_SINGLEMATCH);
        ids.push_back(static_cast<unsigned>(k));
    }
    hs_database_t* database = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_multi(texts.data(), flags.data(), ids.data(),
                         static_cast<unsigned>(texts.size()), HS_MODE_BLOCK, nullptr, &database,
                         &error) != HS_SUCCESS) {
        std::fprintf(stderr, "orvelin-bench: Hyperscan: %s\n", error->message);
        hs_free_compile_error(error);
        return {};
    }
    hs_scratch_t* scratch = nullptr;
    hs_alloc_scratch(database, &scratch);
    struct Found {
        const unsigned char* code;
        const unsigned char* plantedFrom;
        std::size_t missing;
        bool early;
    };
    auto onMatch = [](unsigned int, unsigned long long, unsigned long long to, unsigned int,
                      void* context) -> int {
        auto& found = *static_cast<Found*>(context);
        found.early = found.early || found.code + to < found.plantedFrom;
        return --found.missing == 0 ? 1 : 0; // every pattern found: stop
    };
    Times times{true, {}, 0};
    times.together = seconds([&] {
        for (int n = 0; n < repeats; ++n) {
            Found found{code, plantedFrom, patterns.size(), false};
            hs_scan(database, reinterpret_cast<const char*>(code), static_cast<unsigned>(size), 0,
                    scratch, onMatch, &found);
            check(found.missing == 0 && !found.early, "Hyperscan");
        }
    });
    hs_free_scratch(scratch);
    hs_free_database(database);
    return times;
}
#else
Times timeHyperscan(std::span<const BytePattern>, const unsigned char*, std::size_t, int,
                    const unsigned char*) {
    return {};
}
#endif

} // namespace peers
