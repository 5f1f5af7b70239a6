# Desktop program tests: the Options dialog and the message-box hand-over between threads without
# a display (Qt's offscreen platform), the window and the program under a virtual X server (xcb).
find_package(Qt6 REQUIRED COMPONENTS Test)
find_package(X11 REQUIRED)
find_package(OpenGL REQUIRED COMPONENTS OpenGL)

cd_test(options_dialog_test
  SOURCES options_dialog_test.cpp
  LIBS cd_desktop Qt6::Test
  LABELS qt
  TIMEOUT 60
  ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# Labelled tsan-qt: the ThreadSanitizer build of scripts/test.sh builds and runs it (and of the Qt
# code nothing else).
cd_test(qt_platform_test
  SOURCES qt_platform_test.cpp
  LIBS cd_desktop Qt6::Test
  LABELS tsan-qt
  TIMEOUT 120
  ENVIRONMENT QT_QPA_PLATFORM=offscreen)

# Every window test (and the listing of them) runs in an X server of its own. The server number
# search starts at a number of its own too, so that parallel tests rarely race for one.
set(CD_XVFB_WRAPPER "${CMAKE_CURRENT_BINARY_DIR}/run-under-xvfb")
file(WRITE "${CD_XVFB_WRAPPER}"
  "#!/bin/sh\n"
  "exec xvfb-run -a -n $((100 + $$ % 20000)) -s \"-screen 0 1024x768x24\" \"$@\"\n")
file(CHMOD "${CD_XVFB_WRAPPER}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
  GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${CD_XVFB_WRAPPER}")
cd_test(window_test
  SOURCES window_test.cpp
  LIBS cd_desktop cd_formats cd_io Qt6::Test X11::X11 OpenGL::GL
  LABELS window
  TIMEOUT 120
  ENVIRONMENT QT_QPA_PLATFORM=xcb)
unset(CMAKE_CROSSCOMPILING_EMULATOR)
target_compile_definitions(window_test PRIVATE CD_PROGRAM="$<TARGET_FILE:convexdecomp>")
add_dependencies(window_test convexdecomp)
