# Run by cpack after the install into its staging folder
# (CPACK_PRE_BUILD_SCRIPTS): the documentation a Debian package carries, as
# Debian policy wants it: the notice of packaging/copyright (which names the
# licence texts in /usr/share/common-licenses) as share/doc/exelore/copyright, a
# changelog, the man pages compressed with gzip -9n, and lintian's override
# for what the package does on purpose.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB pages "${usr}/share/man/man*/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${doc}")
file(COPY_FILE "${EXELORE_SOURCE_DIR}/packaging/copyright" "${doc}/copyright")
file(WRITE "${doc}/changelog"
     "${CPACK_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  Thu, 01 Jan 2026 00:00:00 +0000\n")
execute_process(COMMAND gzip -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
# exelore is linked without PIE on purpose (CMakeLists.txt: start-up time).
file(WRITE "${usr}/share/lintian/overrides/${CPACK_PACKAGE_NAME}"
     "${CPACK_PACKAGE_NAME}: hardening-no-pie [usr/bin/exelore]\n")
