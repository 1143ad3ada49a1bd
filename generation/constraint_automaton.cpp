// States, transitions, literals, numbers and state-set steps of the
// constraint automaton.
#include <algorithm>

#include "generation/constraint.h"
#include "generation/errors.h"
#include "generation/constraint_messages.h"
#include "generation/constraint_step_cache.h"

namespace vorn {

namespace msg = constraint_message;

Constraint::Constraint() = default;
Constraint::~Constraint() = default;

void constraint_require(bool condition, const char* message) {
  if (!condition) throw ConstraintError(message);
}

uint32_t constraint_add_state(Constraint& c) {
  constraint_require(c.states.size() < kConstraintMaxStates, msg::kTooManyStates);
  c.states.emplace_back();
  return static_cast<uint32_t>(c.states.size() - 1);
}

static void add_transition(Constraint& c, uint32_t from, const ConstraintTransition& t) {
  constraint_require(c.transition_count < kConstraintMaxTransitions, msg::kTooManyTransitions);
  c.states[from].push_back(t);
  ++c.transition_count;
}

void constraint_add_bytes(Constraint& c, uint32_t from, uint32_t to, const ByteSet& bytes) {
  add_transition(c, from, ConstraintTransition{to, bytes, false});
}

void constraint_add_epsilon(Constraint& c, uint32_t from, uint32_t to) {
  add_transition(c, from, ConstraintTransition{to, ByteSet{}, true});
}

void append_literal_states(Constraint& c, uint32_t from, uint32_t to, std::string_view bytes) {
  if (bytes.empty()) {
    constraint_add_epsilon(c, from, to);
    return;
  }
  uint32_t cur = from;
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint32_t next = i + 1 == bytes.size() ? to : constraint_add_state(c);
    constraint_add_bytes(c, cur, next, ByteSet::of(static_cast<uint8_t>(bytes[i])));
    cur = next;
  }
}

void amount_automaton(Constraint& c, uint32_t from, uint32_t to, bool integer_only, uint32_t decimals) {
  const ByteSet digit = ByteSet::range('0', '9');
  uint32_t a = constraint_add_state(c);
  uint32_t b = constraint_add_state(c);
  uint32_t lead = constraint_add_state(c);
  uint32_t d = constraint_add_state(c);
  // Optional minus sign.
  constraint_add_epsilon(c, from, a);
  constraint_add_bytes(c, from, a, ByteSet::of('-'));
  // The integer part: "0", or a non-zero digit and at most 17 more digits.
  constraint_add_bytes(c, a, b, ByteSet::of('0'));
  constraint_add_bytes(c, a, lead, ByteSet::range('1', '9'));
  constraint_add_epsilon(c, b, d);
  uint32_t n = lead;
  for (int i = 1;; ++i) {
    constraint_add_epsilon(c, n, d);
    if (i == kNumberMaxDigits) break;
    uint32_t next = constraint_add_state(c);
    constraint_add_bytes(c, n, next, digit);
    n = next;
  }
  if (decimals != 0) {
    // An amount: the point and exactly `decimals` places are required.
    uint32_t cur = constraint_add_state(c);
    constraint_add_bytes(c, d, cur, ByteSet::of('.'));
    for (uint32_t place = 1; place <= decimals; ++place) {
      uint32_t next = place == decimals ? to : constraint_add_state(c);
      constraint_add_bytes(c, cur, next, digit);
      cur = next;
    }
    return;
  }
  constraint_add_epsilon(c, d, to);
  if (integer_only) return;
  // A JSON number: optional fraction of 1 to 18 digits, optional exponent of
  // an optional sign and 1 or 2 digits.
  uint32_t point = constraint_add_state(c);
  uint32_t frac = constraint_add_state(c);
  uint32_t exp = constraint_add_state(c);
  uint32_t sign = constraint_add_state(c);
  uint32_t exp_digit = constraint_add_state(c);
  constraint_add_bytes(c, d, point, ByteSet::of('.'));
  constraint_add_bytes(c, point, frac, digit);
  constraint_add_bytes(c, d, exp, ByteSet::of('e'));
  constraint_add_bytes(c, d, exp, ByteSet::of('E'));
  uint32_t f = frac;
  for (int i = 1;; ++i) {
    constraint_add_epsilon(c, f, to);
    constraint_add_bytes(c, f, exp, ByteSet::of('e'));
    constraint_add_bytes(c, f, exp, ByteSet::of('E'));
    if (i == kNumberMaxDigits) break;
    uint32_t next = constraint_add_state(c);
    constraint_add_bytes(c, f, next, digit);
    f = next;
  }
  constraint_add_epsilon(c, exp, sign);
  constraint_add_bytes(c, exp, sign, ByteSet::of('+'));
  constraint_add_bytes(c, exp, sign, ByteSet::of('-'));
  constraint_add_bytes(c, sign, exp_digit, digit);
  constraint_add_epsilon(c, exp_digit, to);
  static_assert(kExponentMaxDigits == 2, "the exponent's second digit is its last");
  constraint_add_bytes(c, exp_digit, to, digit);
}

std::vector<int32_t> state_set_close(const Constraint& c, std::vector<int32_t> list) {
  std::vector<uint8_t> seen(c.states.size(), 0);
  for (int32_t s : list) seen[s] = 1;
  for (size_t i = 0; i < list.size(); ++i) {
    for (const ConstraintTransition& t : c.states[list[i]]) {
      if (t.epsilon && !seen[t.target]) {
        seen[t.target] = 1;
        list.push_back(static_cast<int32_t>(t.target));
      }
    }
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

std::vector<int32_t> state_set_step(const Constraint& c, const std::vector<int32_t>& set, uint8_t byte) {
  std::vector<int32_t> next;
  for (int32_t s : set)
    for (const ConstraintTransition& t : c.states[s])
      if (!t.epsilon && t.bytes.has(byte)) next.push_back(static_cast<int32_t>(t.target));
  if (next.empty()) return next;
  return state_set_close(c, std::move(next));
}

}  // namespace vorn
