/* A C host of the installed library: keys "SOS" and checks the result. */
#include <stdio.h>
#include <stdlib.h>
#include <tolvane/tolvane.h>

int main(int argc, char** argv) {
  wchar_t path[4096];
  FILE* file;
  long size;
  int32_t status;
  if (argc != 2 || mbstowcs(path, argv[1], 4096) == (size_t)-1) return 2;
  status = Morse2WAV(L"SOS", path);
  if (status != MORSE2WAV_OK) {
    fprintf(stderr, "Morse2WAV returned %d\n", (int)status);
    return 1;
  }
  file = fopen(argv[1], "rb");
  if (file == NULL || fseek(file, 0, SEEK_END) != 0) return 1;
  size = ftell(file);
  fclose(file);
  printf("Morse2WAV: %d, file: %ld bytes\n", (int)status, size);
  return size == 28844 ? 0 : 1;
}
