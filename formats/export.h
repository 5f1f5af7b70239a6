// What the batch tool writes: the results of one run as JSON, and pieces or hulls as OBJ with
// vertex colours. The writers only format; the caller owns the stream and checks it for errors.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "geometry/mesh.h"

class cDecomposition;
class cHullResult;
struct cFidelity;

// What the fitting mode was asked for and started from.
struct cFitRun {
  std::size_t maxHulls = 0;
  std::size_t maxHullVertices = 0;
  std::size_t startPieces = 0;  // pieces at the starting Epsilon (the run's "epsilon")
};

// The fidelity as the lines of --report (no trailing newline on the last).
std::string FidelityReport(const cFidelity& fidelity);

// One run of the batch tool, as it is written out.
struct cRunResult {
  double epsilon = 0.1;
  double smooth = 0.1;
  std::vector<std::string> messages;              // the message texts, in the order they were shown
  const cMesh* mesh = nullptr;                    // not null
  const cDecomposition* decomposition = nullptr;  // not null
  // The fitting mode's settings and start, when it ran (null otherwise).
  const cFitRun* fit = nullptr;
  const cFidelity* fidelity = nullptr;  // when it was measured
  // The index in pieces of the piece each hull was built from, in hulls order; empty when hull i
  // was built from piece i, every piece having one.
  std::vector<std::size_t> hullPieces;
};

// Shortest decimal text that reads back as the same float; "nan", "inf" or "-inf" (unquoted)
// for values that are not finite.
std::string FormatFloat(float value);

// Shortest decimal text that reads back as the same double; "nan", "inf" or "-inf" for values
// that are not finite.
std::string FormatDouble(double value);

// What a hull is, beyond its faces: its distinct corners (0.0 and -0.0 one corner, a corner with
// a NaN coordinate shared with nothing), its faces, the volume it encloses (the divergence sum
// over its faces, in double; NaN when a coordinate is not finite) and whether it is closed:
// every directed edge once and its reverse once.
struct cHullFacts {
  std::size_t vertices = 0;
  std::size_t faces = 0;
  double volume = 0.0;
  bool closed = false;
};
cHullFacts HullFacts(const cTriangleList& faces);

// One JSON object: "epsilon", "smooth" (numbers, or one of the strings for a value that is not
// finite), "messages", "mesh" {"triangles", "color", "box"},
// "pieces" [{"color", "box", "triangles"}] in pieces order and "hulls" [{"color", "box",
// "faces", "vertex_count", "face_count", "volume", "closed", "piece"}] in hulls order (volume a
// number, or one of the strings for a value that is not finite; piece the index in "pieces" of
// the piece the hull was built from). A piece with children also gets
// "children", a list of the same shape. Coordinates are numbers, or the strings "nan", "inf",
// "-inf"; colours are the bytes. The bytes depend only on the values, so equal runs give equal
// files. A fitting run adds "fit" {"max_hulls", "max_hull_vertices", "start_pieces"}, and a run
// whose fidelity was measured adds "fidelity" (the fields of cFidelity, hull by hull too).
void WriteJson(std::FILE* out, const cRunResult& run);

// OBJ: one object "o <prefix>_1", "o <prefix>_2", ... per hull result in list order, corners
// written once per object (exact float equality, in order of first appearance) as
// "v x y z r g b" with the colour channels as byte / 255, then its faces "f a b c" with 1-based
// indices in the face's corner order.
void WriteHullsObj(std::FILE* out, const cHullList& hulls);

// One hull as an OBJ file of its own: the object "o <name>", numbered from vertex 1.
void WriteHullObj(std::FILE* out, const cHullResult& hull, const std::string& name);

// The same for pieces ("o piece_1", ...); a piece with children stands for its leaves, each of
// which becomes an object of its own, depth first.
void WritePiecesObj(std::FILE* out, const cPieceList& pieces);
