// The countries a point lies in, kept as the set whose boundaries have been
// crossed an odd number of times: crossing a ring's edge enters or leaves
// its country. Fixed capacity, so a lookup allocates nothing.
#pragma once

#include <array>
#include <cstddef>

#include "borders/country_borders.hpp"

namespace vicinor::borders {

class CountryParity {
public:
    void toggle(CountryNumber country) noexcept {
        for (std::size_t i = 0; i < size_; ++i) {
            if (odd_[i] == country) {
                odd_[i] = odd_[--size_];
                return;
            }
        }
        // Full only where more countries overlap than the grid admits in a
        // cell; the answer there is then wrong, never unsafe.
        if (size_ < odd_.size()) odd_[size_++] = country;
    }

    // Where polygons overlap the point lies in several: the lowest number
    // answers, the same everywhere.
    CountryNumber lowest() const noexcept {
        CountryNumber best = NO_COUNTRY;
        for (std::size_t i = 0; i < size_; ++i) {
            if (best == NO_COUNTRY || odd_[i] < best) best = odd_[i];
        }
        return best;
    }

private:
    std::array<CountryNumber, MAX_COUNTRIES_PER_CELL + 1> odd_{};
    std::size_t size_ = 0;
};

}  // namespace vicinor::borders
