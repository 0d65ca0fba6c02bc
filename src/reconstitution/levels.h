// The values of a background pixel that several stages share: the seeding writes them, the hole fill
// counts on them, the plane fill clips to their range.
#pragma once

#include <cstdint>

// A pixel with no background level yet (0x800). The seeding marks every pixel outside the star
// windows with it; the hole fill tells marked neighbours from known ones by it, which works only
// because every level lies below 256 (see hole_fill.h).
constexpr uint16_t kHoleMarker = 2048;

// Background levels lie in 0..kMaxLevel: the seeding clamps each star's level into this range, and
// the plane fill clips background plus star layer to it, the largest value of an 8-bit product.
constexpr int32_t kMaxLevel = 255;
