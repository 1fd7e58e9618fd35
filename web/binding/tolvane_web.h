// The C functions the page's JavaScript calls in the WebAssembly build. They
// also build natively, so the tests can check them without a browser.
// Strings returned belong to the library and stay valid until the next call
// of the same kind.
#ifndef TOLVANE_WEB_BINDING_TOLVANE_WEB_H
#define TOLVANE_WEB_BINDING_TOLVANE_WEB_H

#include <cstdint>

extern "C" {

// --- The streaming recogniser ------------------------------------------------

typedef struct TvDecoder TvDecoder;

// A decoder for real audio at `sampleRate` (1000 to 768000 Hz). `pitchHz`
// > 0 listens near that pitch only; `bandLoHz` and `bandHiHz` (both 0: the
// whole band) bound the search. Null when an option is out of range.
TvDecoder* tv_decoder_new(double sampleRate, double pitchHz, double bandLoHz, double bandHiHz);
void tv_decoder_free(TvDecoder* decoder);
// Room for `count` samples for the next push, inside the decoder; the
// caller fills it and calls tv_decoder_push. Null when out of memory.
float* tv_decoder_input(TvDecoder* decoder, int count);
// Pushes the first `count` samples of the input room, -1 to 1 (Web
// Audio's scale); the room's contents are used up.
void tv_decoder_push(TvDecoder* decoder, int count);
// The end of the input: decides everything still pending.
void tv_decoder_flush(TvDecoder* decoder);
// The events decided since the last call, as a JSON array of objects with
// wordGap, start, time, text, code, confidence, pitchHz, wpm and snrDb.
const char* tv_decoder_take(TvDecoder* decoder);
// What the engine is doing, as a JSON object: locked, open, pitchHz, wpm,
// snrDb, characters.
const char* tv_decoder_status(TvDecoder* decoder);

// --- The keyer -----------------------------------------------------------------

// Keys UTF-8 `text` with the encoder's options into 16-bit samples, kept
// until the next call. `volumeDb` above 0 keeps the library's level;
// `wordGapUnits` 0 takes the default (7 with Farnsworth, else 10);
// `charset` is a charset name ("basic", "latin", ...); `collapse` nonzero
// reads any run of whitespace as one word gap, none at either end. Returns
// the sample count, or -1 with the reason in tv_key_error().
int tv_key(const char* text, double wpm, double farnsworthWpm, double wordGapUnits, double weightPercent,
           double pitchHz, double volumeDb, int sampleRate, double riseMs, const char* charset,
           int transliterate, int collapse);
const std::int16_t* tv_key_samples(void);
const char* tv_key_error(void);
// What the last keying skipped: a JSON object {count, characters}, the
// first few different characters as UTF-8 strings.
const char* tv_key_skipped(void);
}

#endif  // TOLVANE_WEB_BINDING_TOLVANE_WEB_H
