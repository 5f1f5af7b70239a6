// Reading STL files from the page cache: the chunked readers that LoadStl uses and, for
// comparison, the line reader and the facet-by-facet binary reader they are tested against.
// Counters: MB/s of file read, triangles, and the growth of resident memory over one read
// (peak_MB: the triangles plus the reader's buffer).
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_files.h"
#include "geometry/mesh.h"
#include "io/stl.h"
#include "io/stl_internal.h"

namespace {

enum class cReader { LoadStl, LineReader, FacetReader };

std::size_t ReadOnce(const std::string& path, cReader reader) {
  if (reader == cReader::LoadStl) {
    cMesh mesh;
    LoadStlFile(path, mesh);
    return mesh.triangles.size();
  }
  cTriangleList triangles;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return 0;
  if (reader == cReader::LineReader) {
    ScanTextByLines(file, triangles);
  } else {
    std::uint32_t count = 0;
    if (std::fseek(file, 80, SEEK_SET) == 0 && std::fread(&count, 4, 1, file) == 1)
      ReadBinaryByFacets(file, count, triangles);
  }
  std::fclose(file);
  return triangles.size();
}

void Read(benchmark::State& state, const std::string& path, cReader reader) {
  const double bytes = FileSize(path);
  ReadOnce(path, reader);  // into the page cache
  std::size_t triangles = 0;
  for (auto _ : state) triangles = ReadOnce(path, reader);
  cPeakMemory peak;
  ReadOnce(path, reader);
  state.counters["peak_MB"] = peak.GrowthMB();
  state.counters["MB/s"] =
      benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_MB"] = bytes / 1e6;
  state.counters["triangles"] = static_cast<double>(triangles);
}

const int registered = [] {
  for (cBenchShape shape : {cBenchShape::Scan, cBenchShape::Cad, cBenchShape::Soup}) {
    for (std::size_t count : BenchSizes()) {
      const std::string name = std::string(ShapeName(shape)) + "/" + SizeName(count);
      benchmark::RegisterBenchmark(("BM_ReadAscii/" + name).c_str(), [=](benchmark::State& s) {
        Read(s, BenchFile(shape, count, false), cReader::LoadStl);
      })->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_ReadBinary/" + name).c_str(), [=](benchmark::State& s) {
        Read(s, BenchFile(shape, count, true), cReader::LoadStl);
      })->Unit(benchmark::kMillisecond);
      if (count > 100000) continue;  // the references are slow enough at 100k
      benchmark::RegisterBenchmark(("BM_ReadAsciiLineReader/" + name).c_str(),
                                   [=](benchmark::State& s) {
                                     Read(s, BenchFile(shape, count, false), cReader::LineReader);
                                   })
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("BM_ReadBinaryFacetReader/" + name).c_str(),
                                   [=](benchmark::State& s) {
                                     Read(s, BenchFile(shape, count, true), cReader::FacetReader);
                                   })
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (const char* sample : {"gear.stl", "torus.stl"}) {
    benchmark::RegisterBenchmark((std::string("BM_ReadAscii/sample/") + sample).c_str(),
                                 [=](benchmark::State& s) {
                                   Read(s, std::string(CD_SAMPLES) + "/" + sample,
                                        cReader::LoadStl);
                                 })
        ->Unit(benchmark::kMillisecond);
  }
  return 0;
}();

}  // namespace
