# cli tests: the batch tool run as a process, its writers, and the sample generator.
cd_test(cli_test SOURCES cli_test.cpp
  LIBS cd_cli cd_io cd_decomposition cd_hull cd_geometry
  LABELS core TIMEOUT 120)
target_compile_definitions(cli_test PRIVATE
  CD_CLI="$<TARGET_FILE:convexdecomp-cli>"
  CD_MAKE_SAMPLES="$<TARGET_FILE:convexdecomp-make-samples>"
  CD_SAMPLES="${PROJECT_SOURCE_DIR}/samples"
  CD_README="${PROJECT_SOURCE_DIR}/README.md"
  CD_JSON_TREE="${CMAKE_CURRENT_SOURCE_DIR}/support/json_tree.py")
add_dependencies(cli_test convexdecomp-cli convexdecomp-make-samples)
