// The metric primitives and the text exposition of their values.
#include "base/metrics.h"

#include <algorithm>
#include <cstdio>

namespace velmoth::server {
namespace {

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

}  // namespace

void Histogram::observe(std::chrono::nanoseconds duration) {
  const double seconds = std::chrono::duration<double>(duration).count();
  std::size_t bucket = 0;
  while (bucket < kBounds.size() && seconds > kBounds[bucket]) ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_nanoseconds_.fetch_add(
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count())),
      std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const {
  Snapshot snapshot;
  // The count is the buckets' total, so the +Inf bucket and _count agree in every scrape.
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    snapshot.count += buckets_[i].load(std::memory_order_relaxed);
    if (i < kBounds.size()) snapshot.at_most[i] = snapshot.count;
  }
  snapshot.sum_seconds =
      static_cast<double>(sum_nanoseconds_.load(std::memory_order_relaxed)) / 1e9;
  return snapshot;
}

void MetricsText::family(std::string_view name, std::string_view type, std::string_view help) {
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::sample(std::string_view name, const MetricLabels &labels, std::uint64_t value) {
  sample_line(name, labels, std::to_string(value));
}

void MetricsText::sample(std::string_view name, const MetricLabels &labels, std::int64_t value) {
  sample_line(name, labels, std::to_string(value));
}

void MetricsText::histogram(std::string_view name, const MetricLabels &labels,
                            const Histogram &histogram) {
  const Histogram::Snapshot snapshot = histogram.snapshot();
  const std::string bucket = std::string(name) + "_bucket";
  for (std::size_t i = 0; i <= Histogram::kBounds.size(); ++i) {
    const bool last = i == Histogram::kBounds.size();
    const std::string bound = last ? "+Inf" : number_text(Histogram::kBounds[i]);
    MetricLabels with_bound = labels;
    with_bound.emplace_back("le", bound);
    sample(bucket, with_bound, last ? snapshot.count : snapshot.at_most[i]);
  }
  sample_line(std::string(name) + "_sum", labels, number_text(snapshot.sum_seconds));
  sample(std::string(name) + "_count", labels, snapshot.count);
}

void MetricsText::sample_line(std::string_view name, const MetricLabels &labels,
                              const std::string &value) {
  text_.append(name);
  if (!labels.empty()) {
    text_ += '{';
    for (std::size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) text_ += ',';
      text_.append(labels[i].first).append("=\"");
      // Label values come from fixed sets; escaping keeps the format whatever they hold.
      for (const char c : labels[i].second) {
        if (c == '\\' || c == '"') text_ += '\\';
        if (c == '\n') {
          text_ += "\\n";
          continue;
        }
        text_ += c;
      }
      text_ += '"';
    }
    text_ += '}';
  }
  text_.append(" ").append(value).append("\n");
}

StoreCounters &store_counters() {
  static StoreCounters counters;
  return counters;
}

}  // namespace velmoth::server
