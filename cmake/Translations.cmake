# The translation template: every text the screens, the tray and the
# notifications show (the connection status texts live in src/model), as lupdate finds it (tr() and QCoreApplication::
# translate()), regenerated whenever one of their sources changes. A
# translator copies build/<preset>/translations/velorin-vpn.ts to
# velorin-vpn_<lang>.ts and translates it; lrelease turns that into
# velorin-vpn_<lang>.qm, which the application loads from
# share/velorin-vpn/translations. lupdate comes with qt6-l10n-tools
# (scripts/install-deps.sh); without it no template is made.
find_program(VELORIN_LUPDATE lupdate HINTS /usr/lib/qt6/bin /usr/lib/qt6/libexec)
if(NOT VELORIN_LUPDATE)
  message(STATUS "lupdate not found (qt6-l10n-tools): no translation template")
  return()
endif()
file(GLOB_RECURSE velorin_translated_sources CONFIGURE_DEPENDS
  "${PROJECT_SOURCE_DIR}/src/model/*.cpp" "${PROJECT_SOURCE_DIR}/src/model/*.h"
  "${PROJECT_SOURCE_DIR}/src/ui/*.cpp" "${PROJECT_SOURCE_DIR}/src/ui/*.h"
  "${PROJECT_SOURCE_DIR}/src/shell/*.cpp" "${PROJECT_SOURCE_DIR}/src/shell/*.h")
set(velorin_ts "${CMAKE_BINARY_DIR}/translations/velorin-vpn.ts")
add_custom_command(OUTPUT "${velorin_ts}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/translations"
  COMMAND "${VELORIN_LUPDATE}" -silent -locations relative -no-obsolete -source-language en
          -I "${PROJECT_SOURCE_DIR}/src"
          ${velorin_translated_sources} -ts "${velorin_ts}"
  DEPENDS ${velorin_translated_sources}
  COMMENT "Collecting the translatable texts into translations/velorin-vpn.ts"
  VERBATIM)
add_custom_target(velorin_translations ALL DEPENDS "${velorin_ts}")
