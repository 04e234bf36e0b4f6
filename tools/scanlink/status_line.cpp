#include "status_line.h"

#include <algorithm>
#include <cstdio>

#include "console.h"
#include "timestamp.h"

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
  std::string where = tally.lastPosition ? FormatPosition(*tally.lastPosition) : "no fix";
  // A fix that is not fresh is a GPS lost in a tunnel, or a scanner that stopped reporting.
  if (tally.lastPositionUs >= 0)
    where += " " + std::to_string(std::max<int64_t>(0, NowUs() - tally.lastPositionUs) / 1000000) +
             " s ago";
  const long running =
      static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - start_).count());
  std::fprintf(stderr,
               "\r\033[K[link %s | %02ld:%02ld:%02ld | %llu frames | %.1f/s | %s | battery %s]",
               linkUp ? "up" : "DOWN", running / 3600, running / 60 % 60, running % 60,
               static_cast<unsigned long long>(c.framesReceived), rate_, where.c_str(),
               tally.battery.empty() ? "?" : tally.battery.c_str());
  std::fflush(stderr);
  shown_ = true;
}

}  // namespace scanlink::cli
