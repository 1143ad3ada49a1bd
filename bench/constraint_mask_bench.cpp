// The output constraint's mask for one step over a 49,280-entry vocabulary
// (GPT-2's first 49,280 tokens), at mid-document states of a nested schema
// and of the amount language, on one thread. Each state is timed three ways:
// the first mask after compiling and advancing (the step memo still cold),
// the mask again at the same state (warm), and the plain token-by-token
// reading of the automaton as the reference the ratio is taken against.
// Times are CPU time of the one thread, in microseconds.
//
//   constraint_mask_bench [repetitions]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "generation/constraint_mask.h"
#include "tests/generation/constraint_fixture.h"

using namespace vorn;

namespace {

constexpr size_t kVocabulary = 49280;

const char* kNestedSchema = R"({"type":"object","properties":{
  "order":{"type":"object","properties":{
    "id":{"type":"integer"},
    "lines":{"type":"array","maxItems":8,"items":{"type":"object","properties":{
      "sku":{"type":"string","minLength":1,"maxLength":32},
      "qty":{"type":"integer"},
      "price":{"type":"number"},
      "tags":{"type":"array","maxItems":4,"items":{"enum":["fragile","gift","express"]}}},
      "required":["sku","qty","price","tags"],"additionalProperties":false}},
    "note":{"anyOf":[{"type":"string","maxLength":200},{"type":"null"}]}},
    "required":["id","lines","note"],"additionalProperties":false},
  "customer":{"type":"string"}},
  "required":["order","customer"],"additionalProperties":false})";

// CPU time of this thread: the machine the figures come from is shared, and
// wall time would count the time other work held the core.
double seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Feeds `text` through the constraint as the longest vocabulary tokens that
// fit at each position.
void advance(Constraint& c, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t best_len = 0;
    int64_t best = -1;
    for (size_t id = 0; id < c.token_bytes.size(); ++id) {
      const std::string& t = c.token_bytes[id];
      if (t.size() > best_len && text.compare(at, t.size(), t) == 0) best_len = t.size(), best = int64_t(id);
    }
    constraint_accept_token(c, best);
    at += best_len;
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Case {
  const char* name;
  const char* schema;
  uint32_t decimals;
  const char* prefix;
};

}  // namespace

int main(int argc, char** argv) {
  int reps = argc > 1 ? std::atoi(argv[1]) : 200;
  test::Vocabulary v = test::gpt2_vocabulary();
  v.tokens.resize(kVocabulary);
  const Case cases[] = {
      {"nested schema, inside a string", kNestedSchema, 0,
       R"({"customer":"Ada Lovelace","order":{"id":1042,"lines":[{"price":12.5,"qty":2,"sku":"AB-)"},
      {"nested schema, between members", kNestedSchema, 0,
       R"({"customer":"Ada","order":{"id":7,"lines":[{"price":1.25,"qty":3,"sku":"X1","tags":["gift"]},)"},
      {"nested schema, inside a number", kNestedSchema, 0, R"({"customer":"Ada","order":{"id":7,"lines":[{"price":3)"},
      {"amount of 2 places, after 12.", nullptr, 2, "12."},
  };
  std::vector<uint8_t> mask(kVocabulary);
  std::printf("mask of one step over %zu tokens, one thread, %d repetitions\n", kVocabulary, reps);
  std::printf("%-34s %10s %10s %12s %8s %8s\n", "state", "cold us", "warm us", "reference us", "ratio", "allowed");
  for (const Case& k : cases) {
    std::vector<double> cold, warm;
    for (int r = 0; r < 5; ++r) {
      auto c = test::compile(k.schema, k.decimals, v);
      advance(*c, k.prefix);
      std::fill(mask.begin(), mask.end(), 1);
      double t0 = seconds();
      constraint_token_mask(*c, mask.data(), kVocabulary, 1000);
      cold.push_back(seconds() - t0);
      if (r > 0) continue;
      for (int i = 0; i < reps; ++i) {
        std::fill(mask.begin(), mask.end(), 1);
        t0 = seconds();
        constraint_token_mask(*c, mask.data(), kVocabulary, 1000);
        warm.push_back(seconds() - t0);
      }
    }
    // The reference: every token read through the plain state-set steps.
    auto c = test::compile(k.schema, k.decimals, v);
    advance(*c, k.prefix);
    double t0 = seconds();
    size_t reference_allowed = 0;
    for (size_t id = 0; id < kVocabulary; ++id) {
      std::vector<int32_t> set = c->state_set;
      for (unsigned char b : c->token_bytes[id]) {
        set = state_set_step(*c, set, b);
        if (set.empty()) break;
      }
      reference_allowed += !set.empty() && !c->token_bytes[id].empty();
    }
    double reference = seconds() - t0;
    size_t allowed = std::count(mask.begin(), mask.end(), 1);
    std::printf("%-34s %10.1f %10.1f %12.1f %8.1f %8zu%s\n", k.name, median(cold) * 1e6, median(warm) * 1e6,
                reference * 1e6, reference / median(warm), allowed,
                allowed == reference_allowed ? "" : "  (differs from the reference)");
  }
  return 0;
}
