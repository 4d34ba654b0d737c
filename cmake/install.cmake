# What `cmake --install` puts under the prefix: the program, its manual page,
# the compiled message catalogues, the bash completion and the licence.
#
# The catalogues: po/LINGUAS names the languages; each po/LANG.po is
# compiled with msgfmt into the build tree's locale/LANG/LC_MESSAGES/ (where
# a binary run from the build tree finds it) and installed below
# share/locale. `cmake --build build --target pot` makes po/vornhald.pot
# again from the sources with xgettext.

install(TARGETS vornhald RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/vornhald.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/completion/vornhald.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME vornhald)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

find_program(VORNHALD_MSGFMT msgfmt)
find_program(VORNHALD_XGETTEXT xgettext)
file(STRINGS ${CMAKE_SOURCE_DIR}/po/LINGUAS VORNHALD_LINGUAS REGEX "^[^#]")
if(VORNHALD_MSGFMT)
  set(catalogues "")
  foreach(lang ${VORNHALD_LINGUAS})
    set(po ${CMAKE_SOURCE_DIR}/po/${lang}.po)
    set(mo ${VORNHALD_BUILD_LOCALEDIR}/${lang}/LC_MESSAGES/vornhald.mo)
    add_custom_command(
      OUTPUT ${mo}
      COMMAND ${CMAKE_COMMAND} -E make_directory
              ${VORNHALD_BUILD_LOCALEDIR}/${lang}/LC_MESSAGES
      COMMAND ${VORNHALD_MSGFMT} --check -o ${mo} ${po}
      DEPENDS ${po}
      COMMENT "Compiling the ${lang} message catalogue")
    install(FILES ${mo}
            DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${lang}/LC_MESSAGES)
    list(APPEND catalogues ${mo})
  endforeach()
  add_custom_target(catalogues ALL DEPENDS ${catalogues})
else()
  message(WARNING "msgfmt not found (Debian package gettext): the program "
                  "is built and installed without its translations")
endif()

if(VORNHALD_XGETTEXT)
  file(GLOB_RECURSE vornhald_sources ${CMAKE_SOURCE_DIR}/src/*.cpp
       ${CMAKE_SOURCE_DIR}/src/*.h)
  list(SORT vornhald_sources)
  add_custom_target(pot
    COMMAND ${VORNHALD_XGETTEXT} --language=C++ --from-code=UTF-8
            --keyword=_ --keyword=N_ --add-comments=TRANSLATORS:
            --package-name=vornhald --package-version=${PROJECT_VERSION}
            --msgid-bugs-address=vornhald-bugs@lists.vornhald.org
            --no-location --sort-output
            -o ${CMAKE_SOURCE_DIR}/po/vornhald.pot ${vornhald_sources}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    COMMENT "Extracting the marked messages into po/vornhald.pot")
endif()
