# Read by cpack (CPACK_PROJECT_CONFIG_FILE): the package's Depends and
# Recommends, from dpkg-shlibdeps run on the executables and on the dialog's
# front end separately. The front end also needs a Qt platform plugin, which
# no library links.
function(exelore_shlibdeps binary out)
  set(work ${CMAKE_CURRENT_BINARY_DIR}/shlibdeps)
  file(MAKE_DIRECTORY ${work}/debian)
  file(TOUCH ${work}/debian/control)  # dpkg-shlibdeps insists on one
  execute_process(COMMAND dpkg-shlibdeps -O -e${binary} WORKING_DIRECTORY ${work}
                  OUTPUT_VARIABLE substvars RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps ${binary}: ${errors}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

exelore_shlibdeps(${EXELORE_CONSOLE} CPACK_DEBIAN_PACKAGE_DEPENDS)
exelore_shlibdeps(${EXELORE_SCAN} scan_depends)
if(NOT scan_depends STREQUAL CPACK_DEBIAN_PACKAGE_DEPENDS)
  message(FATAL_ERROR "exelore-scan needs ${scan_depends}, exelore ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()
if(EXELORE_FRONTEND)
  exelore_shlibdeps(${EXELORE_FRONTEND} recommends)
  # libc6 is in Depends already.
  string(REGEX REPLACE "^libc6 \\([^)]*\\), " "" recommends "${recommends}")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${recommends}, qt6-qpa-plugins")
endif()
