#include "score.h"

#include <algorithm>
#include <vector>

namespace accuracy {
namespace {

template <typename T>
std::vector<std::vector<std::size_t>> Distances(const std::vector<T>& a, const std::vector<T>& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
    }
  }
  return d;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + " ") {
    if (c == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  return words;
}

}  // namespace

std::string Normal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

double ErrorRate(const std::string& reference, const std::string& hypothesis) {
  return ErrorRateFrom(reference, hypothesis, 0);
}

double WordErrorRate(const std::string& reference, const std::string& hypothesis) {
  const std::vector<std::string> a = Words(Normal(reference));
  const std::vector<std::string> b = Words(Normal(hypothesis));
  return static_cast<double>(Distances(a, b)[a.size()][b.size()]) / static_cast<double>(std::max<std::size_t>(1, a.size()));
}

double ErrorRateFrom(const std::string& reference, const std::string& hypothesis, std::size_t from) {
  const std::string ra = Normal(reference);
  const std::string rb = Normal(hypothesis);
  const std::vector<char> a(ra.begin(), ra.end());
  const std::vector<char> b(rb.begin(), rb.end());
  const auto d = Distances(a, b);
  if (from == 0 || a.empty()) return static_cast<double>(d[a.size()][b.size()]) / static_cast<double>(std::max<std::size_t>(1, a.size()));
  // Walk the best alignment back from the end, charging each edit to a
  // reference position.
  std::size_t errors = 0;
  std::size_t i = a.size();
  std::size_t j = b.size();
  while (i > 0 || j > 0) {
    if (i > 0 && j > 0 && d[i][j] == d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)) {
      if (a[i - 1] != b[j - 1] && i - 1 >= from) ++errors;
      --i;
      --j;
    } else if (i > 0 && d[i][j] == d[i - 1][j] + 1) {
      if (i - 1 >= from) ++errors;  // reference character i - 1 was lost
      --i;
    } else {
      // Inserted before reference character i, or after the last one.
      if (std::min(i, a.size() - 1) >= from) ++errors;
      --j;
    }
  }
  return static_cast<double>(errors) / static_cast<double>(std::max<std::size_t>(1, a.size() - std::min(from, a.size())));
}

}  // namespace accuracy
