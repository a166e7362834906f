#pragma once
// A distribution of durations in fixed buckets, the shape a monitoring system
// scrapes as a histogram: each bucket counts the observations at or below its
// upper bound, plus the sum and the count of all of them. The bounds are fixed
// when the histogram is made, so observe() never allocates and costs a short
// linear search (a dozen bounds at most).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kelvaro {

class Histogram {
public:
    // REQUIRES: bounds ascending, in the unit the observations come in.
    explicit Histogram(std::initializer_list<double> upperBounds)
        : bounds(upperBounds), counts(upperBounds.size() + 1, 0) {}

    void observe(double value) {
        size_t bucket = 0;
        while (bucket < bounds.size() && value > bounds[bucket]) ++bucket;
        ++counts[bucket];  // the last slot is the +Inf bucket
        ++total;
        sum += value;
    }

    size_t bucketCount() const { return bounds.size(); }
    double upperBound(size_t bucket) const { return bounds[bucket]; }
    // Observations at or below upperBound(bucket); bucket == bucketCount()
    // is the +Inf bucket, that is count().
    uint64_t cumulative(size_t bucket) const {
        uint64_t below = 0;
        for (size_t i = 0; i <= bucket && i < counts.size(); ++i) below += counts[i];
        return below;
    }
    uint64_t count() const { return total; }
    double valueSum() const { return sum; }

private:
    std::vector<double> bounds;
    std::vector<uint64_t> counts;  // per bucket, not cumulative
    uint64_t total = 0;
    double sum = 0;
};

// Bounds for request and delivery times, in seconds: 1 ms to 10 s.
inline Histogram durationHistogram() {
    return Histogram{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
}

}  // namespace kelvaro
