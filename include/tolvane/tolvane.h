/*
 * Tolvane: text to Morse-code audio and back.
 *
 * The whole C API. Usable from C and C++. Strings cross this boundary as
 * NUL-terminated wide strings; on Linux they are converted to UTF-8 inside,
 * on Windows to the system's ANSI code page.
 */
#ifndef TOLVANE_TOLVANE_H
#define TOLVANE_TOLVANE_H

#include <stddef.h> /* wchar_t */
#include <stdint.h>

/* The platform's standard calling convention: __stdcall on 32-bit Windows. */
#if defined(_WIN32) && !defined(_WIN64)
#define TOLVANE_CALL __stdcall
#else
#define TOLVANE_CALL
#endif

#if defined(TOLVANE_STATIC)
#define TOLVANE_API
#elif defined(_WIN32)
#if defined(TOLVANE_BUILDING)
#define TOLVANE_API __declspec(dllexport)
#else
#define TOLVANE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TOLVANE_API __attribute__((visibility("default")))
#else
#define TOLVANE_API
#endif

/* Results of Morse2WAV. */
#define MORSE2WAV_OK 999
#define MORSE2WAV_FAILED 2

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Keys `text` as Morse code into a new WAV file at `path` (created, or
 * truncated if it exists): 600 Hz tone, 60 ms per unit, 8000 Hz 16-bit mono
 * PCM. Letters, digits and . , ? ' ! / ( ) & : ; = + - _ " $ @ are keyed
 * (lower case as upper case); a space is a word gap; anything else is
 * skipped.
 *
 * [in] text  message, at most 199 bytes once converted. Not kept.
 * [in] path  output file, at most 199 bytes once converted. Not kept.
 * Returns MORSE2WAV_OK (999) when the whole file was written, otherwise
 * MORSE2WAV_FAILED (2): a null or overlong argument (nothing is created),
 * a file that cannot be created, or a failed write (the partial file stays).
 * Thread-safe: calls for different files may run at the same time.
 */
TOLVANE_API int32_t TOLVANE_CALL Morse2WAV(const wchar_t* text, const wchar_t* path);

/*
 * Reads a Morse recording from the WAV file at `path` and returns the text
 * keyed in it, in upper case, with one space per word gap. The file must be
 * 8000 Hz 16-bit mono PCM; the speed is estimated from the recording (a unit
 * of 5 to 200 ms). A code no character has reads as '?'.
 *
 * [in] path  WAV file, at most 199 bytes once converted. Not kept.
 * Returns the decoded text (at most 199 characters), or the constant string
 * "ERROR" when the file cannot be decoded, after printing the one line
 * "Decoding failed. Ensure 8kHz 16-bit mono PCM." on standard error. The
 * result is never null. It belongs to the library: do not free or modify
 * it. The decoded text stays valid until the next successful call, which
 * overwrites it; a failed call leaves it as it was. A decoded "ERROR" is told
 * from a failure only by its address.
 * Not re-entrant: callers on several threads must serialise their calls.
 */
TOLVANE_API const wchar_t* TOLVANE_CALL Wave2Morse(const wchar_t* path);

#ifdef __cplusplus
}
#endif

#endif /* TOLVANE_TOLVANE_H */
