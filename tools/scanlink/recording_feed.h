// A recording read back as the library met it live: its settings, then its frames cut per
// connection, with the connection and link events between them. `decode`, `export` and `view`
// all read recordings this way.
#pragma once

#include <scanlink/scanlink.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "capture/capture.h"
#include "common_options.h"

namespace scanlink::cli {

struct RecordingInput {
  capture::Recording capture;
  OutputFlags flags;        // the command line's, completed from the recording's header
  OutputOptions output;     // levels and stations as the recording declares them
  std::string missingList;  // a station list the header names that is not there
  std::string Header(const char* key) const;
};

// Throws CliError(kExitFile) when the file cannot be read or its settings make no sense.
RecordingInput OpenRecording(const std::string& file, const OutputFlags& flags,
                             const capture::Selection& selection = {});

struct FeedStats {
  size_t frames = 0, oversized = 0, skipped = 0;
  size_t pending = 0;  // bytes of a frame the recording ends inside
  size_t cutOff = 0;   // bytes of frames a connection's end left unfinished
};

class RecordingSink {
 public:
  virtual ~RecordingSink() = default;
  virtual bool Done() const { return false; }
  virtual void Frame(const CCmdManage& record, int64_t timeUs) = 0;
  virtual void Link(bool up, int64_t timeUs) = 0;
  virtual void Note(const std::string& line) = 0;  // a connection begins or ends
  virtual void Connection(const std::string& label) { (void)label; }
  virtual void PacketDone(int64_t timeUs) { (void)timeUs; }
  FeedStats stats;  // kept current while feeding
};

// finger: -1 follows the scan settings recorded per scanner (starting from FingerTestFlag);
// chunk: bytes handed to the framer at a time.
void FeedRecording(const capture::Recording& capture, int finger, size_t chunk,
                   RecordingSink& sink);

}  // namespace scanlink::cli
