// Whether what a new signal's recogniser reads is Morse text at all. Speech,
// another mode or a carrier switched on and off give characters too, but
// mostly of one or two elements (T, E, M, A), at speeds no operator sends.
// Internal to src/skim.
#ifndef TOLVANE_SRC_SKIM_JUDGE_H
#define TOLVANE_SRC_SKIM_JUDGE_H

#include <cstddef>
#include <vector>

#include "skim/skim.h"

namespace tolvane::skim {

// Characters judged at once, and kept back at most while waiting.
constexpr std::size_t kJudgedCharacters = 16;
constexpr std::size_t kHeldCharacters = 40;
// A signal found whose newest characters fail the judgement this many
// times in a row (a station that stopped, and speech took its place) is
// dropped.
constexpr int kFailuresToDrop = 24;

// Judges the newest `judged` characters of `held` (a signal's events
// before it is found); false while there are fewer.
bool LooksLikeMorse(const std::vector<SkimEvent>& held, std::size_t judged = kJudgedCharacters);

// The characters among `events`, word gaps not counted.
std::size_t Characters(const std::vector<SkimEvent>& events);

// Drops the oldest events of `held` beyond `keep` characters.
void Trim(std::vector<SkimEvent>* held, std::size_t keep = kHeldCharacters);

}  // namespace tolvane::skim

#endif  // TOLVANE_SRC_SKIM_JUDGE_H
