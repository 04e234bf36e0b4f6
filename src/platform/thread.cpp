#include "platform/thread.h"

#include <system_error>

#include "platform/fault.h"

namespace scanlink::platform {

bool Thread::Start(std::function<void()> fn) {
  if (CreationRefused(Resource::kThread)) return false;
  try {
    thread_ = std::thread(std::move(fn));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

void Thread::Join() {
  if (thread_.joinable() && !IsCurrent()) thread_.join();
}

Thread::~Thread() {
  // A thread that was never joined would end the process: join it, or let it go if it is us.
  if (thread_.joinable()) {
    if (IsCurrent()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

}  // namespace scanlink::platform
