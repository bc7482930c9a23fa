#pragma once

#include <QByteArray>

#include <vector>

namespace zarv::lookout {

// A horizontal band of a JPEG: a JPEG of its own, holding whole rows of the picture's blocks.
struct JpegBand {
    QByteArray jpeg;
    int top = 0;    // the band's first pixel row in the whole picture
    int height = 0; // its pixel rows
};

// A JPEG cut into bands, stacked from the top, and around each seam between two bands a band
// that holds the rows of blocks on both sides: decoded apart, a band's edge rows lack the colour
// of the rows beyond it, which a decoder blends in; they are taken from the seam's band instead.
struct JpegCut {
    std::vector<JpegBand> bands;
    std::vector<JpegBand> seams; // seams[i] lies across the top of bands[i + 1]
    bool empty() const { return bands.empty(); }
};

// Cuts a baseline JPEG into at most `bands` bands at restart markers that begin a row of blocks,
// so that each band decodes on its own and, stacked, they make the picture. Huffman decoding
// runs one byte after another; restart markers, which cameras write, are the only places where a
// decoder may start afresh. Empty where the picture cannot be cut (no restart markers at row
// starts, progressive or arithmetic coding, several scans) or where its markers are not all as
// its header announces (damaged, cut short): such a file is decoded whole.
JpegCut splitJpegAtRestarts(const QByteArray& jpeg, int bands);

} // namespace zarv::lookout
