#include "skim/judge.h"

#include <algorithm>

namespace tolvane::skim {
namespace {

// Of the judged characters, at most this share of one or two elements
// (E, T, I, A, N, M) or unread. Speech reads mostly as those; a call with
// an E and a T sent with TEST (VE4T TEST) has more than half of them
// single elements, and is Morse.
constexpr double kMostShort = 0.6;
// The question mark, not a code read as none.
constexpr char kQuestionMark[] = "..--..";
// The median speed of the judged characters lies between these.
constexpr float kSlowestWpm = 5;
constexpr float kFastestWpm = 70;

}  // namespace

bool LooksLikeMorse(const std::vector<SkimEvent>& held, std::size_t judged) {
  std::vector<float> wpm;
  std::size_t shortOnes = 0;
  for (auto it = held.rbegin(); it != held.rend() && wpm.size() < judged; ++it) {
    if (it->wordGap) continue;
    wpm.push_back(it->wpm);
    const bool unread = it->text == "?" && it->code != kQuestionMark;
    shortOnes += it->code.size() <= 2 || unread ? 1 : 0;
  }
  if (wpm.empty() || wpm.size() < judged) return false;
  const auto n = static_cast<double>(wpm.size());
  if (static_cast<double>(shortOnes) > kMostShort * n) return false;
  std::nth_element(wpm.begin(), wpm.begin() + static_cast<std::ptrdiff_t>(wpm.size() / 2), wpm.end());
  const float median = wpm[wpm.size() / 2];
  return median >= kSlowestWpm && median <= kFastestWpm;
}

std::size_t Characters(const std::vector<SkimEvent>& events) {
  std::size_t n = 0;
  for (const SkimEvent& e : events) n += e.wordGap ? 0 : 1;
  return n;
}

void Trim(std::vector<SkimEvent>* held, std::size_t keep) {
  std::size_t characters = Characters(*held);
  auto it = held->begin();
  while (characters > keep && it != held->end()) {
    characters -= it->wordGap ? 0 : 1;
    ++it;
  }
  // No word gap leads what is kept.
  while (it != held->end() && it->wordGap) ++it;
  held->erase(held->begin(), it);
}

}  // namespace tolvane::skim
