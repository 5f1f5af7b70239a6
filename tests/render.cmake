# render tests: frames drawn offscreen through EGL on Mesa's software rasteriser, no window system
# (the test program selects the surfaceless platform and software rendering itself).
find_package(OpenGL REQUIRED COMPONENTS OpenGL EGL)
cd_test(render_test SOURCES render_test.cpp
  LIBS cd_render cd_app cd_decomposition cd_hull cd_state cd_platform cd_geometry
       OpenGL::EGL OpenGL::GL OpenGL::GLU
  LABELS gl TIMEOUT 120)
