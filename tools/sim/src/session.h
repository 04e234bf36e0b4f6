// One scanner session: the data connection with its frame reassembly, and the alarm connection.
#pragma once

#include <memory>

#include "frame.h"
#include "net.h"

namespace scanlink::sim {

class Session {
 public:
  Connection* data() const { return data_.get(); }
  Connection* alarm() const { return alarm_.get(); }
  FrameAssembler& assembler() { return assembler_; }

  // Installs a new data connection and returns the one it replaces (the scanner serves one client).
  std::unique_ptr<Connection> replace_data(std::unique_ptr<Connection> c);
  std::unique_ptr<Connection> replace_alarm(std::unique_ptr<Connection> c);
  std::unique_ptr<Connection> take_data() { return replace_data(nullptr); }
  std::unique_ptr<Connection> take_alarm() { return replace_alarm(nullptr); }

 private:
  std::unique_ptr<Connection> data_;
  std::unique_ptr<Connection> alarm_;
  FrameAssembler assembler_;
};

}  // namespace scanlink::sim
