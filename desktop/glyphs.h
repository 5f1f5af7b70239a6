// The bitmap font of the window's text: glyphs of a Qt font packed the way glBitmap reads them.
#pragma once

#include <QFont>
#include <QImage>

#include <vector>

#include "render/render.h"

// "Arial" at 120 pixels, without anti-aliasing (the font configuration maps the name to a
// metric-compatible face where Arial itself is missing).
QFont BitmapFont();

// Packs an image of one glyph: a pixel brighter than mid-grey is set. Rows bottom-up, each row
// in whole bytes, the most significant bit leftmost. origin is where the raster position lies,
// measured from the image's lower left corner.
cGlyphBitmap PackGlyph(const QImage& image, float originX, float originY, float advance);

// The glyphs of characters 32 to 127, in that order.
std::vector<cGlyphBitmap> RenderGlyphs(const QFont& font);
