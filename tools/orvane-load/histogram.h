// Latency histogram in microseconds: exact to the microsecond below 100 ms,
// to the millisecond up to a minute, so that millions of samples cost no
// memory and percentiles need no sort.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

class LatencyHistogram {
public:
    LatencyHistogram() : fine_(kFineLimit, 0), coarse_(kCoarseBuckets, 0) {}

    void Add(std::int64_t micros) {
        if (micros < 0) micros = 0;
        if (micros < kFineLimit) {
            ++fine_[static_cast<size_t>(micros)];
        } else {
            std::int64_t ms = std::min<std::int64_t>(micros / 1000, kCoarseBuckets - 1);
            ++coarse_[static_cast<size_t>(ms)];
        }
        ++count_;
        max_ = std::max(max_, micros);
    }

    std::int64_t Count() const { return count_; }
    std::int64_t Max() const { return max_; }

    // The smallest value at or below which the fraction q of the samples lie.
    std::int64_t Percentile(double q) const {
        if (count_ == 0) return 0;
        auto rank = static_cast<std::int64_t>(q * static_cast<double>(count_));
        if (rank >= count_) rank = count_ - 1;
        std::int64_t seen = 0;
        for (size_t i = 0; i < fine_.size(); ++i) {
            seen += fine_[i];
            if (seen > rank) return static_cast<std::int64_t>(i);
        }
        for (size_t i = 0; i < coarse_.size(); ++i) {
            seen += coarse_[i];
            if (seen > rank) return static_cast<std::int64_t>(i) * 1000;
        }
        return max_;
    }

private:
    static constexpr std::int64_t kFineLimit = 100000;
    static constexpr std::int64_t kCoarseBuckets = 60000;
    std::vector<std::uint32_t> fine_;
    std::vector<std::uint32_t> coarse_;
    std::int64_t count_ = 0;
    std::int64_t max_ = 0;
};
