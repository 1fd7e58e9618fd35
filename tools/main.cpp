// tolvane: key text into Morse-code audio and read Morse-code audio back.
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "audio_source.h"
#include "commands.h"
#include "options.h"

namespace tolvane::tool {

const char kUsage[] =
    "usage: tolvane encode [--wpm N | --unit-ms N] TEXT|- OUTPUT.wav\n"
    "       tolvane decode [--basic | --robust] [--explain] [--raw RATE [--raw-format s16|u8|f32]]\n"
    "                      [--max-duration SECONDS] INPUT|-\n"
    "       tolvane --help | --version\n";

namespace {

// What other formats this build reads, for --help.
std::string Formats() {
  return ReadsOtherFormats()
             ? "      8000 Hz 16-bit mono PCM WAV is read as Wave2Morse reads it; other\n"
               "      formats (any WAV, FLAC, Ogg, MP3, AIFF, ...) are mixed to mono and\n"
               "      resampled to 8000 Hz first. Sample rates from 1 kHz to 100 MHz.\n"
               "      A stream (standard input, a pipe) may hold WAV, Wave64, AIFF, CAF,\n"
               "      AU, FLAC, Ogg or MP3; a WAV header's size is only an upper bound on\n"
               "      a stream, which is read to its end.\n"
             : "      This build reads 8000 Hz 16-bit mono PCM WAV only.\n";
}

int Help() {
  std::printf(
      "Tolvane keys text into Morse-code audio (8000 Hz 16-bit mono WAV, 600 Hz tone)\n"
      "and reads Morse-code audio back into text.\n"
      "\n"
      "  tolvane encode [--wpm N | --unit-ms N] TEXT|- OUTPUT.wav\n"
      "      Key TEXT (standard input when TEXT is -) into OUTPUT.wav.\n"
      "      --unit-ms N  one unit (a dot) lasts N ms, 5 to 200 (default 60)\n"
      "      --wpm N      N words per minute: a unit of 1200/N ms, N from 6 to 240.\n"
      "                   A word gap is 10 units here (3 after the letter, 7 for the\n"
      "                   space), so PARIS and its gap take 53 units, not 50.\n"
      "\n"
      "  tolvane decode [--basic | --robust] [--explain] [--raw RATE [--raw-format F]]\n"
      "                 [--max-duration SECONDS] INPUT|-\n"
      "      Print the text keyed in INPUT (standard input when INPUT is -); the\n"
      "      speed is estimated from the recording. Input is read block by block.\n"
      "%s"
      "      --basic      the recogniser Wave2Morse uses (the default). It reads the\n"
      "                   input in passes; of a stream it keeps the first 10 minutes\n"
      "                   for a second look, and refuses a longer one whose loudest\n"
      "                   moment comes later (give it as a file).\n"
      "      --robust     use the recogniser for real recordings: noise, fading, hand\n"
      "                   keying, Farnsworth spacing, any pitch, changing speed\n"
      "      --raw RATE   headerless mono samples at RATE Hz (1000 to 100000000)\n"
      "      --raw-format F   their format: s16 (signed 16-bit, the default), u8\n"
      "                   (unsigned 8-bit, as rtl_sdr writes) or f32; little-endian\n"
      "      --max-duration SECONDS   read at most this much audio\n"
      "      --explain    also print on standard error what the recogniser measured\n"
      "\n"
      "  tolvane --help      this text\n"
      "  tolvane --version   the version\n"
      "\n"
      "Options take their value as --name VALUE or --name=VALUE; numbers are plain\n"
      "decimals (7.5, not 0x14 or 1e1).\n"
      "Exit status: 0 on success, 1 when the job fails, 2 for a usage mistake.\n",
      Formats().c_str());
  return kExitOk;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") return Help();
  if (command == "--version") {
    std::printf("tolvane %s\n", TOLVANE_VERSION);
    return kExitOk;
  }
  if (command == "encode") return Encode(argc - 2, argv + 2);
  if (command == "decode") return Decode(argc - 2, argv + 2);
  return Usage("unknown command " + command);
}

}  // namespace
}  // namespace tolvane::tool

int main(int argc, char** argv) {
  int code = tolvane::tool::kExitFailed;
  try {
    code = tolvane::tool::Run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tolvane: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tolvane: %s\n", e.what());
  }
  return tolvane::tool::FinishOutput(code);
}
