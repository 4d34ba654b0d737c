# vornhald_layers(LAYER...): one static library vh_LAYER from src/LAYER/*.cpp
# (main.cpp excepted) for each layer, lowest first; each links the library
# of the layer below it. New source files are picked up at the next build.
function(vornhald_layers)
  set(below "")
  foreach(name ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${name}/*.cpp)
    list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
    add_library(vh_${name} STATIC ${sources})
    target_include_directories(vh_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
    target_link_libraries(vh_${name} PUBLIC vh_svn PkgConfig::SNAPPY ${below})
    set(below vh_${name})
  endforeach()
endfunction()

# One test program a layer: tests/unit/test_LAYER_*.cpp become unit_LAYER,
# linked against vh_LAYER (and so the layers below it) only; every TEST is
# its own CTest case, labelled unit.
function(vornhald_unit_tests)
  foreach(name ${ARGN})
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
