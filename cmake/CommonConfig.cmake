# Settings every target of the project shares. Link `velorin_common` instead of
# repeating flags per target.
add_library(velorin_common INTERFACE)
target_compile_features(velorin_common INTERFACE cxx_std_20)
target_compile_options(velorin_common INTERFACE -Wall -Wextra -Wpedantic)
if(VELORIN_WERROR)
  target_compile_options(velorin_common INTERFACE -Werror)
endif()
target_compile_definitions(velorin_common INTERFACE
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_CONTEXTLESS_CONNECT
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_NO_URL_CAST_FROM_STRING
  QT_USE_QSTRINGBUILDER)

# LLVM's linker where it is installed: the suite links over a hundred test
# programs against the same static layers, and GNU ld spends most of a cold
# build's link time on their debug information. The package keeps the
# distribution's default linker.
include(CheckLinkerFlag)
check_linker_flag(CXX "-fuse-ld=lld" VELORIN_HAVE_LLD)
if(VELORIN_HAVE_LLD AND NOT VELORIN_PACKAGE)
  target_link_options(velorin_common INTERFACE -fuse-ld=lld)
endif()

# One static library per layer. Each layer links only the layers below it, so
# an upward include fails to link.
function(velorin_add_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC velorin_common ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
endfunction()
