# vornhald_module(NAME DEPS...): the static library vh_NAME from src/NAME/*.cpp
# (main.cpp excepted). New source files are picked up at the next build.
function(vornhald_module name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${name}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT sources)
    # A module still being written links as an empty library.
    set(sources ${CMAKE_BINARY_DIR}/empty_${name}.cpp)
    file(WRITE ${sources} "// empty module\n")
  endif()
  add_library(vh_${name} STATIC ${sources})
  set(scope PUBLIC)
  target_include_directories(vh_${name} ${scope} ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(vh_${name} ${scope} vh_svn PkgConfig::SNAPPY)
  foreach(dep ${ARGN})
    target_link_libraries(vh_${name} ${scope} vh_${dep})
  endforeach()
endfunction()

# One test program a module: tests/unit/test_MODULE_*.cpp become unit_MODULE,
# linked against vh_MODULE; every TEST is its own CTest case, labelled unit.
function(vornhald_unit_tests)
  foreach(name util obfuscate repos props history delta dump frontend)
    file(GLOB tests CONFIGURE_DEPENDS
         ${CMAKE_SOURCE_DIR}/tests/unit/test_${name}_*.cpp)
    if(tests)
      add_executable(unit_${name} ${tests})
      target_include_directories(unit_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
      target_link_libraries(unit_${name} PRIVATE vh_${name} GTest::gtest GTest::gtest_main)
      gtest_discover_tests(unit_${name} PROPERTIES LABELS unit
                           DISCOVERY_TIMEOUT 60)
    endif()
  endforeach()
endfunction()
