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

# One static library per layer. Each layer links only the layers below it, so
# an upward include fails to link.
function(velorin_add_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC velorin_common ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
endfunction()
