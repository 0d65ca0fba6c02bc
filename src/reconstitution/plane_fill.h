// Plane fill: the four products of a record from the filtered background and the star layer.
//
// Per pixel, v = background + star layer (16-bit sum) clipped to 255 gives the peak and mean planes,
// the truncated square root of v the standard-deviation plane, and one draw r of the generator the
// frame index trunc(r x 255.0 / 32767.0).
//
// FillPlanes is the reference. FillPlanes_Fast computes the same bytes in vector lanes; the rule that
// picks the form, in the pipeline: FillPlanes_Fast always (it gives FillPlanes' bytes and generator
// state for every input).
#pragma once

#include <cstdint>
#include <vector>

#include "fourproduct/fourproduct.h"
#include "reconstitution/levels.h"
#include "reconstitution/pseudo_random.h"

// Fills the four products of the current bank of `product` from background_image + star_layer (npix
// pixels each), drawing one value of `generator` per pixel in pixel order.
void FillPlanes(const std::vector<uint16_t>& background_image, const std::vector<uint16_t>& star_layer, PseudoRandom& generator,
                FourProduct& product, int32_t npix);

// FillPlanes computed in vector lanes: the square root as the largest r with r^2 <= v, found bit by
// bit (exact for every v of 0..255, as the truncated square root is), the frame index in
// integer arithmetic that truncates as the double expression does, and the generator drawn in
// interleaved lanes (lane j started by the jump ahead of j + 1 draws, each lane stepping by the map of
// one lane count of draws), the remaining pixels one by one; afterwards `generator` holds the state
// after npix draws, as FillPlanes leaves it.
void FillPlanes_Fast(const std::vector<uint16_t>& background_image, const std::vector<uint16_t>& star_layer,
                     PseudoRandom& generator, FourProduct& product, int32_t npix);
