// The exported entry points' internals: string conversion at the boundary.
#ifndef TOLVANE_SRC_API_API_H
#define TOLVANE_SRC_API_API_H

#include <cstddef>

#include "recogniser/recogniser.h"

namespace tolvane {

// Size of the per-call text and path buffers: the longest text and a
// terminator.
constexpr std::size_t kArgBufferSize = kMaxTextBytes + 1;

// Converts a NUL-terminated wide string into `out` (`outSize` bytes with the
// terminator): UTF-8 on Linux, where a value that is no Unicode scalar (a
// lone surrogate, above 0x10FFFF) becomes '?'; the ANSI code page on
// Windows. False, with `out` emptied, when the result does not fit; an
// argument is never cut, since a cut path names another file.
bool WideToAnsi(const wchar_t* wide, char* out, std::size_t outSize);

// Widens a narrow string into `out` (`outSize` wide characters with the
// terminator); false when it does not fit. The decoded text is ASCII by
// construction (table characters, '?' and space), which every code page
// and UTF-8 read alike.
bool AnsiToWide(const char* narrow, wchar_t* out, std::size_t outSize);

// The wide text handed back by the last successful Wave2Morse call.
constexpr std::size_t kResultTextSize = 1000;
extern wchar_t ResultText[kResultTextSize];

// The line printed on standard error when Wave2Morse fails.
constexpr char kDecodeFailedLine[] = "Decoding failed. Ensure 8kHz 16-bit mono PCM.\n";

}  // namespace tolvane

#endif  // TOLVANE_SRC_API_API_H
