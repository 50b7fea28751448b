// Lock-free counters, gauges and duration histograms, and their Prometheus text exposition.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmoth::server {

// A count that only goes up. Safe from any thread, without a lock.
class Counter {
 public:
  void add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// A level that goes up and down. Safe from any thread, without a lock.
class Gauge {
 public:
  void add(std::int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  std::int64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> value_{0};
};

// Durations counted in fixed buckets from 5 ms to 10 s. Safe from any thread, without a lock.
class Histogram {
 public:
  static constexpr std::array<double, 11> kBounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                     0.5,   1,    2.5,   5,    10};

  void observe(std::chrono::nanoseconds duration);

  struct Snapshot {
    std::array<std::uint64_t, kBounds.size()> at_most{};  // cumulative, one per bound
    std::uint64_t count = 0;                              // every observation (le="+Inf")
    double sum_seconds = 0;
  };
  Snapshot snapshot() const;

 private:
  // Observations per bucket, not cumulative; the last holds those above the largest bound.
  std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> buckets_{};
  std::atomic<std::uint64_t> sum_nanoseconds_{0};
};

// Label names and values of one sample. Values come from fixed sets, never from a request.
using MetricLabels = std::vector<std::pair<std::string_view, std::string_view>>;

// Builds a scrape in the Prometheus text exposition format, version 0.0.4.
class MetricsText {
 public:
  // Starts a family: its HELP and TYPE lines. type is "counter", "gauge" or "histogram".
  void family(std::string_view name, std::string_view type, std::string_view help);
  void sample(std::string_view name, const MetricLabels &labels, std::uint64_t value);
  void sample(std::string_view name, const MetricLabels &labels, std::int64_t value);
  // The _bucket, _sum and _count samples of one histogram.
  void histogram(std::string_view name, const MetricLabels &labels, const Histogram &histogram);

  const std::string &text() const { return text_; }

 private:
  void sample_line(std::string_view name, const MetricLabels &labels, const std::string &value);

  std::string text_;
};

// What the store counts: outages of its database server (each logged once as it starts) and
// the recoveries that end them. The store layer counts here; the metrics listener reads.
struct StoreCounters {
  Counter outages;
  Counter reconnects;
};
StoreCounters &store_counters();

}  // namespace velmoth::server
