# Release packages: a .deb and a .tar.gz on Linux, a .zip on Windows (`cpack` in a release build,
# or the package-* workflow presets).
set(CPACK_PACKAGE_NAME vantle)
set(CPACK_PACKAGE_VENDOR "The vantle developers")
set(CPACK_PACKAGE_CONTACT "The vantle developers <dev@vantle.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "A console tool that a long-running daemon starts once per operation:
it launches the Oh My Pi agent for one endpoint inside the daemon's
pseudo-terminal, streams or digests the agent's session logs, and runs
one-shot Thymel and Corvane agent turns.")
set(CPACK_STRIP_FILES ON)
string(TOLOWER "${CMAKE_SYSTEM_NAME}" vantle_system)
set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${vantle_system}-${CMAKE_SYSTEM_PROCESSOR}")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The binary is linked statically: it loads no shared library, so it depends on no package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
endif()
include(CPack)
