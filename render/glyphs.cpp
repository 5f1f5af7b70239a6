#include "render/render.h"

#include <GL/gl.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

unsigned BuildFontLists(const std::vector<cGlyphBitmap>& glyphs) {
  const GLuint base = glGenLists(kFontGlyphCount);
  if (base == 0) return 0;
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  for (int i = 0; i < kFontGlyphCount; ++i) {
    glNewList(base + static_cast<GLuint>(i), GL_COMPILE);
    if (static_cast<std::size_t>(i) < glyphs.size()) {
      const cGlyphBitmap& g = glyphs[static_cast<std::size_t>(i)];
      const bool hasBits = g.width > 0 && g.height > 0 &&
                           g.bits.size() >= static_cast<std::size_t>((g.width + 7) / 8 * g.height);
      glBitmap(hasBits ? g.width : 0, hasBits ? g.height : 0, g.originX, g.originY, g.advance, 0.0f,
               hasBits ? g.bits.data() : nullptr);
    }
    glEndList();
  }
  glPopClientAttrib();
  return base;
}

void DeleteFontLists(unsigned base) {
  if (base != 0) glDeleteLists(base, kFontGlyphCount);
}

void PrintText(unsigned fontListBase, const char* format, ...) {
  if (format == nullptr) return;
  char text[256];
  std::memset(text, 0, sizeof text);
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  glPushAttrib(GL_LIST_BIT);
  glListBase(fontListBase - kFontFirstChar);
  glCallLists(static_cast<GLsizei>(std::strlen(text)), GL_UNSIGNED_BYTE, text);
  glPopAttrib();
}
