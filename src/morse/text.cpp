// Text to codes: UTF-8 decoding, whitespace, prosigns, pairs and spellings,
// with a lookahead of a few code points and nothing else kept.
#include <algorithm>
#include <cstring>

#include "morse/morse.h"

namespace tolvane {
namespace {

bool IsAsciiSpace(char32_t c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Unicode's spaces and line separators, for text files; a text given on
// the command line keeps the library's rule, where only ASCII counts.
bool IsAnySpace(char32_t c) {
  return IsAsciiSpace(c) || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool StartsPair(Charset charset, char32_t c) {
  std::size_t count = 0;
  const CharsetEntry* rows = CharsetRows(charset, &count);
  c = FoldCase(c);
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].second != 0 && rows[i].first == c) return true;
  }
  return false;
}

}  // namespace

TextCoder::TextCoder(const TextOptions& options) : options_(options) {
  std::size_t count = 0;
  const CharsetEntry* rows = CharsetRows(options.charset, &count);
  for (std::size_t i = 0; i < count; ++i) hasPairs_ = hasPairs_ || rows[i].second != 0;
}

bool TextCoder::Feed(const char* bytes, std::size_t size, CodeSink* sink) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (pendingBytes_ > 0) {
      if ((b & 0xC0) == 0x80) {
        partial_ = (partial_ << 6) | (b & 0x3Fu);
        if (--pendingBytes_ == 0) {
          const bool valid = partial_ >= minimum_ && partial_ <= 0x10FFFF &&
                             (partial_ < 0xD800 || partial_ > 0xDFFF);
          if (!Push(valid ? partial_ : kInvalidUtf8, sink)) return false;
        }
        continue;
      }
      // A sequence cut short: it is one invalid character, and this byte
      // starts afresh.
      pendingBytes_ = 0;
      if (!Push(kInvalidUtf8, sink)) return false;
    }
    if (b < 0x80 && queued_ == 0 && b != '<' && !IsAnySpace(b) && !hasPairs_) {
      // Most text: one ASCII character that needs no lookahead.
      afterCr_ = false;
      const char* code = LookupCode(options_.charset, b);
      if (code != nullptr) {
        if (!Emit(code, sink)) return false;
      } else if (const char* spelling = options_.transliterate ? Transliterate(b) : nullptr) {
        for (const char* p = spelling; *p != '\0'; ++p) {
          if (!Emit(LookupCode(*p), sink)) return false;
        }
      } else {
        sink->Skipped(b);
      }
    } else if (b < 0x80) {
      if (!Push(b, sink)) return false;
    } else if (b >= 0xC2 && b <= 0xDF) {
      partial_ = b & 0x1Fu, pendingBytes_ = 1, minimum_ = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      partial_ = b & 0x0Fu, pendingBytes_ = 2, minimum_ = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      partial_ = b & 0x07u, pendingBytes_ = 3, minimum_ = 0x10000;
    } else if (!Push(kInvalidUtf8, sink)) {
      return false;
    }
  }
  return true;
}

bool TextCoder::Finish(CodeSink* sink) {
  if (pendingBytes_ > 0) {
    pendingBytes_ = 0;
    if (!Push(kInvalidUtf8, sink)) return false;
  }
  return Drain(true, sink);
}

bool TextCoder::Push(char32_t c, CodeSink* sink) {
  queue_[queued_++] = c;
  return Drain(false, sink);
}

bool TextCoder::Emit(const char* code, CodeSink* sink) {
  if (gapPending_) {
    gapPending_ = false;
    if (!sink->WordGap()) return false;
  }
  keyed_ = true;
  return sink->Character(code);
}

void TextCoder::Pop(std::size_t count) {
  std::memmove(queue_, queue_ + count, (queued_ - count) * sizeof queue_[0]);
  queued_ -= count;
}

bool TextCoder::Drain(bool atEnd, CodeSink* sink) {
  while (queued_ > 0) {
    const char32_t c = queue_[0];
    bool ok = true;
    if (options_.spacing == Spacing::kEachSpace && IsAsciiSpace(c)) {
      const bool crLf = afterCr_ && c == '\n';
      afterCr_ = c == '\r';
      Pop(1);
      ok = crLf || sink->WordGap();
    } else if (options_.spacing == Spacing::kCollapse && IsAnySpace(c)) {
      gapPending_ = keyed_;
      Pop(1);
    } else {
      afterCr_ = false;
      bool wait = false;
      ok = c == '<' ? Prosign(atEnd, sink, &wait) : Letter(sink, atEnd, &wait);
      if (wait) return true;
    }
    if (!ok) return false;
  }
  return true;
}

bool TextCoder::Prosign(bool atEnd, CodeSink* sink, bool* wait) {
  std::size_t close = 0;
  bool valid = false;
  for (std::size_t i = 1;; ++i) {
    if (i == queued_) {
      // The closing bracket may still come.
      *wait = !atEnd && queued_ < sizeof queue_ / sizeof queue_[0];
      if (*wait) return true;
      break;
    }
    if (queue_[i] == '>') {
      valid = i >= 2;
      close = i;
      break;
    }
    if (i > kMaxProsignLetters || LookupCode(options_.charset, queue_[i]) == nullptr) break;
  }
  if (!valid) {
    sink->Skipped('<');
    Pop(1);
    return true;
  }
  char code[kMaxProsignLetters * kMaxCodeLength + 1] = {};
  std::size_t length = 0;
  for (std::size_t i = 1; i < close; ++i) {
    const char* letter = LookupCode(options_.charset, queue_[i]);
    const std::size_t n = std::min(std::strlen(letter), sizeof code - 1 - length);
    std::copy_n(letter, n, code + length);
    length += n;
  }
  Pop(close + 1);
  return Emit(code, sink);
}

bool TextCoder::Letter(CodeSink* sink, bool atEnd, bool* wait) {
  const char32_t c = queue_[0];
  if (queued_ < 2 && !atEnd && StartsPair(options_.charset, c)) {
    *wait = true;  // C may be the start of CH
    return true;
  }
  std::size_t used = 1;
  const char* code = MatchCode(options_.charset, queue_, queued_, &used);
  Pop(used);
  if (code != nullptr) return Emit(code, sink);
  const char* spelling = options_.transliterate ? Transliterate(c) : nullptr;
  if (spelling == nullptr) {
    sink->Skipped(c);
    return true;
  }
  for (const char* p = spelling; *p != '\0'; ++p) {
    if (!Emit(LookupCode(*p), sink)) return false;
  }
  return true;
}

}  // namespace tolvane
