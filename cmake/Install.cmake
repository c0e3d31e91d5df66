# What `cmake --install` and the Debian package put on the system: the
# programs, their man pages (compressed, as Debian keeps them) and their bash
# completions.
include(GNUInstallDirs)

set(QDLGEN_PROGRAMS qdlgen)
if(TARGET qdldump)
  list(APPEND QDLGEN_PROGRAMS qdldump)
endif()
install(TARGETS ${QDLGEN_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

find_program(GZIP_PROGRAM gzip REQUIRED)
set(QDLGEN_MAN_PAGES)
foreach(program IN LISTS QDLGEN_PROGRAMS)
  set(page ${CMAKE_SOURCE_DIR}/docs/${program}.1)
  if(NOT EXISTS ${page})
    message(FATAL_ERROR "${program} has no man page docs/${program}.1")
  endif()
  set(packed ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  # -n leaves out the name and date, so the package is the same from build to build.
  add_custom_command(
    OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9n -c ${page} > ${packed}
    DEPENDS ${page}
    COMMENT "Compressing the man page of ${program}")
  list(APPEND QDLGEN_MAN_PAGES ${packed})
  install(FILES ${packed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES completions/${program} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()
add_custom_target(qdlgen_man_pages ALL DEPENDS ${QDLGEN_MAN_PAGES})

set(CPACK_PACKAGE_NAME qdlgen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarn OS SDK")
set(CPACK_PACKAGE_CONTACT "Tarn OS SDK maintainers <sdk@tarn-os.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "make Tarn OS modules (QDL/QDX) and import libraries from linked PowerPC ELF files")
set(CPACK_PACKAGE_DESCRIPTION
  "qdlgen is the post-link step of the Tarn OS SDK: it checks a big-endian PowerPC ELF \
executable against the loader's rules and writes the module and its import library. \
qdldump shows and checks the modules it writes.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The library dependencies as the programs were linked (libc6 and zlib1g; the
# C++ runtime is linked in), found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
