#include "desktop/glyphs.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

QFont BitmapFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(120);
  font.setStyleStrategy(QFont::NoAntialias);
  return font;
}

cGlyphBitmap PackGlyph(const QImage& image, float originX, float originY, float advance) {
  const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
  cGlyphBitmap glyph;
  glyph.width = grey.width();
  glyph.height = grey.height();
  glyph.originX = originX;
  glyph.originY = originY;
  glyph.advance = advance;
  const int rowBytes = (glyph.width + 7) / 8;
  glyph.bits.assign(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(glyph.height), 0);
  for (int row = 0; row < glyph.height; ++row) {
    const uchar* line = grey.constScanLine(glyph.height - 1 - row);
    std::uint8_t* out = glyph.bits.data() + static_cast<std::size_t>(row) * rowBytes;
    for (int x = 0; x < glyph.width; ++x) {
      if (line[x] >= 128) out[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
    }
  }
  return glyph;
}

std::vector<cGlyphBitmap> RenderGlyphs(const QFont& font) {
  const QFontMetricsF metrics(font);
  std::vector<cGlyphBitmap> glyphs;
  glyphs.reserve(kFontGlyphCount);
  for (int code = kFontFirstChar; code < kFontFirstChar + kFontGlyphCount; ++code) {
    const QChar character(code);
    const QString text(character);
    const qreal advance = metrics.horizontalAdvance(character);
    const QRectF ink = metrics.boundingRect(character);
    // The image spans the ink, the advance and the line's ascent and descent, with a pixel to
    // spare on every side; coordinates relative to the pen position on the baseline.
    const int left = static_cast<int>(std::floor(std::min(0.0, ink.left()))) - 1;
    const int right = static_cast<int>(std::ceil(std::max(advance, ink.right()))) + 1;
    const int top = static_cast<int>(std::floor(std::min(-metrics.ascent(), ink.top()))) - 1;
    const int bottom = static_cast<int>(std::ceil(std::max(metrics.descent(), ink.bottom()))) + 1;
    QImage image(right - left, bottom - top, QImage::Format_Grayscale8);
    image.fill(0);
    {
      QPainter painter(&image);
      painter.setFont(font);
      painter.setPen(Qt::white);
      painter.drawText(QPointF(-left, -top), text);
    }
    glyphs.push_back(PackGlyph(image, static_cast<float>(-left), static_cast<float>(bottom),
                               static_cast<float>(advance)));
  }
  return glyphs;
}
