# Read by CPack for a Windows build. Given the build of the other architecture
# (cpack -D CPACK_VORTISS_OTHER_BUILD=DIR), the archive carries both architectures.
if(CPACK_VORTISS_OTHER_BUILD)
  if(CPACK_VORTISS_ARCH STREQUAL "x64")
    set(other_arch x86)
  else()
    set(other_arch x64)
  endif()
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${CPACK_VORTISS_OTHER_BUILD} Vortiss Runtime /${other_arch})
  set(CPACK_PACKAGE_FILE_NAME Vortiss-${CPACK_PACKAGE_VERSION}-windows)
endif()
