/* Wave2Morse on one path, for bench/memory.sh: prints the text. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <tolvane/tolvane.h>

int main(int argc, char** argv) {
  wchar_t path[512];
  if (argc != 2 || mbstowcs(path, argv[1], 512) == (size_t)-1) return 2;
  printf("%ls\n", Wave2Morse(path));
  return 0;
}
