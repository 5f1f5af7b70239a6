// Fuzzes the batch tool's JSON writer: the input builds a small run (settings, message texts, a
// mesh, pieces with children, hulls), WriteJson writes it, and a strict JSON reader written
// here, independent of the writer, reads it back: the text must be valid JSON (one value, no
// trailing bytes), and every number and string must come back as the value written.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decomposition/decomposition.h"
#include "formats/export.h"
#include "geometry/mesh.h"
#include "hull/hull.h"

namespace {

// Reads the fuzzer's bytes; past the end it yields zeros.
class cBytes {
 public:
  cBytes(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::uint32_t Word() {
    std::uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = (w << 8) | Byte();
    return w;
  }
  float Float() {
    // Mostly small decimals, sometimes any bit pattern (NaN, infinities, denormals, -0).
    const std::uint32_t w = Word();
    if ((w & 3) != 0) return static_cast<float>(static_cast<std::int32_t>(w) >> 8) / 64.0f;
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
  }
  double Double() {
    std::uint64_t bits = (static_cast<std::uint64_t>(Word()) << 32) | Word();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return std::isfinite(d) ? d : 0.1;  // the options admit only finite settings
  }
  cTriangle Triangle() {
    cTriangle t;
    for (cVec3& v : t.vertex) v = cVec3(Float(), Float(), Float());
    return t;
  }
  bool Done() const { return at >= size; }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

// A JSON value as read back.
struct cValue {
  enum class cKind { Null, Bool, Number, String, Array, Object } kind = cKind::Null;
  std::string text;  // number text, string value, "true"/"false"
  std::vector<cValue> items;
  std::vector<std::string> keys;  // an object's member names, in order
  std::vector<cValue> members;    // and their values

  const cValue& operator[](std::size_t i) const {
    if (kind != cKind::Array || i >= items.size()) std::abort();
    return items[i];
  }
  const cValue& operator[](int i) const { return (*this)[static_cast<std::size_t>(i)]; }
  const cValue& operator[](const char* key) const {
    if (kind != cKind::Object) std::abort();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return members[i];
    }
    std::abort();
  }
};

// Strict JSON (RFC 8259): no leading zeros, no trailing commas, no control characters in
// strings, no bytes after the value. Any breach aborts.
class cReader {
 public:
  explicit cReader(const std::string& text) : text(text) {}

  cValue Document() {
    cValue v = Value(0);
    Space();
    if (at != text.size()) std::abort();
    return v;
  }

 private:
  char Peek() const { return at < text.size() ? text[at] : '\0'; }
  void Expect(char c) {
    if (Peek() != c) std::abort();
    ++at;
  }
  void Space() {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t')) {
      ++at;
    }
  }
  void Literal(const char* word) {
    for (const char* c = word; *c != '\0'; ++c) Expect(*c);
  }
  bool Digit() const { return Peek() >= '0' && Peek() <= '9'; }

  cValue Value(int depth) {
    if (depth > 64) std::abort();
    Space();
    cValue v;
    switch (Peek()) {
      case '{':
        v.kind = cValue::cKind::Object;
        ++at;
        Space();
        if (Peek() == '}') {
          ++at;
          return v;
        }
        for (;;) {
          Space();
          std::string key = String();
          Space();
          Expect(':');
          v.keys.push_back(std::move(key));
          v.members.push_back(Value(depth + 1));
          Space();
          if (Peek() == ',') {
            ++at;
            continue;
          }
          Expect('}');
          return v;
        }
      case '[':
        v.kind = cValue::cKind::Array;
        ++at;
        Space();
        if (Peek() == ']') {
          ++at;
          return v;
        }
        for (;;) {
          v.items.push_back(Value(depth + 1));
          Space();
          if (Peek() == ',') {
            ++at;
            continue;
          }
          Expect(']');
          return v;
        }
      case '"':
        v.kind = cValue::cKind::String;
        v.text = String();
        return v;
      case 't':
        Literal("true");
        v.kind = cValue::cKind::Bool;
        v.text = "true";
        return v;
      case 'f':
        Literal("false");
        v.kind = cValue::cKind::Bool;
        v.text = "false";
        return v;
      case 'n':
        Literal("null");
        return v;
      default:
        v.kind = cValue::cKind::Number;
        v.text = Number();
        return v;
    }
  }

  std::string Number() {
    const std::size_t start = at;
    if (Peek() == '-') ++at;
    if (Peek() == '0') {
      ++at;
    } else if (Digit()) {
      while (Digit()) ++at;
    } else {
      std::abort();
    }
    if (Peek() == '.') {
      ++at;
      if (!Digit()) std::abort();
      while (Digit()) ++at;
    }
    if (Peek() == 'e' || Peek() == 'E') {
      ++at;
      if (Peek() == '+' || Peek() == '-') ++at;
      if (!Digit()) std::abort();
      while (Digit()) ++at;
    }
    return text.substr(start, at - start);
  }

  std::string String() {
    Expect('"');
    std::string out;
    for (;;) {
      if (at >= text.size()) std::abort();
      const unsigned char c = static_cast<unsigned char>(text[at++]);
      if (c == '"') return out;
      if (c < 0x20) std::abort();
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      const char e = Peek();
      ++at;
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const char h = Peek();
            ++at;
            code <<= 4;
            if (h >= '0' && h <= '9')
              code |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
              code |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
              code |= static_cast<unsigned>(h - 'A' + 10);
            else
              std::abort();
          }
          if (code >= 0x80) std::abort();  // the writer escapes only control characters
          out += static_cast<char>(code);
          break;
        }
        default:
          std::abort();
      }
    }
  }

  const std::string& text;
  std::size_t at = 0;
};

void Check(bool condition) {
  if (!condition) std::abort();
}

// A coordinate read back: the same float, or the string for a value that is not finite.
void CheckCoordinate(const cValue& v, float expected) {
  if (std::isnan(expected)) return Check(v.kind == cValue::cKind::String && v.text == "nan");
  if (std::isinf(expected)) {
    return Check(v.kind == cValue::cKind::String && v.text == (expected > 0 ? "inf" : "-inf"));
  }
  Check(v.kind == cValue::cKind::Number);
  const float read = std::strtof(v.text.c_str(), nullptr);
  Check(read == expected && std::signbit(read) == std::signbit(expected));
}

void CheckPoint(const cValue& v, const cVec3& p) {
  Check(v.items.size() == 3);
  CheckCoordinate(v[0], p.x);
  CheckCoordinate(v[1], p.y);
  CheckCoordinate(v[2], p.z);
}

void CheckTriangles(const cValue& v, const cTriangleList& triangles) {
  Check(v.kind == cValue::cKind::Array && v.items.size() == triangles.size());
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    Check(v[i].items.size() == 3);
    for (int k = 0; k < 3; ++k) CheckPoint(v[i][k], triangles[i].vertex[k]);
  }
}

void CheckColor(const cValue& v, const cColor& c) {
  Check(v.items.size() == 3 && v[0].text == std::to_string(c.red) &&
        v[1].text == std::to_string(c.green) && v[2].text == std::to_string(c.blue));
}

void CheckBox(const cValue& v, const cBoundBox& box) {
  Check(v.items.size() == 2);
  CheckPoint(v[0], box.min);
  CheckPoint(v[1], box.max);
}

void CheckPiece(const cValue& v, const cConvexPiece& piece) {
  CheckColor(v["color"], piece.color);
  CheckBox(v["box"], piece.box);
  CheckTriangles(v["triangles"], piece.triangles);
  if (piece.children.empty()) return Check(v.members.size() == 3);
  const cValue& children = v["children"];
  Check(children.items.size() == piece.children.size());
  for (std::size_t i = 0; i < piece.children.size(); ++i)
    CheckPiece(children[i], *piece.children[i]);
}

std::unique_ptr<cConvexPiece> MakePiece(cBytes& in, int depth) {
  auto piece = std::make_unique<cConvexPiece>();
  for (int n = in.Byte() % 4; n > 0; --n) piece->triangles.push_back(in.Triangle());
  piece->box.min = cVec3(in.Float(), in.Float(), in.Float());
  piece->box.max = cVec3(in.Float(), in.Float(), in.Float());
  if (depth < 3) {
    for (int n = in.Byte() % 3 == 0 ? in.Byte() % 3 : 0; n > 0; --n) {
      piece->children.push_back(MakePiece(in, depth + 1));
    }
  }
  return piece;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cBytes in(data, size);
  cMesh mesh;
  cDecomposition decomposition;
  cRunResult run;
  run.epsilon = in.Double();
  run.smooth = in.Double();
  for (int n = in.Byte() % 4; n > 0; --n) {
    std::string message;
    for (int k = in.Byte() % 24; k > 0; --k) message += static_cast<char>(in.Byte() & 0x7f);
    run.messages.push_back(message);
  }
  for (int n = in.Byte() % 6; n > 0; --n) mesh.triangles.push_back(in.Triangle());
  mesh.box.min = cVec3(in.Float(), in.Float(), in.Float());
  mesh.box.max = cVec3(in.Float(), in.Float(), in.Float());
  for (int n = in.Byte() % 4; n > 0; --n) decomposition.pieces.push_back(MakePiece(in, 0));
  for (int n = in.Byte() % 4; n > 0 && !in.Done(); --n) {
    cHullPointer hull = OwnHull(new cHullResult());
    for (int f = in.Byte() % 8; f > 0; --f) hull->faces.push_back(in.Triangle());
    hull->box.min = cVec3(in.Float(), in.Float(), in.Float());
    hull->box.max = cVec3(in.Float(), in.Float(), in.Float());
    decomposition.hulls.push_back(std::move(hull));
  }
  run.mesh = &mesh;
  run.decomposition = &decomposition;

  char* buffer = nullptr;
  std::size_t length = 0;
  std::FILE* out = open_memstream(&buffer, &length);
  if (out == nullptr) return 0;
  WriteJson(out, run);
  std::fclose(out);
  const std::string text(buffer, length);
  std::free(buffer);

  const cValue json = cReader(text).Document();
  Check(json.kind == cValue::cKind::Object && json.members.size() == 6);
  Check(std::strtod(json["epsilon"].text.c_str(), nullptr) == run.epsilon);
  Check(std::strtod(json["smooth"].text.c_str(), nullptr) == run.smooth);
  const cValue& messages = json["messages"];
  Check(messages.items.size() == run.messages.size());
  for (std::size_t i = 0; i < run.messages.size(); ++i) Check(messages[i].text == run.messages[i]);
  Check(json["mesh"]["triangles"].text == std::to_string(mesh.triangles.size()));
  CheckColor(json["mesh"]["color"], mesh.color);
  CheckBox(json["mesh"]["box"], mesh.box);
  const cValue& pieces = json["pieces"];
  Check(pieces.items.size() == decomposition.pieces.size());
  for (std::size_t i = 0; i < decomposition.pieces.size(); ++i) {
    CheckPiece(pieces[i], *decomposition.pieces[i]);
  }
  const cValue& hulls = json["hulls"];
  Check(hulls.items.size() == decomposition.hulls.size());
  for (std::size_t i = 0; i < decomposition.hulls.size(); ++i) {
    const cHullResult& hull = *decomposition.hulls[i];
    const cValue& h = hulls[i];
    CheckColor(h["color"], hull.color);
    CheckBox(h["box"], hull.box);
    CheckTriangles(h["faces"], hull.faces);
    const cHullFacts facts = HullFacts(hull.faces);
    Check(h["vertex_count"].text == std::to_string(facts.vertices));
    Check(h["face_count"].text == std::to_string(hull.faces.size()));
    Check(h["closed"].text == (facts.closed ? "true" : "false"));
    Check(h["piece"].text == std::to_string(i));  // no hull list given: hull i is of piece i
    const cValue& volume = h["volume"];
    if (std::isfinite(facts.volume)) {
      Check(volume.kind == cValue::cKind::Number &&
            std::strtod(volume.text.c_str(), nullptr) == facts.volume);
    } else {
      Check(volume.kind == cValue::cKind::String);
    }
  }
  return 0;
}
