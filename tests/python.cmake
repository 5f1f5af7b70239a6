# The Python module's tests (pytest), run against the build tree's package with the batch tool of
# this build, writing no byte-code into the source tree. Label "python": only where the module is
# built (not in the sanitizer builds).
set(CD_PYTEST ${Python_EXECUTABLE} -m pytest -q -p no:cacheprovider)
set(CD_PYTEST_ENVIRONMENT
  "PYTHONPATH=${PROJECT_BINARY_DIR}/python:${CMAKE_CURRENT_SOURCE_DIR}/python"
  "CD_ROOT=${PROJECT_SOURCE_DIR}"
  "PYTHONDONTWRITEBYTECODE=1"
  "CD_CLI=$<TARGET_FILE:convexdecomp-cli>")
foreach(name module dataset)
  add_test(NAME Python.${name}
    COMMAND ${CD_PYTEST} ${CMAKE_CURRENT_SOURCE_DIR}/python/test_${name}.py
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  set_tests_properties(Python.${name} PROPERTIES LABELS python TIMEOUT 120
    ENVIRONMENT "${CD_PYTEST_ENVIRONMENT}")
endforeach()
