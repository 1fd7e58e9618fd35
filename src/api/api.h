// The exported entry points' internals: string conversion at the boundary.
#ifndef TOLVANE_SRC_API_API_H
#define TOLVANE_SRC_API_API_H

#include <cstddef>

namespace tolvane {

// Milliseconds per unit keyed by Morse2WAV.
constexpr int UNIT_MS = 60;

// Size of the per-call text and path buffers: 199 bytes and a terminator.
constexpr std::size_t kArgBufferSize = 200;

// Converts a NUL-terminated wide string into `out` (`outSize` bytes with the
// terminator): UTF-8 on Linux, where a value that is no Unicode scalar (a
// lone surrogate, above 0x10FFFF) becomes '?'; the ANSI code page on
// Windows. False, with `out` emptied, when the result does not fit; an
// argument is never cut, since a cut path names another file.
bool WideToAnsi(const wchar_t* wide, char* out, std::size_t outSize);

}  // namespace tolvane

#endif  // TOLVANE_SRC_API_API_H
