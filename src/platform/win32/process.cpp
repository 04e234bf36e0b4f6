#include "platform/process.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace scanlink::platform {

uint32_t ProcessId() { return GetCurrentProcessId(); }

namespace {

std::wstring Wide(const char* utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), n);
  text.resize(static_cast<size_t>(n - 1));
  return text;
}

template <typename Fn>
Fn Find(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// A process without a visible window station (a service, a session without a desktop) has no
// one to click a modal box away; it would block the caller for good.
bool CanShowWindows(HMODULE user32) {
  using StationFn = HWINSTA(WINAPI*)();
  using InfoFn = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
  auto station = Find<StationFn>(user32, "GetProcessWindowStation");
  auto info = Find<InfoFn>(user32, "GetUserObjectInformationW");
  if (station == nullptr || info == nullptr) return false;
  HWINSTA ws = station();
  if (ws == nullptr) return false;
  USEROBJECTFLAGS flags{};
  if (!info(ws, UOI_FLAGS, &flags, sizeof flags, nullptr)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void UserMessage(const char* text) {
  // Also on the console and the debugger, wherever the box cannot be seen.
  ConsoleMessage(text);
  const std::wstring wide = Wide(text);
  OutputDebugStringW(wide.c_str());
  // user32 is loaded only for this rare message: the library itself needs no window system.
  HMODULE user32 = LoadLibraryW(L"user32.dll");
  if (user32 == nullptr) return;
  using MessageBoxFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
  auto box = Find<MessageBoxFn>(user32, "MessageBoxW");
  if (box != nullptr && CanShowWindows(user32)) {
    box(nullptr, wide.c_str(), L"scanlink", MB_OK | MB_ICONWARNING);
  }
  FreeLibrary(user32);
}

void ConsoleMessage(const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace scanlink::platform
