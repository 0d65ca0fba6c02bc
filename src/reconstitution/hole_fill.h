// Hole fill: the background levels of the pixels outside every star window.
//
// Seeding leaves kHoleMarker (2048) in every pixel no star window covers. The fill then runs pass by
// pass: every marked inner pixel with at least one known neighbour takes the truncated mean of its
// known neighbours, all from the image as it was before the pass, one ring per pass, until none is
// left (a pass that fills nothing ends it; the rest take 0). The border follows from the inner pixels
// (CompleteBorder), ready for the trimmed-mean filter.
//
// FillHoles is the reference. FillHoles_Distance gives its bytes from each pixel's pass computed
// beforehand; the rule that picks the form, in the pipeline: FillHoles_Distance always (it hands the
// inputs it cannot count exactly to FillHoles itself).
#pragma once

#include <cstdint>
#include <vector>

#include "reconstitution/work_buffers.h"

// Fills the marked inner pixels of background_image (rows x cols) pass by pass from their known
// neighbours. Uses snapshot and fill_list (npix each) as work space.
void FillHoles(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);

// FillHoles from each pixel's pass, computed beforehand: a marked inner pixel is filled in pass k
// exactly when its chessboard distance to the nearest seeded pixel (any pixel that is not the marker,
// border pixels included) is k, from its neighbours of smaller distance, while the others (and the
// border pixels that hold the marker) still count as marked. A two-pass distance transform gives
// every pixel its pass (kept in snapshot), a counting sort lists the pixels pass by pass (in
// fill_list), and one sweep fills them in that order. Without any seeded pixel every inner pixel takes
// 0. Rule: this form when every pixel holds a level below 256 or the marker and both sides are below
// 16384; otherwise FillHoles itself (inexact counting; distances beyond 16 bits).
void FillHoles_Distance(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);

// Overwrites the border of `image` (rows x cols): rows 0 and rows-1 from their inner neighbours, then
// columns 0 and cols-1.
void CompleteBorder(std::vector<uint16_t>& image, int32_t rows, int32_t cols);
