# foundation tests
cd_test(geometry_test SOURCES geometry_test.cpp LIBS cd_geometry LABELS core)
cd_test(stl_test SOURCES stl_test.cpp LIBS cd_io cd_geometry cd_platform LABELS core)
