# velorin_add_test(<source file>
#                  [LIBS libs...] [LABELS labels...] [TIMEOUT seconds]
#                  [SOURCES extra sources...] [ENVIRONMENT VAR=value...]
#                  [WRAPPER program args...])
#
# Builds one QtTest executable from one test file (tst_<name>.cpp) and
# registers it with CTest. Every test runs offscreen, with its own throw-away
# configuration and runtime folders, so no test touches the user's settings.
# WRAPPER runs the test binary through a program (given the binary's path as
# its last argument), e.g. a script that first starts a private D-Bus session;
# a wrapper exits 77 to report the test as skipped.
#
# Tests labelled "tsan" (the supervision and concurrency tests) are also
# dependencies of the target velorin_tsan_tests, so that a ThreadSanitizer run
# of just those builds only what they need, the programs they start included:
#   cmake --build --preset tsan --target velorin_tsan_tests
if(NOT TARGET velorin_tsan_tests)
  add_custom_target(velorin_tsan_tests)
endif()

function(velorin_add_test file)
  cmake_parse_arguments(T "" "TIMEOUT" "LIBS;LABELS;SOURCES;ENVIRONMENT;WRAPPER" ${ARGN})
  get_filename_component(name "${file}" NAME_WE)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  add_executable(${name} "${file}" ${T_SOURCES})
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(velorin_tsan_tests ${name})
  endif()
  target_link_libraries(${name} PRIVATE velorin_common velorin_testsupport Qt6::Test ${T_LIBS})
  add_test(NAME ${name} COMMAND ${T_WRAPPER} $<TARGET_FILE:${name}>)
  if(T_WRAPPER)
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
  set(home "${CMAKE_BINARY_DIR}/test-home/${name}")
  set_tests_properties(${name} PROPERTIES
    LABELS "${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${home};XDG_CONFIG_HOME=${home}/config;XDG_CACHE_HOME=${home}/cache;XDG_DATA_HOME=${home}/data;VELORIN_CONFIG_DIR=${home}/velorin;VELORIN_SUPPORT_DIR=$<TARGET_FILE_DIR:velorin_testsupport>;${T_ENVIRONMENT}")
endfunction()
