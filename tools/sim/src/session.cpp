#include "session.h"

namespace scanlink::sim {

std::unique_ptr<Connection> Session::replace_data(std::unique_ptr<Connection> c) {
  // A partial frame of the old connection must not prefix the new one's stream.
  assembler_.clear();
  assembler_.take_skipped();
  std::swap(data_, c);
  return c;
}

std::unique_ptr<Connection> Session::replace_alarm(std::unique_ptr<Connection> c) {
  std::swap(alarm_, c);
  return c;
}

}  // namespace scanlink::sim
