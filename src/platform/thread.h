// Worker threads: started with a function, joined by their owner.
#pragma once

#include <functional>
#include <thread>

namespace scanlink::platform {

class Thread {
 public:
  Thread() = default;
  // Starts fn on a new thread; false when the system refuses one.
  bool Start(std::function<void()> fn);
  bool Running() const { return thread_.joinable(); }
  bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }
  void Join();
  ~Thread();

  Thread(Thread&&) = default;
  Thread& operator=(Thread&&) = default;

 private:
  std::thread thread_;
};

}  // namespace scanlink::platform
