#include "console.h"

#include <atomic>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>

#include <csignal>
#endif

namespace scanlink::cli {
namespace {

std::atomic<void (*)()> g_onInterrupt{nullptr};

void Interrupted() {
  if (auto f = g_onInterrupt.load()) f();
}

}  // namespace

#ifdef _WIN32

namespace {

// Runs on a thread the system starts; TRUE keeps the process alive.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  Interrupted();
  return TRUE;
}

}  // namespace

bool IsTerminal(std::FILE* stream) {
  const int fd = _fileno(stream);
  if (fd < 0 || _isatty(fd) == 0) return false;  // _isatty is also true for NUL: check the mode
  const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void CatchInterrupt(void (*onInterrupt)()) {
  g_onInterrupt = onInterrupt;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ReleaseInterrupt() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  g_onInterrupt = nullptr;
}

// Windows reports a write to a closed pipe as an error already.
void IgnoreBrokenPipe() {}

#else

namespace {

extern "C" void OnSignal(int) { Interrupted(); }

}  // namespace

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

void CatchInterrupt(void (*onInterrupt)()) {
  g_onInterrupt = onInterrupt;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

void ReleaseInterrupt() {
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  g_onInterrupt = nullptr;
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

#endif

}  // namespace scanlink::cli
