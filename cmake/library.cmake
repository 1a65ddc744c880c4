# pellucor_library(NAME DIR): a static library of every .cpp in DIR and its
# subfolders, so a new file joins by being added. main.cpp files are left out.
function(pellucor_library name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*/*.cpp)
  list(FILTER _srcs EXCLUDE REGEX ".*/main\\.cpp$")
  # An anchor keeps a folder whose files are still to come a valid library.
  set(_anchor ${CMAKE_CURRENT_BINARY_DIR}/${name}_anchor.cpp)
  if(NOT EXISTS ${_anchor})
    file(WRITE ${_anchor} "namespace pellucor { void ${name}_anchor() {} }\n")
  endif()
  add_library(${name} STATIC ${_srcs} ${_anchor})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
endfunction()

# pellucor_tests(DIR LINK...): one GoogleTest program per DIR/*_test.cpp.
function(pellucor_tests dir)
  file(GLOB _tests CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  get_filename_component(_kind ${dir} NAME)
  foreach(_t ${_tests})
    get_filename_component(_n ${_t} NAME_WE)
    set(_exe ${_kind}_${_n})
    add_executable(${_exe} ${_t})
    target_link_libraries(${_exe} PRIVATE ${ARGN} GTest::gtest GTest::gmock GTest::gtest_main)
    target_compile_definitions(${_exe} PRIVATE
      PELLUCOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      PELLUCOR_VECTORS_DIR="${PROJECT_SOURCE_DIR}/tests/vectors"
      PELLUCOR_CLI_PATH="$<TARGET_FILE:pellucor-cli>")
    if(TARGET pellucor-test-gate)
      target_compile_definitions(${_exe} PRIVATE PELLUCOR_TEST_GATE_PATH="$<TARGET_FILE:pellucor-test-gate>")
      add_dependencies(${_exe} pellucor-test-gate)
    endif()
    add_dependencies(${_exe} pellucor-cli)
    gtest_discover_tests(${_exe} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()
