// Tolvane.dll as a Windows host meets it: loaded at run time, its exports
// found by name and by ordinal, its version resource read back, and text
// converted through the ANSI code page.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tolvane/tolvane.h"

namespace {

using Morse2WAVFn = int32_t(TOLVANE_CALL*)(const wchar_t*, const wchar_t*);
using Wave2MorseFn = const wchar_t*(TOLVANE_CALL*)(const wchar_t*);

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// GetProcAddress hands back a generic function pointer; going through
// void (*)() is the conversion compilers accept without complaint.
template <typename Function>
Function As(FARPROC proc) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
}

class Dll : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryW(Widen(TOLVANE_DLL).c_str());
    ASSERT_NE(module_, nullptr) << "LoadLibraryW failed: " << GetLastError();
    morse2wavProc_ = GetProcAddress(module_, "Morse2WAV");
    wave2morseProc_ = GetProcAddress(module_, "Wave2Morse");
    ASSERT_NE(morse2wavProc_, nullptr);
    ASSERT_NE(wave2morseProc_, nullptr);
    morse2wav_ = As<Morse2WAVFn>(morse2wavProc_);
    wave2morse_ = As<Wave2MorseFn>(wave2morseProc_);
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    path_ = std::wstring(temp) + L"tolvane-dll-test-" + std::to_wstring(GetCurrentProcessId()) + L".wav";
  }
  void TearDown() override {
    DeleteFileW(path_.c_str());
    if (module_ != nullptr) FreeLibrary(module_);
  }

  std::vector<unsigned char> Keyed(const std::wstring& text) {
    EXPECT_EQ(morse2wav_(text.c_str(), path_.c_str()), MORSE2WAV_OK);
    std::vector<unsigned char> bytes;
    if (FILE* f = _wfopen(path_.c_str(), L"rb")) {
      for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<unsigned char>(c));
      std::fclose(f);
    }
    return bytes;
  }

  HMODULE module_ = nullptr;
  FARPROC morse2wavProc_ = nullptr;
  FARPROC wave2morseProc_ = nullptr;
  Morse2WAVFn morse2wav_ = nullptr;
  Wave2MorseFn wave2morse_ = nullptr;
  std::wstring path_;
};

TEST_F(Dll, ExportsByNameAndByOrdinal) {
  EXPECT_EQ(morse2wavProc_, GetProcAddress(module_, MAKEINTRESOURCEA(1)));
  EXPECT_EQ(wave2morseProc_, GetProcAddress(module_, MAKEINTRESOURCEA(2)));
  EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(3)), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "KeyTextToWav"), nullptr);
}

TEST_F(Dll, KeysAndDecodesThroughBothExports) {
  EXPECT_EQ(Keyed(L"SOS").size(), 28844u);
  EXPECT_EQ(std::wstring(wave2morse_(path_.c_str())), L"SOS");
  Keyed(L"hello  world");
  EXPECT_EQ(std::wstring(wave2morse_(path_.c_str())), L"HELLO WORLD");
  EXPECT_EQ(morse2wav_(nullptr, path_.c_str()), MORSE2WAV_FAILED);
  EXPECT_EQ(morse2wav_(std::wstring(200, L'E').c_str(), path_.c_str()), MORSE2WAV_FAILED);
  EXPECT_EQ(std::wstring(wave2morse_(L"Z:\\no\\such\\file.wav")), L"ERROR");
}

TEST_F(Dll, CharactersOutsideTheCodePageAreKeyedAsQuestionMarks) {
  const std::vector<unsigned char> question = Keyed(L"?");
  EXPECT_EQ(Keyed(L"\u0416"), question);  // Cyrillic
  EXPECT_EQ(Keyed(L"\u4e2d"), question);  // CJK
  EXPECT_EQ(Keyed(L"caf\u00e9"), Keyed(L"CAF"));  // in code page 1252, but no code
  Keyed(L"\u0416 \u4e2d");
  EXPECT_EQ(std::wstring(wave2morse_(path_.c_str())), L"? ?");
}

std::wstring VersionString(const std::vector<unsigned char>& info, const wchar_t* name) {
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), key.c_str(), &value, &length)) return L"<missing>";
  return length == 0 ? L"" : std::wstring(static_cast<const wchar_t*>(value));
}

TEST_F(Dll, VersionResource) {
  const std::wstring file = Widen(TOLVANE_DLL);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);

  WORD* translation = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                             &length));
  ASSERT_GE(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 1200);

  const std::pair<const wchar_t*, const wchar_t*> strings[] = {
      {L"FileDescription", L"Tolvane DLL"},
      {L"InternalName", L"Tolvane"},
      {L"OriginalFilename", L"Tolvane.DLL"},
      {L"ProductName", L"Tolvane Dynamic Link Library"},
      {L"FileVersion", L"1, 0, 0, 1"},
      {L"ProductVersion", L"1, 0, 0, 1"},
      {L"CompanyName", L""},
  };
  for (const auto& [name, expected] : strings) {
    const std::wstring value = VersionString(info, name);
    EXPECT_EQ(value, expected) << std::string(name, name + wcslen(name));
    std::wprintf(L"%ls: \"%ls\"\n", name, value.c_str());
  }
}

}  // namespace
