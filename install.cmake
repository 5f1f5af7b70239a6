# The library others link: `cmake --install` puts the headers of core/convexdecomp.h, of the
# writers in formats/ and what they include under include/convexdecomp/, the static libraries they
# need, a CMake package (find_package(ConvexDecomposition), targets ConvexDecomposition::core and
# ConvexDecomposition::formats) and a pkg-config file (convexdecomp.pc, both). The desktop and batch programs are installed beside them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CD_LIBRARY_TARGETS cd_formats cd_core cd_hull cd_decomposition cd_io cd_state cd_platform cd_geometry)
set(CD_INSTALLED_HEADERS
  core/convexdecomp.h
  decomposition/region_growing.h
  formats/engines.h
  formats/export.h
  geometry/mesh.h
  geometry/progress.h
  geometry/vec3.h
  hull/hull_construction.h
  io/mesh_reading.h
)
set(CD_INCLUDE_ROOT "${CMAKE_INSTALL_INCLUDEDIR}/convexdecomp")

foreach(target ${CD_LIBRARY_TARGETS})
  string(REPLACE "cd_" "" name ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  target_include_directories(${target} INTERFACE "$<INSTALL_INTERFACE:${CD_INCLUDE_ROOT}>")
endforeach()
install(TARGETS ${CD_LIBRARY_TARGETS} EXPORT ConvexDecompositionTargets
  ARCHIVE DESTINATION lib)
foreach(header ${CD_INSTALLED_HEADERS})
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION "${CD_INCLUDE_ROOT}/${folder}")
endforeach()

set(CD_CMAKE_DIR "lib/cmake/ConvexDecomposition")
install(EXPORT ConvexDecompositionTargets NAMESPACE ConvexDecomposition::
  DESTINATION ${CD_CMAKE_DIR})
configure_package_config_file(cmake/ConvexDecompositionConfig.cmake.in
  "${PROJECT_BINARY_DIR}/ConvexDecompositionConfig.cmake" INSTALL_DESTINATION ${CD_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/ConvexDecompositionConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES "${PROJECT_BINARY_DIR}/ConvexDecompositionConfig.cmake"
  "${PROJECT_BINARY_DIR}/ConvexDecompositionConfigVersion.cmake" DESTINATION ${CD_CMAKE_DIR})

# Static libraries, so they are listed in the order they resolve each other.
set(CD_PC_LIBS "")
foreach(target ${CD_LIBRARY_TARGETS})
  string(APPEND CD_PC_LIBS " -l${target}")
endforeach()
string(APPEND CD_PC_LIBS " -ltinygltf")  # the GLB writer's library (Debian's libtinygltf-dev)
# The prefix is found from the file's own place (pcfiledir), so the package can be moved.
configure_file(cmake/convexdecomp.pc.in "${PROJECT_BINARY_DIR}/convexdecomp.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/convexdecomp.pc" DESTINATION lib/pkgconfig)

install(TARGETS convexdecomp-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(CD_BUILD_GUI)
  install(TARGETS convexdecomp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(CD_BUILD_PYTHON)
  install(TARGETS _convexdecomp LIBRARY DESTINATION "${CD_PYTHON_INSTALL_DIR}/convexdecomp")
  install(FILES ${PROJECT_BINARY_DIR}/python/convexdecomp/__init__.py
    ${PROJECT_BINARY_DIR}/python/convexdecomp/dataset.py
    DESTINATION "${CD_PYTHON_INSTALL_DIR}/convexdecomp")
endif()
