// Wire segmentation (placeholder until segmentation lands).
#include "wire_segment.h"

#include "io.h"

void wire_segment(int M) { fatal("wire segmentation (coefficient %d) is not available yet", M); }
