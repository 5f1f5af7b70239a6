// Chunked STL readers. The text reader cuts the bytes into the line reader's pieces itself
// (at most 255 characters up to and including a newline, examined up to the first NUL byte) and
// converts the numbers of ordinary vertex lines itself: short ones with one float operation,
// others with std::from_chars, both rounding exactly as scanf's %f does; every line it does not
// fully understand goes through ScanVertexLine.
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "geometry/huge_pages.h"
#include "io/classic_numbers.h"
#include "stl_internal.h"

namespace {

constexpr std::size_t kPiece = kLineBufferSize - 1;
constexpr std::size_t kChunk = 1 << 20;

constexpr long kHeader = 84;
// A triangle takes an "outer loop" piece of at least 10 bytes and three more pieces of at least
// one byte each; only the last one may end early at the end of the file.
constexpr std::size_t kLeastTextFacet = 13;

bool IsSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');  // the C locale's white space
}

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether the lower-cased text up to the first NUL byte contains word (lower case, no NUL).
// Searched from the end of each window (Horspool): a character that is not in word, as most
// digits of a vertex line are not, moves the window by the whole word. A match is only kept
// when no NUL byte comes before it.
template <std::size_t N>
class cWordSearch {
 public:
  static constexpr std::size_t n = N - 1;

  constexpr explicit cWordSearch(const char (&word)[N]) {
    for (std::size_t i = 0; i < n; ++i) this->word[i] = word[i];
    for (std::size_t& s : shift) s = n;
    for (std::size_t j = 0; j + 1 < n; ++j) {
      const auto c = static_cast<unsigned char>(word[j]);
      shift[c] = n - 1 - j;
      if (c >= 'a' && c <= 'z') shift[c - 'a' + 'A'] = n - 1 - j;
    }
  }

  bool In(const char* text, std::size_t length) const {
    for (std::size_t i = 0; i + n <= length;) {
      const char last = text[i + n - 1];
      if (Lower(last) == word[n - 1]) {
        std::size_t k = 0;
        while (k + 1 < n && Lower(text[i + k]) == word[k]) ++k;
        if (k + 1 == n) return std::memchr(text, '\0', i) == nullptr;
      }
      i += shift[static_cast<unsigned char>(last)];
    }
    return false;
  }

 private:
  char word[n] = {};
  std::size_t shift[256] = {};
};

constexpr cWordSearch kOuterLoop("outer loop");
constexpr cWordSearch kVertex("vertex");

// Room for as many triangles as a file of this size can hold, when that can be had.
void ReserveForText(std::FILE* file, cTriangleList& triangles) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return;
  const std::size_t most = static_cast<std::size_t>(info.st_size) / kLeastTextFacet + 1;
  try {
    triangles.reserve(triangles.size() + most);
    AdviseHugePages(triangles.data() + triangles.size(),
                    (triangles.capacity() - triangles.size()) * sizeof(cTriangle));
  } catch (const std::bad_alloc&) {  // the list then grows as it goes
  } catch (const std::length_error&) {
  }
}

class cPieceReader {
 public:
  explicit cPieceReader(std::FILE* file)
      : file(file),
        buffer(new char[kChunk]),
        at(buffer.get()),
        end(buffer.get()),
        start(std::ftell(file)) {}

  // Where the line reader's stream would stand: the bytes of every piece taken so far.
  long Position() const { return start + consumed + static_cast<long>(at - buffer.get()); }

  // Like the stream's end-of-file and error flags after the pieces read so far: a read error
  // counts once the bytes read before it are used up.
  bool AtEnd() const { return ended || (failed && at == end); }

  // The next piece; empty once the bytes are used up.
  void Next(const char*& text, std::size_t& length) {
    if (static_cast<std::size_t>(end - at) < kPiece && !drained) Refill();
    const std::size_t available = std::min(static_cast<std::size_t>(end - at), kPiece);
    const char* newline = static_cast<const char*>(std::memchr(at, '\n', available));
    text = at;
    if (newline != nullptr) {
      length = static_cast<std::size_t>(newline - at) + 1;
    } else {
      length = available;
      if (available < kPiece) ended = true;  // the read ran into the end of the file
    }
    at += length;
  }

 private:
  void Refill() {
    const std::size_t kept = static_cast<std::size_t>(end - at);
    consumed += at - buffer.get();
    std::memmove(buffer.get(), at, kept);
    at = buffer.get();
    end = buffer.get() + kept;
    while (!drained && end < buffer.get() + kChunk) {
      const std::size_t got = std::fread(end, 1, buffer.get() + kChunk - end, file);
      end += got;
      if (got == 0) {
        drained = true;
        failed = std::ferror(file) != 0;
        NoteReadError(file);
      }
    }
  }

  std::FILE* file;
  std::unique_ptr<char[]> buffer;
  char* at;
  char* end;
  long start;
  long consumed = 0;  // bytes dropped from the front of the buffer
  bool drained = false;
  bool ended = false;
  bool failed = false;
};

// Plain decimal numbers only: an optional minus, digits with at most one point (at least one
// digit), and an optional exponent with digits; the number must end at white space or at the
// end of the text. Returns false for anything else, leaving corner half done.
bool ConvertPlain(const char* at, const char* end, cVec3& corner) {
  auto atEnd = [&] { return at == end || *at == '\0'; };
  while (!atEnd() && IsSpace(*at)) ++at;
  while (!atEnd() && !IsSpace(*at)) ++at;  // the first word
  float* fields[3] = {&corner.x, &corner.y, &corner.z};
  for (float* field : fields) {
    while (!atEnd() && IsSpace(*at)) ++at;
    if (atEnd()) return true;  // scanf stops here too, keeping the rest
    const char* start = at;
    const bool negative = *at == '-';
    if (negative) ++at;
    // The digits as one integer (while it stays small) and the power of ten it is scaled by.
    std::uint64_t mantissa = 0;
    int scale = 0;
    int whole = 0, fraction = 0;
    auto digit = [&](char c) {
      if (mantissa < (std::uint64_t{1} << 40)) {
        mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
      } else {
        mantissa = ~std::uint64_t{0};  // too long for the short way
      }
    };
    while (at != end && *at >= '0' && *at <= '9') digit(*at++), ++whole;
    const bool point = at != end && *at == '.';
    if (point) {
      ++at;
      while (at != end && *at >= '0' && *at <= '9') digit(*at++), ++fraction;
    }
    if (whole + fraction == 0) return false;
    scale = -fraction;
    if (at != end && (*at == 'e' || *at == 'E')) {
      ++at;
      const bool down = at != end && *at == '-';
      if (at != end && (*at == '-' || *at == '+')) ++at;
      int digits = 0, exponent = 0;
      for (; at != end && *at >= '0' && *at <= '9'; ++at, ++digits) {
        if (exponent < 10000) exponent = exponent * 10 + (*at - '0');
      }
      if (digits == 0) return false;
      scale += down ? -exponent : exponent;
    }
    if (!atEnd() && !IsSpace(*at)) return false;
    // An integer of at most 24 bits and a power of ten up to 10^10 are both floats exactly, so
    // one float multiplication or division rounds their exact product or quotient once, to
    // the nearest float, as from_chars does; anything else goes to from_chars.
    static constexpr float kPowers[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                          1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
    if (whole > 0 && (!point || fraction > 0) && mantissa <= (std::uint64_t{1} << 24) &&
        scale >= -10 && scale <= 10) {
      const float m = static_cast<float>(mantissa);
      const float value = scale < 0 ? m / kPowers[-scale] : m * kPowers[scale];
      *field = negative ? -value : value;
      continue;
    }
    float value;
    const auto [stop, error] = std::from_chars(start, at, value);
    if (error != std::errc() || stop != at) return false;  // out of range: scanf's own rules
    *field = value;
  }
  return true;
}

void ConvertVertexLine(const char* text, std::size_t length, cVec3& corner) {
  if (ConvertPlain(text, text + length, corner)) return;
  char line[kLineBufferSize];
  for (std::size_t i = 0; i < length; ++i) line[i] = Lower(text[i]);
  line[length] = '\0';
  corner = cVec3();
  ScanVertexLine(line, corner);
}

}  // namespace

void ScanText(std::FILE* file, cTriangleList& triangles) {
  cClassicNumbers numbers;
  ReserveForText(file, triangles);
  cPieceReader reader(file);
  const char* text;
  std::size_t length;
  std::uint32_t passes = 0;
  while (!reader.AtEnd()) {
    if ((++passes & 4095) == 0 && !ReportReadAt(file, reader.Position())) return;
    reader.Next(text, length);
    if (!kOuterLoop.In(text, length)) continue;
    cVec3 corner[3];
    for (cVec3& c : corner) {
      reader.Next(text, length);
      if (kVertex.In(text, length)) ConvertVertexLine(text, length, c);
    }
    triangles.emplace_back(corner[0], corner[1], corner[2]);
  }
}

void ReadBinaryFacets(std::FILE* file, std::uint32_t count, cTriangleList& triangles) {
  static_assert(sizeof(cTriangle) == 36 && std::endian::native == std::endian::little,
                "facet corners are copied as they lie in the file");
  if (!FitsInMemory(count)) throw std::bad_alloc();
  if (std::fseek(file, kHeader, SEEK_SET) != 0) return;
  // The same reservations and progress reports as ReadBinaryByFacets, facet by facet.
  std::uint64_t room = std::max(StoredFacets(file), kReserveStep);
  std::uint32_t reported = 0;
  constexpr std::size_t kFacets = kChunk / kBinaryFacetSize;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kFacets * kBinaryFacetSize]);
  std::uint32_t i = 0;
  while (i < count) {
    const std::size_t want = std::min<std::size_t>(count - i, kFacets);
    const std::size_t got = std::fread(buffer.get(), kBinaryFacetSize, want, file);
    if (got < want) NoteReadError(file);
    for (std::size_t f = 0; f < got; ++f, ++i) {
      if (triangles.size() == triangles.capacity()) {
        const std::size_t size = triangles.size();
        triangles.reserve(size + std::min<std::uint64_t>(count - i, room));
        AdviseHugePages(triangles.data() + size, (triangles.capacity() - size) * sizeof(cTriangle));
        room = std::max<std::uint64_t>(size, kReserveStep);
      }
      if ((++reported & 4095) == 0 && !ReportReadAt(file, kHeader + kBinaryFacetSize * (i + 1L))) {
        return;
      }
      cTriangle t;
      std::memcpy(&t, buffer.get() + f * kBinaryFacetSize + 12, sizeof t);  // after the normal
      triangles.push_back(t);
    }
    if (got < want) break;
  }
}
