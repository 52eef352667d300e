# Run by CPack in the Debian package's staging tree, after the install and
# before the package is made: the manual pages are compressed and the
# package's own documents are added, as Debian packages have them. The
# version has no Debian revision, so this is a native package and its
# changelog is changelog.gz.
set(prefix "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
if(NOT IS_DIRECTORY "${prefix}/bin")
  message(FATAL_ERROR "no staged programs under ${prefix}")
endif()
find_program(ZINDLE_GZIP gzip REQUIRED)

# CPack has stripped the programs already; the notes the compiler left go too.
file(GLOB programs "${prefix}/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_ZINDLE_STRIP} --remove-section=.comment --remove-section=.note "${program}"
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()

file(GLOB pages "${prefix}/share/man/man1/*.1")
foreach(page IN LISTS pages)
  execute_process(COMMAND ${ZINDLE_GZIP} -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()

set(doc "${prefix}/share/doc/zindle")
file(MAKE_DIRECTORY "${doc}")
configure_file("${CPACK_ZINDLE_PACKAGING_DIR}/debian/copyright" "${doc}/copyright" COPYONLY)
configure_file("${CPACK_ZINDLE_PACKAGING_DIR}/debian/changelog" "${doc}/changelog" COPYONLY)
execute_process(COMMAND ${ZINDLE_GZIP} -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD "${doc}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
           WORLD_READ WORLD_EXECUTE)
