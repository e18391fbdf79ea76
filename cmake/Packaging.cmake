# The release package: vpRemovalTool.exe, the administrator's guide, collect-machine.cmd, vpsim.exe
# (the preview on Windows) and the SHA-256 list of the four in one ZIP named after the project version (cmake --build --preset windows --target package).
# Two builds of the same commit, in any two folders, give the same package byte for byte: the
# executable carries no time stamp and no build path (set on the target in CMakeLists.txt), and
# the archive is rewritten with fixed entry times and order (package_deterministic.cmake).

set(VP_GUIDE ${CMAKE_SOURCE_DIR}/docs/ADMINISTRATOR-GUIDE.md)
set(VP_COLLECT_SCRIPT ${CMAKE_SOURCE_DIR}/tools/collect-machine.cmd)
set(VP_SHA256_LIST ${CMAKE_BINARY_DIR}/SHA256SUMS.txt)

# The list in the form sha256sum -c reads: "<hash>  <file name>", one file a line.
add_custom_command(OUTPUT ${VP_SHA256_LIST}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${VP_SHA256_LIST}
          "-DFILES=$<TARGET_FILE:vpRemovalTool>;${VP_GUIDE};${VP_COLLECT_SCRIPT};$<TARGET_FILE:vpsim>"
          -P ${CMAKE_SOURCE_DIR}/cmake/sha256_list.cmake
  DEPENDS vpRemovalTool vpsim ${VP_GUIDE} ${VP_COLLECT_SCRIPT} ${CMAKE_SOURCE_DIR}/cmake/sha256_list.cmake
  VERBATIM)
add_custom_target(sha256_list ALL DEPENDS ${VP_SHA256_LIST})

install(TARGETS vpRemovalTool vpsim RUNTIME DESTINATION .)
install(FILES ${VP_GUIDE} ${VP_COLLECT_SCRIPT} ${VP_SHA256_LIST} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vpRemovalTool)
set(CPACK_PACKAGE_VENDOR "Corvanta LLP.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME vpRemovalTool-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_VP_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/package_deterministic.cmake)
include(CPack)
