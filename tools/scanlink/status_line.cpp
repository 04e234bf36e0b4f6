#include "status_line.h"

#include <cstdio>

#include "console.h"

namespace scanlink::cli {

StatusLine::StatusLine() : enabled_(IsTerminal(stderr)) {}

void StatusLine::Clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  shown_ = false;
}

void StatusLine::Draw(bool linkUp, const Tally& tally) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (shown_ && now - lastDraw_ < std::chrono::milliseconds(250)) return;
  lastDraw_ = now;
  ScanlinkCounters c;
  ScanlinkReadCounters(&c);
  const double span = std::chrono::duration<double>(now - rateSince_).count();
  if (span >= 1.0) {
    rate_ = (c.framesReceived - rateFrames_) / span;
    rateFrames_ = c.framesReceived;
    rateSince_ = now;
  }
  const std::string where = tally.lastPosition ? FormatPosition(*tally.lastPosition) : "no fix";
  std::fprintf(stderr, "\r\033[K[link %s | %llu frames | %.1f/s | %s]", linkUp ? "up" : "DOWN",
               static_cast<unsigned long long>(c.framesReceived), rate_, where.c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace scanlink::cli
