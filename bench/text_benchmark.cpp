// The text layer's UTF-8 work on 100,000 entry paths (ASCII, Chinese, and
// Chinese with a stray byte), against ICU doing the same conversion in the
// same run: every name of a listing is decoded, and every sort key and JSON
// string walks it again.
//
//   build/bench/text_benchmark
#include <benchmark/benchmark.h>
#include <unicode/ustring.h>

#include <string>
#include <vector>

#include "text/utf8.h"

namespace {

const std::vector<std::string>& names(int kind) {
  static const std::vector<std::string> sets[3] = {
      [] {
        std::vector<std::string> out;
        for (int i = 0; i < 100'000; ++i) {
          out.push_back("project/module-" + std::to_string(i / 100) + "/source-file-" +
                        std::to_string(i) + ".txt");
        }
        return out;
      }(),
      [] {
        std::vector<std::string> out;
        for (int i = 0; i < 100'000; ++i) {
          out.push_back("项目文档/第" + std::to_string(i / 100) + "章/报告-" + std::to_string(i) +
                        ".txt");
        }
        return out;
      }(),
      [] {
        std::vector<std::string> out;
        for (int i = 0; i < 100'000; ++i) {
          out.push_back("项目文档/\xE6\x8A/报告-" + std::to_string(i) + ".txt");
        }
        return out;
      }(),
  };
  return sets[kind];
}

void toUtf16Ours(benchmark::State& state) {
  const auto& set = names(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& name : set) benchmark::DoNotOptimize(vexel::text::toUtf16Lenient(name));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.size()));
}

void toUtf16Icu(benchmark::State& state) {
  const auto& set = names(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& name : set) {
      std::u16string out(name.size() + 1, u'\0');
      int32_t length = 0;
      UErrorCode status = U_ZERO_ERROR;
      u_strFromUTF8WithSub(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                           &length, name.data(), static_cast<int32_t>(name.size()), 0xFFFD, nullptr,
                           &status);
      out.resize(static_cast<size_t>(length));
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.size()));
}

void decodeLenient(benchmark::State& state) {
  const auto& set = names(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& name : set) {
      benchmark::DoNotOptimize(vexel::text::decodeUtf8Lenient(name));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.size()));
}

void isValid(benchmark::State& state) {
  const auto& set = names(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    for (const std::string& name : set) benchmark::DoNotOptimize(vexel::text::isValidUtf8(name));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(set.size()));
}

// Arguments: 0 ASCII, 1 Chinese, 2 Chinese with a truncated sequence.
BENCHMARK(toUtf16Ours)->DenseRange(0, 2);
BENCHMARK(toUtf16Icu)->DenseRange(0, 2);
BENCHMARK(decodeLenient)->DenseRange(0, 2);
BENCHMARK(isValid)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
