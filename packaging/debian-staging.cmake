# Run by CPack in the Debian packages' staging trees, after the install and
# before the packages are made: manual pages are compressed, programs and
# the library lose the comment and note sections, and each package gets its
# own documents, as Debian packages have them. The version has no Debian
# revision, so these are native packages and the changelog is changelog.gz.
find_program(ZINDLE_GZIP gzip REQUIRED)

# component staging folder -> package name
set(packages programs zindle runtime libzindle0 development libzindle-dev)
set(staged 0)
while(packages)
  list(POP_FRONT packages component package)
  set(prefix "${CPACK_TEMPORARY_DIRECTORY}/${component}${CPACK_PACKAGING_INSTALL_PREFIX}")
  if(NOT IS_DIRECTORY "${prefix}")
    continue()
  endif()
  math(EXPR staged "${staged} + 1")

  file(GLOB binaries "${prefix}/bin/*" "${prefix}/lib/*.so.*.*" "${prefix}/lib/*/*.so.*.*")
  foreach(binary IN LISTS binaries)
    if(NOT IS_SYMLINK "${binary}")
      execute_process(COMMAND ${CPACK_ZINDLE_STRIP} --remove-section=.comment --remove-section=.note "${binary}"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()

  # A page that is a link to another (one per library function) becomes a
  # link to the other's compressed page, as man finds them in Debian.
  file(GLOB pages "${prefix}/share/man/man*/*.[0-9]")
  foreach(page IN LISTS pages)
    if(IS_SYMLINK "${page}")
      file(READ_SYMLINK "${page}" target)
      file(REMOVE "${page}")
      file(CREATE_LINK "${target}.gz" "${page}.gz" SYMBOLIC)
    endif()
  endforeach()
  foreach(page IN LISTS pages)
    if(NOT IS_SYMLINK "${page}.gz")
      execute_process(COMMAND ${ZINDLE_GZIP} -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()

  set(doc "${prefix}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  configure_file("${CPACK_ZINDLE_PACKAGING_DIR}/debian/copyright" "${doc}/copyright" COPYONLY)
  configure_file("${CPACK_ZINDLE_PACKAGING_DIR}/debian/changelog" "${doc}/changelog" COPYONLY)
  execute_process(COMMAND ${ZINDLE_GZIP} -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD "${doc}/copyright" "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(CHMOD "${doc}" "${prefix}/share/doc" "${prefix}/share" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
             OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endwhile()
if(staged EQUAL 0)
  message(FATAL_ERROR "no staged packages under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
