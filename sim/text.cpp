// Texts as they are sent on the air. Exchanges are separated by '|', where
// the keyer pauses.
#include <string>
#include <vector>

#include "morse/morse.h"
#include "sim/sim.h"

namespace tolvane::sim {
namespace {

template <std::size_t N>
const char* Pick(const char* const (&options)[N], Random& random) {
  return options[random.Integer(0, static_cast<int>(N) - 1)];
}

char Letter(Random& random) { return static_cast<char>('A' + random.Integer(0, 25)); }
char Digit(Random& random) { return static_cast<char>('0' + random.Integer(0, 9)); }

std::string Letters(int count, Random& random) {
  std::string s;
  for (int i = 0; i < count; ++i) s += Letter(random);
  return s;
}

const char* const kPrefixes[] = {"W",  "K",   "N",  "AA", "KB", "VE", "VK", "ZL", "G",  "M",
                                 "DL", "DK",  "F",  "I",  "EA", "JA", "JH", "UA", "OH", "SM",
                                 "PA", "ON",  "OK", "SP", "YO", "LZ", "HA", "9A", "S5", "PY",
                                 "LU", "ZS",  "5B", "4X", "OE", "EI", "GM", "VU", "HB9", "OZ"};

std::string BareCall(Random& random) {
  return std::string(Pick(kPrefixes, random)) + Digit(random) + Letters(random.Integer(1, 3), random);
}

// A summit reference as portable stations give it.
std::string Summit(Random& random) {
  const char* const associations[] = {"G/LD", "HB/BE", "DM/BM", "W7A/MN", "VK2/SC", "OE/TL"};
  std::string number = std::to_string(random.Integer(1, 199));
  while (number.size() < 3) number = "0" + number;
  return std::string(Pick(associations, random)) + "-" + number;
}

// Contest serials with the usual cut numbers now and then (0 as T, 9 as N,
// 1 as A): 001 is sent TT1 or TTA.
std::string Serial(Random& random) {
  std::string number = std::to_string(random.Integer(1, 1500));
  while (number.size() < 3) number = "0" + number;
  if (random.Uniform() < 0.5) {
    for (char& c : number) {
      if (c == '0') c = 'T';
      if (c == '9') c = 'N';
      if (c == '1' && random.Uniform() < 0.3) c = 'A';
    }
  }
  return number;
}

std::string Report(Random& random) {
  const char* const reports[] = {"599", "579", "559", "449", "339"};
  return Pick(reports, random);
}

std::string CqExchange(Random& random) {
  const std::string me = Callsign(random);
  switch (random.Integer(0, 3)) {
    case 0: return "CQ CQ CQ DE " + me + " " + me + " K";
    case 1: return "CQ DX CQ DX DE " + me + " " + me + " PSE K";
    case 2: return "CQ TEST " + me + " " + me;
    default: {
      const std::string portable = BareCall(random) + "/P";
      return "CQ SOTA DE " + portable + " " + portable + " " + Summit(random) + " K";
    }
  }
}

std::string ContestExchange(Random& random) {
  const std::string them = Callsign(random);
  const std::string me = Callsign(random);
  switch (random.Integer(0, 3)) {
    case 0: return them + " 5NN " + Serial(random);
    case 1: return "TU " + me + " TEST|" + them + "|" + them + " 5NN " + Serial(random);
    case 2: return them.substr(0, 3) + "?|" + them + " 5NN " + std::to_string(random.Integer(1, 40));
    default: return "NR?|5NN " + Serial(random) + " " + Serial(random) + "|TU";
  }
}

std::string PileupExchange(Random& random) {
  const std::string dx = BareCall(random);
  const std::string caller = Callsign(random);
  switch (random.Integer(0, 3)) {
    case 0: return dx + " UP " + std::to_string(random.Integer(1, 5));
    case 1: return caller.substr(0, 2) + "?|" + caller + " 5NN|TU UP";
    case 2: return "QRZ? " + dx + " UP|" + caller + " " + caller;
    default: return caller + " AGN?|" + caller + " 599 TU " + dx + " UP " + std::to_string(random.Integer(1, 5));
  }
}

std::string RagchewExchange(Random& random) {
  const char* const names[] = {"JIM", "ANNA", "BOB", "HANS", "YUKI", "PETE", "MARIA", "OLLE"};
  const char* const places[] = {"BOSTON", "BERLIN", "OSAKA", "LYON", "PERTH", "OSLO", "RIGA"};
  const char* const rigs[] = {"IC7300", "K3", "FT991", "HOMEBREW QRP", "TS590"};
  const std::string a = Callsign(random);
  const std::string b = Callsign(random);
  switch (random.Integer(0, 4)) {
    case 0:
      return a + " DE " + b + " GM OM TNX FER CALL = UR RST " + Report(random) + " " + Report(random) +
             " = NAME " + Pick(names, random) + " QTH " + Pick(places, random) + " HW? " + a + " DE " + b + " KN";
    case 1:
      return std::string("R R FB OM = RIG ") + Pick(rigs, random) + " PWR " + std::to_string(random.Integer(5, 100)) +
             "W ANT DIPOLE = WX SUNNY ES WARM, TEMP " + std::to_string(random.Integer(2, 30)) + "C BK";
    case 2:
      return "TNX FER NICE QSO " + std::string(Pick(names, random)) + " ES HPE CUL = 73 ES GL " + a + " DE " + b + " SK";
    case 3:
      return "QSB HR, PSE AGN UR NAME? ALSO QRM FROM " + BareCall(random) + " BK";
    default:
      return "SRI OM, QRL? I'M QRV AT 1800Z; EMAIL ME@" + std::string(Pick(places, random)) +
             ".NET (OR \"QSL VIA BURO\") $5 + SASE OK! " + a + "_2 BK";
  }
}

std::string AlphabetWords(Random& random, std::size_t minLength) {
  std::string all;
  for (const MorseEntry& entry : MorseTable) all += entry.character;
  std::string text;
  while (NormaliseText(text).size() < minLength) {
    std::string deck = all;
    for (std::size_t i = deck.size(); i > 1; --i) {
      const auto j = static_cast<std::size_t>(random.Integer(0, static_cast<int>(i) - 1));
      std::swap(deck[i - 1], deck[j]);
    }
    for (std::size_t i = 0; i < deck.size();) {
      const auto length = static_cast<std::size_t>(random.Integer(2, 6));
      if (!text.empty()) text += ' ';
      text += deck.substr(i, length);
      i += length;
    }
  }
  return text;
}

}  // namespace

std::string NormaliseText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != ' ' && LookupCode(c) != nullptr) {
      out += c;
    } else if (!out.empty() && out.back() != ' ') {
      out += ' ';
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string Callsign(Random& random) {
  const double u = random.Uniform();
  if (u < 0.08) return BareCall(random) + "/P";
  if (u < 0.12) return BareCall(random) + (random.Uniform() < 0.5 ? "/M" : "/QRP");
  if (u < 0.18) return std::string(Pick(kPrefixes, random)) + Digit(random) + "/" + BareCall(random);
  return BareCall(random);
}

std::string ShortMessage(Random& random) {
  const char* const messages[] = {"TU 5NN", "K", "73", "TU", "R", "R R", "QSL TU", "5NN TU", "73 SK",
                                  "TU UP", "AGN?", "RR 73", "GL 73", "QRZ?", "CFM TU", "EE"};
  return Pick(messages, random);
}

std::string MakeText(TextKind kind, Random& random, std::size_t minLength) {
  if (kind == TextKind::kAlphabet) return AlphabetWords(random, minLength);
  if (kind == TextKind::kRandom) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/?.,=";
    std::string text;
    while (text.size() < minLength) {
      if (!text.empty()) text += ' ';
      for (int i = random.Integer(2, 6); i > 0; --i) text += alphabet[static_cast<std::size_t>(random.Integer(0, 39))];
    }
    return text;
  }
  std::string text;
  while (NormaliseText(text).size() < minLength) {
    TextKind exchangeKind = kind;
    if (kind == TextKind::kOnAir) exchangeKind = static_cast<TextKind>(random.Integer(1, 4));
    if (!text.empty()) text += '|';
    switch (exchangeKind) {
      case TextKind::kCq: text += CqExchange(random); break;
      case TextKind::kContest: text += ContestExchange(random); break;
      case TextKind::kPileup: text += PileupExchange(random); break;
      default: text += RagchewExchange(random); break;
    }
  }
  return text;
}

}  // namespace tolvane::sim
