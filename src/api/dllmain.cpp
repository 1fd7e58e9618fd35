// Windows module entry point. Nothing needs setting up or tearing down: the
// result buffers are static storage and no runtime asks to be told.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}
