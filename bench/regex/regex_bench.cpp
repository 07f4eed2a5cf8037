// The address patterns as the product uses them: compiled and matched once per call, with no
// flags, from the start of the text. Side by side in one run:
//   Ours              Pattern::Compile + Pattern::Match per call
//   Pcre2             pcre2_compile + match data + pcre2_match (interpreter) per call
//   Pcre2Precompiled  pcre2_match only, pattern and match data made once (for reference)
//   StdRegex          std::regex construction (ECMAScript) + std::regex_search per call
// and, for our matcher only, hostile lines: `" <` repeated to the given length in bytes, which a
// plain backtracker takes cubic time over (--benchmark_filter=Hostile).
// Compare the figures of one run as ratios; the machine is shared and noisy.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <benchmark/benchmark.h>
#include <pcre2.h>

#include <regex>
#include <string>
#include <vector>

#include "regex/pattern.h"

namespace {

const std::string kSenderPattern = R"re("((\w|\W)*)" <((\w|\W)*)>)re";
const std::string kRecipientPattern = R"re("((\w|\W)*)" <((\w|\W)*)> (\d*))re";

const std::vector<std::string> kSenders = {
    R"("Ann Lee" <+4915112345678>)",
    R"("" <10086>)",
    R"("Maximiliane Alexandra von Hohenzollern-Sig" <+4915112345678>)",
};
const std::vector<std::string> kRecipients = {
    R"("Bob" <+441632960123> 1)",
    R"("Maximiliane Alexandra von Hohenzollern-Sig" <+4915112345678> 2)",
};

const std::string& PatternOf(bool recipient) {
  return recipient ? kRecipientPattern : kSenderPattern;
}
const std::string& TextOf(bool recipient, int64_t index) {
  return recipient ? kRecipients[index] : kSenders[index];
}

// A pattern PCRE2 compiled, with match data made for it.
class Pcre2Pattern {
 public:
  explicit Pcre2Pattern(const std::string& pattern)
      : code_(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), 0, &error_,
                            &offset_, nullptr)),
        data_(pcre2_match_data_create_from_pattern(code_, nullptr)) {}
  ~Pcre2Pattern() {
    pcre2_match_data_free(data_);
    pcre2_code_free(code_);
  }
  Pcre2Pattern(const Pcre2Pattern&) = delete;
  Pcre2Pattern& operator=(const Pcre2Pattern&) = delete;

  // pcre2_match's result: the number of groups set, or a negative code.
  int Match(const std::string& text) {
    return pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, data_, nullptr);
  }
  const PCRE2_SIZE* Offsets() const { return pcre2_get_ovector_pointer(data_); }

 private:
  int error_ = 0;
  PCRE2_SIZE offset_ = 0;
  pcre2_code* code_;
  pcre2_match_data* data_;
};

// Our matcher as the product calls it: compiled and matched once.
larkpost::PatternMatch OursOnce(const std::string& pattern, const std::string& text) {
  larkpost::Pattern compiled;
  compiled.Compile(pattern.data(), static_cast<int>(pattern.size()), 0);
  return compiled.Match(text.c_str());
}

// The product reads groups 1, 3 and 5: check once that every engine cuts them alike.
std::vector<int> PcreGroups(const std::string& pattern, const std::string& text) {
  Pcre2Pattern compiled(pattern);
  int rc = compiled.Match(text);
  std::vector<int> groups;
  const PCRE2_SIZE* ovector = compiled.Offsets();
  for (int g = 0; rc > 0 && g < rc; ++g) {
    groups.push_back(ovector[2 * g] == PCRE2_UNSET ? -1 : static_cast<int>(ovector[2 * g]));
    groups.push_back(ovector[2 * g] == PCRE2_UNSET ? -1 : static_cast<int>(ovector[2 * g + 1]));
  }
  return groups;
}

bool SameAsPcre2(const std::string& pattern, const std::string& text) {
  larkpost::PatternMatch match = OursOnce(pattern, text);
  std::vector<int> expected = PcreGroups(pattern, text);
  if (!match.Matched() || expected.empty()) return false;
  for (int g : {0, 1, 3, 5}) {
    if (2 * g + 1 >= static_cast<int>(expected.size())) break;
    if (match.GroupStart(g) != expected[2 * g] || match.GroupEnd(g) != expected[2 * g + 1]) {
      return false;
    }
  }
  return true;
}

void Ours(benchmark::State& state, bool recipient) {
  const std::string& pattern = PatternOf(recipient);
  const std::string& text = TextOf(recipient, state.range(0));
  if (!SameAsPcre2(pattern, text)) {
    state.SkipWithError("our result differs from PCRE2's");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(OursOnce(pattern, text).values.data());
  state.SetLabel(text);
}

void Pcre2(benchmark::State& state, bool recipient) {
  const std::string& pattern = PatternOf(recipient);
  const std::string& text = TextOf(recipient, state.range(0));
  for (auto _ : state) {
    Pcre2Pattern compiled(pattern);
    benchmark::DoNotOptimize(compiled.Match(text));
  }
  state.SetLabel(text);
}

void Pcre2Precompiled(benchmark::State& state, bool recipient) {
  const std::string& pattern = PatternOf(recipient);
  const std::string& text = TextOf(recipient, state.range(0));
  Pcre2Pattern compiled(pattern);
  for (auto _ : state) benchmark::DoNotOptimize(compiled.Match(text));
  state.SetLabel(text);
}

void StdRegex(benchmark::State& state, bool recipient) {
  const std::string& pattern = PatternOf(recipient);
  const std::string& text = TextOf(recipient, state.range(0));
  for (auto _ : state) {
    std::regex compiled(pattern, std::regex::ECMAScript);
    std::smatch match;
    bool found = std::regex_search(text, match, compiled);
    benchmark::DoNotOptimize(found);
  }
  state.SetLabel(text);
}

// A line of `" <` repeated up to `bytes`: every quote may end the name and every `<` begin the
// address, and no `>` ever closes it.
void Hostile(benchmark::State& state, bool recipient) {
  const std::string& pattern = PatternOf(recipient);
  std::string text;
  while (text.size() < static_cast<size_t>(state.range(0))) text += "\" <";
  text.resize(static_cast<size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(OursOnce(pattern, text).values.data());
}

// Interleaved by text so that the engines for one text run close together in time.
void RegisterAll() {
  struct Engine {
    const char* name;
    void (*run)(benchmark::State&, bool);
  };
  const Engine engines[] = {{"Ours", Ours},
                            {"Pcre2", Pcre2},
                            {"Pcre2Precompiled", Pcre2Precompiled},
                            {"StdRegex", StdRegex}};
  for (bool recipient : {false, true}) {
    int64_t count = static_cast<int64_t>(recipient ? kRecipients.size() : kSenders.size());
    for (int64_t index = 0; index < count; ++index) {
      for (const Engine& engine : engines) {
        std::string name = std::string(recipient ? "Recipient/" : "Sender/") + engine.name;
        benchmark::RegisterBenchmark(name.c_str(), engine.run, recipient)->Arg(index);
      }
    }
  }
  for (bool recipient : {false, true}) {
    std::string name = std::string(recipient ? "Recipient/" : "Sender/") + "Hostile";
    benchmark::RegisterBenchmark(name.c_str(), Hostile, recipient)
        ->Arg(300)
        ->Arg(1000)
        ->Arg(3000)
        ->Arg(1 << 20)
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
