// What the tool needs from the console and the process, the same on Linux and Windows: whether a
// stream is a terminal that understands cursor codes, Ctrl-C, broken pipes.
#pragma once

#include <cstdio>

namespace scanlink::cli {

// True when stream is a terminal that takes "\r\033[K" and colour codes (on Windows: a console
// that accepted virtual terminal processing).
bool IsTerminal(std::FILE* stream);

// Ctrl-C (and a termination request) calls onInterrupt instead of ending the process, until
// ReleaseInterrupt. onInterrupt may run on another thread or in a signal handler: it may only
// store to a lock-free atomic.
void CatchInterrupt(void (*onInterrupt)());
void ReleaseInterrupt();

// Writing to a closed pipe fails with an error instead of ending the process.
void IgnoreBrokenPipe();

}  // namespace scanlink::cli
