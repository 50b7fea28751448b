// Throughput of the reply path: what the page helper does with every page the program loads
// (decode, parse, serialize as markup) and the program's reading of the reply text, measured
// against the HTML parser's parse alone on the same bytes. Prints the ratio per page size after the
// benchmark table.

#include <benchmark/benchmark.h>
#include <gumbo.h>

#include <QString>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "page/page_markup.h"
#include "service/protocol.h"

namespace {

// Deterministic pseudo-random choices, so every run measures the same pages.
class Choices {
 public:
  unsigned next(unsigned bound) {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return unsigned(state_ >> 33) % bound;
  }

 private:
  std::uint64_t state_ = 42;
};

const char *const kChinese[] = {"欢迎使用本服务，",           "请先登录您的帐号。",
                                "充值卡可在官网购买，",       "每张卡只能使用一次。",
                                "如有疑问请联系客服。",       "账号到期时间：",
                                "绑定 QQ 号码后可找回密码。", "本页面的内容仅供参考。"};
const char *const kEnglish[] = {"Subscription details ",   "for your account ",
                                "are shown below. ",       "Top-up cards & vouchers ",
                                "expire after one year. ", "Contact support "};
const char *const kEntities[] = {"&amp;",    "&nbsp;",   "&lt;",   "&gt;",    "&copy;",
                                 "&#20013;", "&#x6587;", "&quot;", "&mdash;", "&yen;"};

std::string sentence(Choices &choices) {
  std::string text;
  const unsigned pieces = 2 + choices.next(4);
  for (unsigned i = 0; i < pieces; ++i) {
    switch (choices.next(3)) {
      case 0:
        text += kChinese[choices.next(std::size(kChinese))];
        break;
      case 1:
        text += kEnglish[choices.next(std::size(kEnglish))];
        break;
      default:
        text += kEntities[choices.next(std::size(kEntities))];
        break;
    }
  }
  return text;
}

void append_block(std::string &html, Choices &choices, int depth) {
  switch (choices.next(depth < 4 ? 5 : 3)) {
    case 0:
      html += "<p class=\"text\">" + sentence(choices) +
              "<a href=\"/item.asp?id=" + std::to_string(choices.next(100000)) +
              "&amp;page=2\" title=\"详情\">" + sentence(choices) + "</a> " + sentence(choices) +
              "</p>\n";
      break;
    case 1:
      html +=
          "<table class=\"list\" cellpadding=\"2\">\n<tr><th>项目</th><th>数量</th><th>"
          "说明</th></tr>\n";
      for (unsigned row = 0, rows = 2 + choices.next(5); row < rows; ++row)
        html += "<tr><td>" + std::to_string(choices.next(9999)) + "</td><td>" +
                std::to_string(choices.next(99)) + "</td><td>" + sentence(choices) + "</td></tr>\n";
      html += "</table>\n";
      break;
    case 2:
      html += "<ul>\n";
      for (unsigned item = 0, items = 2 + choices.next(4); item < items; ++item)
        html += "<li><a href=\"/news/" + std::to_string(choices.next(5000)) + ".html\">" +
                sentence(choices) + "</a></li>\n";
      html += "</ul>\n";
      break;
    default:
      html += "<div class=\"section-" + std::to_string(depth) + "\" id=\"s" +
              std::to_string(choices.next(100000)) + "\">\n";
      for (unsigned block = 0, blocks = 1 + choices.next(4); block < blocks; ++block)
        append_block(html, choices, depth + 1);
      html += "</div>\n";
      break;
  }
}

// A page of about `size` bytes as a service's web pages are made: nested divs, paragraphs,
// links, tables and lists, Chinese and English text with entities.
std::string make_page(std::size_t size) {
  if (size <= 1) return "1";  // a reply code, as the login and sign-up requests answer
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>我的账号 - 服务</title>\n<style>body { font: 12px sans-serif; }</style>\n"
      "</head>\n<body>\n<div id=\"main\">\n";
  Choices choices;
  const std::string tail = "</div>\n</body>\n</html>\n";
  while (html.size() + tail.size() < size) append_block(html, choices, 1);
  html += tail;
  return html;
}

constexpr std::string_view kContentType = "text/html; charset=utf-8";

void reply_path(benchmark::State &state) {
  const std::string page = make_page(std::size_t(state.range(0)));
  for (auto _ : state) {
    const QString markup = QString::fromStdString(velmoth::page_markup(page, kContentType));
    auto reply = velmoth::read_reply(markup);
    benchmark::DoNotOptimize(reply);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(page.size()));
  state.SetLabel(std::to_string(page.size()) + " B");
}

void gumbo_parse_alone(benchmark::State &state) {
  const std::string page = make_page(std::size_t(state.range(0)));
  for (auto _ : state) {
    GumboOutput *output = gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size());
    benchmark::DoNotOptimize(output);
    gumbo_destroy_output(&kGumboDefaultOptions, output);
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(page.size()));
  state.SetLabel(std::to_string(page.size()) + " B");
}

const std::int64_t kSizes[] = {1, 4 << 10, 64 << 10, 1 << 20};

// The console table as usual, and the bytes per second of each run kept for the ratios (the
// median when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      const bool usable =
          run.run_type == Run::RT_Iteration ? run.repetitions <= 1 : run.aggregate_name == "median";
      if (!usable || run.error_occurred) continue;
      const auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates_[run.run_name.str()] = rate->second.value;
    }
  }

  void print_ratios() const {
    std::printf("\n%-10s %16s %16s %8s\n", "page", "ours MiB/s", "gumbo MiB/s", "ratio");
    for (const std::int64_t size : kSizes) {
      const std::string suffix = "/" + std::to_string(size);
      const auto ours = rates_.find("reply_path" + suffix);
      const auto gumbo = rates_.find("gumbo_parse_alone" + suffix);
      if (ours == rates_.end() || gumbo == rates_.end()) continue;
      std::printf("%-10lld %16.1f %16.1f %8.2f\n", static_cast<long long>(size),
                  ours->second / (1 << 20), gumbo->second / (1 << 20),
                  ours->second / gumbo->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char **argv) {
  // Side by side per size, so that a change in the machine's load between runs hits both.
  for (const std::int64_t size : kSizes) {
    benchmark::RegisterBenchmark("reply_path", reply_path)->Arg(size);
    benchmark::RegisterBenchmark("gumbo_parse_alone", gumbo_parse_alone)->Arg(size);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  reporter.print_ratios();
  return 0;
}
