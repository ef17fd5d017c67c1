#include "common/stop_check.hpp"

namespace vicinor {

namespace detail {
thread_local StopCheck* installed_stop_check = nullptr;
}

StopCheck::StopCheck(Hook hook, void* context, std::chrono::steady_clock::duration interval) noexcept
    : hook_(hook),
      context_(context),
      interval_(interval),
      next_(std::chrono::steady_clock::now() + interval),
      previous_(detail::installed_stop_check) {
    detail::installed_stop_check = this;
}

StopCheck::~StopCheck() { detail::installed_stop_check = previous_; }

void StopCheck::poll() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + interval_;
    if (hook_(context_)) throw Stopped{};
}

}  // namespace vicinor
