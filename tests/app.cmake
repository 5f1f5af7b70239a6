# app tests
cd_test(app_test SOURCES app_test.cpp
  LIBS cd_app cd_decomposition cd_hull cd_io cd_state cd_platform cd_geometry
  LABELS core TIMEOUT 120)
cd_test(options_format_test SOURCES options_format_test.cpp LIBS cd_app LABELS core TIMEOUT 60)
# Random command sequences while workers run; CD_STRESS_SEQUENCES sets a longer run.
cd_test(stress_test SOURCES stress_test.cpp
  LIBS cd_app cd_decomposition cd_hull cd_io cd_state cd_platform cd_geometry
  LABELS core TIMEOUT 300)
target_compile_definitions(stress_test PRIVATE CD_SAMPLES="${PROJECT_SOURCE_DIR}/samples")
