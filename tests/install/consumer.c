/* A C host of the installed library: keys texts, decodes them back and
   checks both results. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <tolvane/tolvane.h>

struct round_trip {
  const wchar_t* keyed;
  const wchar_t* decoded;
};

static const struct round_trip kCases[] = {
    {L"SOS", L"SOS"},   {L"hello  world", L"HELLO WORLD"},
    {L"E", L"E"},       {L"A", L"A"},
    {L"I", L"I"},       {L"M", L"M"},
    {L"N", L"N"},       {L"EE", L"EE"},
    {L"A ", L"A "},     {L"ET", L"ET"},
    {L"TE", L"TE"},     {L" A", L" A"},
    {L"A  B", L"A B"},  {L"SOS ", L"SOS "},
    {L"PARIS", L"PARIS"}, {L"73", L"73"},
    {L"TEST", L"TEST"}, {L"MM", L"MM"},
    {L"Q", L"Q"},       {L"O", L"O"},
    {L"T", L"E"},       {L"TT", L"I"},
    {L"TTT", L"S"},     {L"TTTT", L"H"},
};

int main(int argc, char** argv) {
  wchar_t path[4096];
  FILE* file;
  long size;
  int32_t status;
  size_t i;
  int failures = 0;
  if (argc != 2 || mbstowcs(path, argv[1], 4096) == (size_t)-1) return 2;
  status = Morse2WAV(L"SOS", path);
  file = fopen(argv[1], "rb");
  if (status != MORSE2WAV_OK || file == NULL || fseek(file, 0, SEEK_END) != 0) {
    fprintf(stderr, "Morse2WAV returned %d\n", (int)status);
    return 1;
  }
  size = ftell(file);
  fclose(file);
  printf("Morse2WAV: %d, file: %ld bytes\n", (int)status, size);
  if (size != 28844) return 1;

  for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    const wchar_t* text;
    if (Morse2WAV(kCases[i].keyed, path) != MORSE2WAV_OK) return 1;
    text = Wave2Morse(path);
    if (wcscmp(text, kCases[i].decoded) != 0) {
      fprintf(stderr, "case %u decoded wrongly\n", (unsigned)i);
      ++failures;
    }
  }
  printf("%u round trips, %d wrong\n", (unsigned)i, failures);
  return failures == 0 ? 0 : 1;
}
