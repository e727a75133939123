// FindPattern against glibc's memmem, both looking for "<ui>" placed at the
// very end of a full read buffer of layout text, where '<' is frequent.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/find_pattern.h"
#include "sample_text.h"

namespace {

const std::string& TextEndingInUiTag() {
  static const std::string text = LayoutText(kReadBufferSize - 4, CjkShare::kSome) + "<ui>";
  return text;
}

void BM_FindPattern(benchmark::State& state) {
  const std::string& text = TextEndingInUiTag();
  const std::vector<std::int32_t> pattern{'<', 'u', 'i', '>'};
  const auto* found = static_cast<const char*>(memmem(text.data(), text.size(), "<ui>", 4));
  if (found == nullptr || FindPattern(reinterpret_cast<const unsigned char*>(text.data()),
                                      text.size(), pattern, 0) != found - text.data()) {
    state.SkipWithError("FindPattern and memmem disagree");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        FindPattern(reinterpret_cast<const unsigned char*>(text.data()), text.size(), pattern, 0));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_FindPattern);

void BM_Memmem(benchmark::State& state) {
  const std::string& text = TextEndingInUiTag();
  for (auto _ : state) {
    benchmark::DoNotOptimize(memmem(text.data(), text.size(), "<ui>", 4));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Memmem);

}  // namespace
