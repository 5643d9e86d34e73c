# Release artifacts. On Windows (the mingw preset): the `release` target makes
# exelore-<version>-win64.zip. Elsewhere: `cpack -G DEB` in the build folder
# makes exelore_<version>_<arch>.deb from the install rules.
if(WIN32)
  # The two executables without debug sections or the COFF symbol table
  # (only a debugger reads either: 212 KB instead of 738 KB), a short README
  # and the licence, with Windows line ends.
  set(EXELORE_RELEASE_NAME exelore-${PROJECT_VERSION}-win64)
  set(stage ${PROJECT_BINARY_DIR}/release/${EXELORE_RELEASE_NAME})
  configure_file(packaging/README-windows.txt ${PROJECT_BINARY_DIR}/release/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  # LICENSE.txt: the notice the Debian package's copyright file holds
  # (packaging/copyright), then the licence's full text (LICENSE).
  file(READ packaging/copyright notice)
  file(READ LICENSE licence)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/copyright LICENSE)
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/release/LICENSE.txt CONTENT "${notice}\n\n${licence}"
       @ONLY NEWLINE_STYLE CRLF)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/${EXELORE_RELEASE_NAME}.zip
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}
    COMMAND ${CMAKE_STRIP} --strip-all -o ${stage}/exelore.exe $<TARGET_FILE:exelore>
    COMMAND ${CMAKE_STRIP} --strip-all -o ${stage}/exelore-scan.exe $<TARGET_FILE:exelore-scan>
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/release/README.txt
            ${PROJECT_BINARY_DIR}/release/LICENSE.txt ${stage}
    COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_BINARY_DIR}/release
            ${CMAKE_COMMAND} -E tar cf ${PROJECT_BINARY_DIR}/${EXELORE_RELEASE_NAME}.zip --format=zip
            ${EXELORE_RELEASE_NAME}
    DEPENDS exelore exelore-scan ${PROJECT_BINARY_DIR}/release/README.txt ${PROJECT_BINARY_DIR}/release/LICENSE.txt
    COMMENT "Packing ${EXELORE_RELEASE_NAME}.zip")
  add_custom_target(release DEPENDS ${PROJECT_BINARY_DIR}/${EXELORE_RELEASE_NAME}.zip)
  return()
endif()

install(FILES packaging/exelore.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

set(CPACK_PACKAGE_NAME exelore)
set(CPACK_PACKAGE_VENDOR "ExeLore")
set(EXELORE_PACKAGE_MAINTAINER "ExeLore developers <maintainers@exelore.example>"
    CACHE STRING "The Debian package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${EXELORE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "version information and signer of Windows executables")
set(CPACK_PACKAGE_DESCRIPTION
    "ExeLore prints the twelve standard string fields of a Windows executable's\n"
    "version resource and the name of the certificate that signed it, with\n"
    "whether the Authenticode signature holds (embedded, or through a signed\n"
    "catalog). `exelore /c FILE` writes the report to standard output and needs\n"
    "nothing but the C library. Without arguments, a small Qt dialog opens.\n"
    "`exelore-scan` reports every PE file of a tree (a mounted Windows volume,\n"
    "say) as CSV or JSON Lines.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
# Depends and Recommends come from dpkg-shlibdeps run on each binary alone
# (packaging/dependencies.cmake): the console tool needs only what the
# executable links, and the dialog's Qt libraries are only recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(frontend "")
if(TARGET exelore_qt)
  set(frontend "$<TARGET_FILE:exelore_qt>")
endif()
file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake CONTENT
     "set(EXELORE_CONSOLE \"$<TARGET_FILE:exelore>\")
set(EXELORE_SCAN \"$<TARGET_FILE:exelore-scan>\")
set(EXELORE_FRONTEND \"${frontend}\")
set(EXELORE_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
include(\"${PROJECT_SOURCE_DIR}/packaging/dependencies.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackProjectConfig.cmake)
# Debian's documentation files (copyright, compressed changelog and man page).
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian_docs.cmake)
include(CPack)
