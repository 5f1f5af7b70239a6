# computation tests: decomposition and convex hull. All run without a window, GL or Qt.
cd_test(decomposition_test SOURCES decomposition_test.cpp
  LIBS cd_decomposition cd_hull cd_io cd_state cd_platform cd_geometry LABELS core)
cd_test(hull_test SOURCES hull_test.cpp
  LIBS cd_hull cd_reference_hull cd_io cd_decomposition cd_state cd_platform cd_geometry
  LABELS core)
# Needs qconvex (package qhull-bin) as its oracle.
cd_test(hull_property_test SOURCES hull_property_test.cpp support/qconvex.h
  LIBS cd_hull cd_reference_hull cd_geometry LABELS core TIMEOUT 600)
# The library's functions, against the commands they stand for.
cd_test(core_test SOURCES core_test.cpp
  LIBS cd_core cd_io cd_decomposition cd_hull cd_state cd_platform cd_geometry LABELS core)
# The fitting mode and its outward reduction.
cd_test(fit_test SOURCES fit_test.cpp
  LIBS cd_hull cd_io cd_decomposition cd_platform cd_state cd_geometry LABELS core TIMEOUT 300)
target_compile_definitions(fit_test PRIVATE CD_SAMPLES="${PROJECT_SOURCE_DIR}/samples")
cd_test(fidelity_test SOURCES fidelity_test.cpp LIBS cd_hull cd_geometry LABELS core)
