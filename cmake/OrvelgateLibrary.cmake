# One static library per src/ folder: every .cpp in the folder belongs to it.
function(orvelgate_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)  # a folder whose code has not been written yet
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} ${scope} ${ARG_DEPS})
endfunction()

# One test program per tests/ folder: every *_test.cpp in tests/<folder>/ belongs to it,
# and so does every *_support.cpp there (fixtures shared by that folder's tests). A nested
# folder names its program and its tests' label with underscores (app/core: app_core_tests,
# label app_core; `ctest -L app` takes every app folder).
# PROPERTIES adds CTest properties to every test of the folder (e.g. a RESOURCE_LOCK).
function(orvelgate_test_folder folder)
  cmake_parse_arguments(ARG "" "" "DEPS;PROPERTIES" ${ARGN})
  set(dir ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  if(NOT sources)
    return()
  endif()
  string(REPLACE "/" "_" name ${folder})
  file(GLOB support CONFIGURE_DEPENDS ${dir}/*_support.cpp)
  add_executable(${name}_tests ${sources} ${support})
  target_include_directories(${name}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name}_tests PRIVATE ${ARG_DEPS} testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name}_tests PRIVATE
    ORVELGATE_BINARY_DIR="${PROJECT_BINARY_DIR}"
    ORVELGATE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}_tests
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS "${name}" ${ARG_PROPERTIES}
    DISCOVERY_TIMEOUT 60)
endfunction()
