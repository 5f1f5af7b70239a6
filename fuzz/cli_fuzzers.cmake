# The batch tool's fuzz targets, for the fuzz folder's CMakeLists.txt to include:
# option parsing, and JSON writing read back by a strict reader of its own.
cd_fuzzer(cli_options_fuzzer SOURCES cli_options_fuzzer.cpp LIBS cd_cli)
cd_fuzzer(json_writer_fuzzer SOURCES json_writer_fuzzer.cpp
  LIBS cd_cli cd_decomposition cd_hull cd_geometry)
# Seeds: fuzz/corpus/cli_options_fuzzer (arguments separated by zero bytes) and
# fuzz/corpus/json_writer_fuzzer (raw bytes that build a run).
