#include "scan/signature/near.hpp"

#include <algorithm>
#include <cstring>
#include <string>

namespace scan {

namespace {

// The best places so far: fewest differences first, then lowest offset; at most `most`, kept as
// a heap whose top is the worst of them, so that each place costs a logarithm of `most`, however
// many there are.
class Listing {
public:
    explicit Listing(std::size_t most) : most_(most) {}

    void consider(std::uint64_t offset, std::vector<std::size_t> differing) {
        ++total_;
        NearMatch match{offset, std::move(differing)};
        if (best_.size() < most_) {
            best_.push_back(std::move(match));
            std::push_heap(best_.begin(), best_.end(), before);
        } else if (most_ > 0 && before(match, best_.front())) {
            std::pop_heap(best_.begin(), best_.end(), before);
            best_.back() = std::move(match);
            std::push_heap(best_.begin(), best_.end(), before);
        }
    }

    NearMatches take() {
        std::sort_heap(best_.begin(), best_.end(), before);
        return {total_, std::move(best_)};
    }

private:
    static bool before(const NearMatch& a, const NearMatch& b) {
        return a.differingOffsets.size() != b.differingOffsets.size()
                   ? a.differingOffsets.size() < b.differingOffsets.size()
                   : a.offset < b.offset;
    }

    std::size_t most_;
    std::uint64_t total_ = 0;
    std::vector<NearMatch> best_;
};

} // namespace

NearMatches findNearMatches(const unsigned char* start, std::uint32_t size,
                            const BytePattern& pattern, std::size_t differences, std::size_t most,
                            const ByteWeights* weights) {
    const std::size_t length = std::strlen(pattern.mask);
    std::vector<std::size_t> fixed;
    for (std::size_t j = 0; j < length; ++j) {
        if (pattern.mask[j] == 'x') {
            fixed.push_back(j);
        }
    }
    Listing listing(most);
    if (size < length || differences == 0 || fixed.empty()) {
        return listing.take();
    }
    const std::size_t allowed = std::min(differences, fixed.size());
    auto consider = [&](const unsigned char* at) {
        std::vector<std::size_t> differing;
        for (const std::size_t j : fixed) {
            if (at[j] != static_cast<unsigned char>(pattern.bytes[j])) {
                differing.push_back(j);
                if (differing.size() > allowed) {
                    return;
                }
            }
        }
        if (!differing.empty()) {
            listing.consider(static_cast<std::uint64_t>(at - start), std::move(differing));
        }
    };
    if (fixed.size() <= allowed) {
        // Every place qualifies but an exact match.
        for (std::uint64_t i = 0; i + length <= size; ++i) {
            consider(start + i);
        }
        return listing.take();
    }
    // A place with at most `allowed` differences matches at least one of allowed + 1 groups of
    // the fixed bytes exactly: the fast scan finds the places that match a group, and only they
    // are compared in full. The groups take the fixed bytes in turn, so each spreads over the
    // pattern rather than keeping neighbours (often a common instruction) together.
    const std::size_t groups = allowed + 1;
    std::vector<std::string> masks(groups, std::string(length, '?'));
    for (std::size_t n = 0; n < fixed.size(); ++n) {
        masks[n % groups][fixed[n]] = 'x';
    }
    std::vector<BytePattern> parts;
    for (const std::string& mask : masks) {
        parts.push_back({pattern.bytes, mask.c_str()});
    }
    forEachMatch(
        start, size, parts,
        [&](std::size_t group, const unsigned char* at) {
            for (std::size_t earlier = 0; earlier < group; ++earlier) {
                if (matchPattern(at, pattern.bytes, masks[earlier].c_str())) {
                    return true; // that group has it too, and takes it
                }
            }
            consider(at);
            return true;
        },
        weights);
    return listing.take();
}

std::size_t marginOf(const unsigned char* start, std::uint32_t size, const BytePattern& pattern,
                     std::size_t atLeast, const ByteWeights* weights) {
    // Fewer differences first: a search with fewer groups is faster, and most margins are small.
    for (std::size_t differences = std::max<std::size_t>(atLeast, 1); differences <= widestMargin;
         ++differences) {
        if (findNearMatches(start, size, pattern, differences, 1, weights).total > 0) {
            return differences;
        }
    }
    return widestMargin + 1;
}

} // namespace scan
