// Splitting a column of work into contiguous parts, one thread each: the
// one way batch searches go parallel.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace vicinor {

// Every part gets a few thousand items, or threads would cost more than
// they save.
inline constexpr std::size_t kItemsPerPart = 4096;

// How many parts `count` items are worth on `threads` threads, at most
// `most_parts`.
inline std::size_t useful_parts(std::size_t count, unsigned threads,
                                std::size_t most_parts = static_cast<std::size_t>(-1)) noexcept {
    const std::size_t useful = (count + kItemsPerPart - 1) / kItemsPerPart;
    return std::max<std::size_t>(
        1, std::min<std::size_t>({static_cast<std::size_t>(threads), useful, most_parts}));
}

// Runs work(part, begin, end) for each of `parts` contiguous shares of
// `count` items, one thread each, the calling thread included; a thread
// that cannot start leaves its share to the calling thread. The first
// fault of any part is rethrown once all have joined.
template <class Work>
void run_in_parts(std::size_t count, std::size_t parts, Work&& work) {
    std::vector<std::exception_ptr> faults(parts);
    auto run = [&](std::size_t part) {
        try {
            work(part, count * part / parts, count * (part + 1) / parts);
        } catch (...) {
            faults[part] = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(parts - 1);
        std::size_t started = 1;
        try {
            for (; started < parts; ++started) helpers.emplace_back(run, started);
        } catch (const std::system_error&) {
        }
        run(0);
        for (std::size_t part = started; part < parts; ++part) run(part);
    }  // joins
    for (const std::exception_ptr& fault : faults) {
        if (fault) std::rethrow_exception(fault);
    }
}

}  // namespace vicinor
