// The buffers one reconstitution works in: the images that several stages share, the parts that each
// stage owns (declared with that stage: the hole fill's scratch, the star layer's arrays, the range
// filter's counts), the generator and the record's warnings.
//
// Every piece of state the fast pipeline changes lives in the ReconWorkBuffers passed in (the
// generator, the fast profiles' cache), so threads that each own their buffers can reconstitute
// records side by side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reconstitution/hole_fill.h"
#include "reconstitution/median_filter.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/star_layer.h"

// The image buffers keep their memory from file to file (kept_buffer.h): a file of an image no
// larger than an earlier one takes no fresh pages and clears nothing, and their values from earlier
// records are stale; every stage writes what it reads first, except the star layer, which is zero
// outside star_drawing.drawn.
struct ReconWorkBuffers {
    std::vector<uint16_t> star_layer;        // npix: the drawn star profiles
    std::vector<uint16_t> background_image;  // npix: background levels, kHoleMarker where none yet
    std::vector<uint16_t> snapshot;          // npix: input of each fill pass and of the filter (the fast
                                             // stages: the distances, then the filter's output, which
                                             // takes background_image's place)
    HoleFillScratch hole_fill;               // the pass-by-pass fill's list, the fast fill's runs
    StarLayerScratch star_drawing;           // star order, window arrays, drawn windows, fast profiles
    MedianFilterScratch filter;              // the range filter's counts, for the run
    PseudoRandom generator;                  // draws the frame indices; runs on from record to record
    std::string warnings;                    // warning lines of the last record, for the driver to print
    // What the buffers are set up for (CalStarReconsitution_MemSetup): a set-up for the same image
    // and star count keeps everything. rows -1: nothing, or a set-up that did not finish.
    int32_t set_up_rows = -1, set_up_cols = -1, set_up_nstars = -1;
};
