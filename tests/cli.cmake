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

# The engines' own readers on what the batch tool writes for them: MuJoCo (libmujoco-dev),
# urdfdom (liburdfdom-dev), assimp (libassimp-dev), and tinygltf for the GLB's extension.
# Debian's mujoco CMake package names a qhull include folder it does not depend on; the library
# and its header are all the test needs.
find_library(CD_MUJOCO_LIBRARY mujoco REQUIRED)
find_path(CD_MUJOCO_INCLUDE mujoco/mujoco.h REQUIRED)
find_package(urdfdom REQUIRED)
find_package(assimp REQUIRED)
find_package(TinyGLTF REQUIRED)
cd_test(engines_test SOURCES engines_test.cpp
  LIBS cd_formats cd_core cd_io cd_decomposition cd_hull cd_geometry
       ${CD_MUJOCO_LIBRARY} urdfdom::urdfdom_model assimp::assimp TinyGLTF::TinyGLTF
  LABELS core TIMEOUT 120)
target_compile_definitions(engines_test PRIVATE
  CD_CLI="$<TARGET_FILE:convexdecomp-cli>"
  CD_SAMPLES="${PROJECT_SOURCE_DIR}/samples")
target_include_directories(engines_test PRIVATE ${CD_MUJOCO_INCLUDE})
add_dependencies(engines_test convexdecomp-cli)
