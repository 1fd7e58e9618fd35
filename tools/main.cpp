// tolvane: key text into Morse-code audio and read Morse-code audio back.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "audio_source.h"
#include "commands.h"
#include "options.h"

namespace tolvane::tool {

const char kUsage[] =
    "usage: tolvane encode [OPTIONS] TEXT|- OUTPUT\n"
    "       tolvane encode [OPTIONS] --file PATH|- OUTPUT\n"
    "       tolvane encode [OPTIONS] --groups N [--koch K] [--seed N] OUTPUT\n"
    "       tolvane decode [--robust | --basic] [--json | --timestamps] [--pitch HZ] [--band LO-HI]\n"
    "                      [--charset NAME]\n"
    "                      [--raw RATE [--raw-format s16|u8|f32]] [--max-duration SECONDS]\n"
    "                      [--explain] INPUT|-\n"
    "       tolvane skim [OPTIONS] INPUT|-\n"
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
  // The text is longer than stdio's buffer: a write fails inside printf.
  const int written = std::printf(
      "Tolvane keys text into Morse-code audio and reads Morse-code audio back into\n"
      "text.\n"
      "\n"
      "  tolvane encode [OPTIONS] TEXT|- OUTPUT\n"
      "  tolvane encode [OPTIONS] --file PATH|- OUTPUT\n"
      "  tolvane encode [OPTIONS] --groups N [--koch K] [--seed N] OUTPUT\n"
      "      Key TEXT, a text file or random groups into OUTPUT (- : a WAV stream on\n"
      "      standard output). Without options OUTPUT is what the library's Morse2WAV\n"
      "      writes: 8000 Hz 16-bit mono WAV, a 600 Hz tone, 20 WPM, hard keying. An\n"
      "      existing file is replaced only once the new one is complete.\n"
      "    Timing (a unit is the length of a dot):\n"
      "      --wpm N          N words per minute: a unit of 1200/N ms, N from 6 to 240\n"
      "      --unit-ms N      a unit of N ms, a whole number from 5 to 200 (default 60)\n"
      "      --farnsworth N   effective speed, 1 WPM to --wpm (ARRL rule): letters at\n"
      "                       --wpm, the gaps between letters and words stretched so\n"
      "                       that PARIS and its word gap take 60/N s; implies\n"
      "                       --word-gap 7\n"
      "      --word-gap U     silence between words, 4 to 100 units: 7 is the\n"
      "                       international standard; the default 10 is the\n"
      "                       library's (3 after the letter, 7 for the space)\n"
      "      --weight P       20 to 80 (default 50): every mark is lengthened and the\n"
      "                       space after it shortened by (P - 50) / 50 units, so a\n"
      "                       dot and its space (2 units) are P %% tone\n"
      "    Sound:\n"
      "      --pitch HZ       the tone, 100 to 4000 Hz and below half the rate\n"
      "                       (default 600)\n"
      "      --volume DB      the peak level, -60 to 0 dBFS (default: the library's\n"
      "                       16000 of 32767, -6.2 dBFS)\n"
      "      --rate HZ        samples per second, 8000 to 192000 (default 8000)\n"
      "      --rise-ms MS     raised-cosine rise and fall of each mark, from silence to\n"
      "                       full level, inside the mark; 0 to 50 (default 0: hard\n"
      "                       keying, which clicks). 5 is sensible: the energy more\n"
      "                       than 400 Hz off the tone stays under -55 dB, and the\n"
      "                       ramps (twice the value) fit a dot up to 100 WPM\n"
      "      --format F       wav, flac, ogg (Vorbis), opus or mp3; by default from\n"
      "                       OUTPUT's extension (none: WAV). Opus takes 8000, 12000,\n"
      "                       16000, 24000 and 48000 Hz; MP3 8000 to 48000 Hz in the\n"
      "                       MPEG steps.%s\n"
      "    Text:\n"
      "      --file PATH      key a text file (- for standard input, as TEXT - does):\n"
      "                       any run of whitespace is one word gap. In TEXT every\n"
      "                       space, tab and line break is one.\n"
      "      <AR> <SK> ...    letters in angle brackets are keyed as one character\n"
      "      --charset C      basic (default), latin (A-Z and ä á å é ñ ö ü ch ...),\n"
      "                       cyrillic, greek, hebrew or arabic\n"
      "      --transliterate  key letters the charset lacks as the basic alphabet\n"
      "                       spells them: é as E, Щ as SHCH\n"
      "      --strict         fail (exit 1, nothing written) if any character cannot\n"
      "                       be keyed; without it they are named on standard error\n"
      "      --groups N       N groups of five characters drawn at random from the\n"
      "      --koch K         first K (2 to 41, default 41) of the Koch order\n"
      "      --seed N         KMURESNAPTLWI.JZ=FOY,VG5/Q92H38B?47C1D60X; the same seed\n"
      "                       gives the same groups (and practice file)\n"
      "    Practice (the channel simulator of accuracy --write; each off unless\n"
      "    given):\n"
      "      --snr DB         receiver noise, white in 300-2700 Hz, DB (-30 to 60)\n"
      "                       below the key-down tone, counted in 2500 Hz; the tone\n"
      "                       is lowered so that it and 4 standard deviations of\n"
      "                       noise come to the --volume level\n"
      "      --fade HZ        Rayleigh fading of Doppler spread HZ, 0.01 to 20 (0.1\n"
      "                       slow, 1 disturbed, 10 flutter); the tone is lowered\n"
      "                       threefold for the fading's peaks\n"
      "      --fist KIND      machine (exact), straight, bug (dots automatic) or\n"
      "                       paddle (characters automatic): a random operator of\n"
      "                       that kind at --wpm, with its own weight and gaps (so\n"
      "                       not with --weight or --word-gap)\n"
      "      --jitter F       each length the hand times (machine: every length)\n"
      "                       times 1 + a uniform number from -F to F, 0 to 0.5\n"
      "\n"
      "  tolvane decode [OPTIONS] INPUT|-\n"
      "      Print the text keyed in INPUT (standard input when INPUT is -) as it is\n"
      "      decided, a second or so after each character: INPUT is read block by\n"
      "      block, so a pipe from a receiver shows text while the sender sends.\n"
      "      One line per transmission. Nothing is printed for noise, a carrier,\n"
      "      speech or a sweep: exit 1 with \"no Morse code found\".\n"
      "%s"
      "      --robust     the recogniser for real recordings (the default): noise,\n"
      "                   fading, hand keying, Farnsworth spacing, any pitch,\n"
      "                   changing speed\n"
      "      --basic      the recogniser Wave2Morse uses: the whole text at the end.\n"
      "                   It reads the input in passes; of a stream it keeps the\n"
      "                   first 10 minutes for a second look, and refuses a longer\n"
      "                   one whose loudest moment comes later (give it as a file).\n"
      "      --json       one JSON object per line: a start line, one per character\n"
      "                   or word gap (time, text, code, confidence, freq, wpm,\n"
      "                   snr_db) and an end line\n"
      "      --timestamps start each line with its audio time, HH:MM:SS.s\n"
      "      --pitch HZ   listen near this pitch only, following its drift\n"
      "      --band LO-HI look for the signal between LO and HI Hz only\n"
      "      --charset NAME   read codes in this alphabet too: latin, cyrillic,\n"
      "                   greek, hebrew or arabic (.-.- is Ä in latin); a code no\n"
      "                   character has prints as the prosign it is (<AA>) or ?\n"
      "      --raw RATE   headerless mono samples at RATE Hz (1000 to 100000000)\n"
      "      --raw-format F   their format: s16 (signed 16-bit, the default), u8\n"
      "                   (unsigned 8-bit, as rtl_sdr writes) or f32; little-endian\n"
      "      --max-duration SECONDS   read at most this much audio\n"
      "      --explain    also print on standard error what the recogniser measured\n"
      "      Ctrl-C prints what is still pending, then stops.\n"
      "\n"
      "  tolvane skim [OPTIONS] INPUT|-\n"
      "      Every Morse signal in INPUT at once, live: on a terminal a line per\n"
      "      signal that grows as it is read, otherwise a line per transmission:\n"
      "      offset (or frequency on the air), speed, SNR, text. A signal shows\n"
      "      once its first characters read as Morse; a carrier never does. Any\n"
      "      rate; nothing is resampled.\n"
      "      --raw RATE       headerless samples at RATE Hz (rtl_sdr, arecord, sox)\n"
      "      --raw-format F   s16 (default), u8 (centred on 127.5) or f32, little-endian\n"
      "      --iq             two channels, or interleaved pairs with --raw: I then Q;\n"
      "                       the band is -rate/2 to +rate/2 around the centre\n"
      "      --band LO-HI     look for signals between LO and HI Hz only (default: audio\n"
      "                       100 Hz to 0.45 x rate, I/Q -0.45 to +0.45 x rate)\n"
      "      --json           JSON Lines: signal found/lost, text per character, end\n"
      "      --dial KHZ       the receiver's dial (for I/Q its centre): frequencies on\n"
      "      --usb | --lsb    the air; the sideband of audio input (default --usb)\n"
      "      --spots          print DX-cluster spots of stations calling CQ (needs\n"
      "                       --dial): a call copied the same way twice, once per 10\n"
      "                       minutes and 0.5 kHz\n"
      "      --spotter CALL   the spotter's call in spots (default NOCALL-#)\n"
      "      --start HH:MM    the input's start, UTC, for the spots' times (default:\n"
      "                       now)\n"
      "      --serve PORT     also serve the spots on 127.0.0.1:PORT as a cluster node\n"
      "                       does (0: any free port, named on standard error)\n"
      "\n"
      "  tolvane --help      this text (also tolvane COMMAND --help, or -h)\n"
      "  tolvane --version   the version\n"
      "\n"
      "Options take their value as --name VALUE or --name=VALUE; numbers are plain\n"
      "decimals (7.5, not 0x14 or 1e1).\n"
      "Exit status: 0 on success, 1 when the job fails (decode: also when no Morse\n"
      "code was found), 2 for a usage mistake.\n",
      ReadsOtherFormats() ? "" : " This build writes WAV only.", Formats().c_str());
  if (written < 0) NoteOutputError(errno);
  return kExitOk;
}

// Whether a command's arguments ask for help (--help or -h before any "--"),
// which then comes before every other check.
bool AsksForHelp(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") return Help();
  if (command == "--version") {
    if (std::printf("tolvane %s\n", TOLVANE_VERSION) < 0) NoteOutputError(errno);
    return kExitOk;
  }
  const bool known = command == "encode" || command == "decode" || command == "skim";
  if (known && AsksForHelp(argc - 2, argv + 2)) return Help();
  if (command == "encode") return Encode(argc - 2, argv + 2);
  if (command == "decode") return Decode(argc - 2, argv + 2);
  if (command == "skim") return Skim(argc - 2, argv + 2);
  return Usage("unknown command " + command);
}

}  // namespace
}  // namespace tolvane::tool

int main(int argc, char** argv) {
  // A reader that goes away (`| head`) shows as EPIPE on the next write,
  // which ends the run quietly, instead of a signal mid-write.
  std::signal(SIGPIPE, SIG_IGN);
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
