# foundation tests
cd_test(geometry_test SOURCES geometry_test.cpp LIBS cd_geometry LABELS core)
