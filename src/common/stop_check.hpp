// Stopping long work on request. Construction of a large table runs for
// seconds with no way back to its caller, so it calls stop_point() between
// its steps; a caller that wants it stoppable (the binding, for Ctrl-C)
// installs a StopCheck on the calling thread for the duration. The check is
// asked at most every kStopCheckInterval, so steps may call stop_point()
// often; with no check installed a call costs one thread-local read.
#pragma once

#include <chrono>
#include <cstddef>

namespace vicinor {

// Unwinds the stopped work, releasing what it built; caught where the work
// began (build_geocoder), which reports an error value instead.
struct Stopped {};

inline constexpr std::chrono::milliseconds kStopCheckInterval{40};
// Loops over single lines or points call stop_point once per this many: a
// few milliseconds of work, against the check's clock read.
inline constexpr std::size_t kStopEvery = std::size_t{1} << 16;

class StopCheck {
public:
    // Returns true when the work should stop.
    using Hook = bool (*)(void* context);

    StopCheck(Hook hook, void* context,
              std::chrono::steady_clock::duration interval = kStopCheckInterval) noexcept;
    StopCheck(const StopCheck&) = delete;
    StopCheck& operator=(const StopCheck&) = delete;
    ~StopCheck();

    // stop_point's slow path: asks the hook when the interval has passed.
    void poll();

private:
    Hook hook_;
    void* context_;
    std::chrono::steady_clock::duration interval_;
    std::chrono::steady_clock::time_point next_;
    StopCheck* previous_;
};

namespace detail {
extern thread_local StopCheck* installed_stop_check;
}

// Throws Stopped when the installed check asks to stop.
inline void stop_point() {
    if (StopCheck* check = detail::installed_stop_check) check->poll();
}

}  // namespace vicinor
