#include "api/api.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "keyer/keyer.h"
#include "recogniser/recogniser.h"
#include "tolvane/tolvane.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tolvane {

wchar_t ResultText[kResultTextSize];

namespace {

// Never written: only the address tells it from a decoded "ERROR".
const wchar_t kErrorText[] = L"ERROR";

}  // namespace

#if defined(_WIN32)

// The system's ANSI code page, as Windows converts: characters it lacks
// become its default character (or a best fit).
bool WideToAnsi(const wchar_t* wide, char* out, std::size_t outSize) {
  if (outSize == 0) return false;
  out[0] = '\0';
  const int needed = WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return true;  // nothing converted: the empty string
  if (static_cast<std::size_t>(needed) > outSize) return false;
  WideCharToMultiByte(CP_ACP, 0, wide, -1, out, needed, nullptr, nullptr);
  return true;
}

bool AnsiToWide(const char* narrow, wchar_t* out, std::size_t outSize) {
  const int needed = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);
  if (needed <= 0 || static_cast<std::size_t>(needed) > outSize) return false;
  return MultiByteToWideChar(CP_ACP, 0, narrow, -1, out, needed) == needed;
}

#else

namespace {

// Appends the UTF-8 form of `c` at out[*length], or returns false when it
// would not leave room for the terminator.
bool PutUtf8(char32_t c, char* out, std::size_t outSize, std::size_t* length) {
  unsigned char bytes[4];
  std::size_t n = 0;
  if (c < 0x80) {
    bytes[n++] = static_cast<unsigned char>(c);
  } else if (c < 0x800) {
    bytes[n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
    bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    bytes[n++] = static_cast<unsigned char>(0xE0 | (c >> 12));
    bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else {
    bytes[n++] = static_cast<unsigned char>(0xF0 | (c >> 18));
    bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  }
  if (*length + n >= outSize) return false;
  for (std::size_t i = 0; i < n; ++i) out[(*length)++] = static_cast<char>(bytes[i]);
  return true;
}

}  // namespace

bool WideToAnsi(const wchar_t* wide, char* out, std::size_t outSize) {
  if (outSize == 0) return false;
  out[0] = '\0';
  std::size_t length = 0;
  for (const wchar_t* p = wide; *p != L'\0'; ++p) {
    // wchar_t is a signed 32-bit code point on Linux; negative values must
    // stay negative here so they are replaced (the checker takes wchar_t
    // for a signed char).
    const long long value = *p;  // NOLINT(bugprone-signed-char-misuse,cert-str34-c)
    const bool scalar = value >= 0 && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    if (!PutUtf8(scalar ? static_cast<char32_t>(value) : U'?', out, outSize, &length)) {
      out[0] = '\0';
      return false;
    }
  }
  out[length] = '\0';
  return true;
}

// Decoded text is ASCII, which UTF-8 widens byte for byte.
bool AnsiToWide(const char* narrow, wchar_t* out, std::size_t outSize) {
  const std::size_t length = std::strlen(narrow);
  if (length >= outSize) return false;
  for (std::size_t i = 0; i <= length; ++i) {
    out[i] = static_cast<wchar_t>(static_cast<unsigned char>(narrow[i]));
  }
  return true;
}

#endif

}  // namespace tolvane

// Nothing below allocates or throws; the catch-all is there so that no
// future change can let an exception reach a C caller.
extern "C" TOLVANE_API int32_t TOLVANE_CALL Morse2WAV(const wchar_t* text, const wchar_t* path) {
  using namespace tolvane;
  try {
    if (text == nullptr || path == nullptr) return MORSE2WAV_FAILED;
    char textBuffer[kArgBufferSize];
    char pathBuffer[kArgBufferSize];
    if (!WideToAnsi(text, textBuffer, sizeof textBuffer) ||
        !WideToAnsi(path, pathBuffer, sizeof pathBuffer)) {
      return MORSE2WAV_FAILED;
    }
    return KeyTextToWav(textBuffer, pathBuffer, UNIT_MS) ? MORSE2WAV_OK : MORSE2WAV_FAILED;
  } catch (...) {
    return MORSE2WAV_FAILED;
  }
}

extern "C" TOLVANE_API const wchar_t* TOLVANE_CALL Wave2Morse(const wchar_t* path) {
  using namespace tolvane;
  DecodedText[0] = '\0';
  char pathBuffer[kArgBufferSize];
  // The wide form goes through a scratch buffer so that a failure leaves the
  // last result untouched.
  wchar_t wide[kDecodedTextSize] = {};
  bool ok = false;
  try {
    ok = path != nullptr && WideToAnsi(path, pathBuffer, sizeof pathBuffer) &&
         DecodeWavToText(pathBuffer) && AnsiToWide(DecodedText, wide, kDecodedTextSize);
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    std::fputs(kDecodeFailedLine, stderr);
    return kErrorText;
  }
  std::memcpy(ResultText, wide, (std::wcslen(wide) + 1) * sizeof(wchar_t));
  return ResultText;
}
