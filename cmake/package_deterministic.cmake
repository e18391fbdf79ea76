# Run by CPack after it made the ZIP: the archive is written again with every entry in name order,
# the same time (SOURCE_DATE_EPOCH when set, otherwise the commit time of the sources, otherwise
# 1980-01-01), the same attributes and no extra fields. CPack's own archive carries each staged
# file's change and access times, which differ from one build to the next.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct
                  WORKING_DIRECTORY "${CPACK_VP_SOURCE_DIR}"
                  OUTPUT_VARIABLE epoch RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(failed OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315532800)
  endif()
endif()
find_program(VP_PYTHON NAMES python3 python REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND "${VP_PYTHON}" "${CPACK_VP_SOURCE_DIR}/cmake/deterministic_zip.py" "${package}" "${epoch}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot rewrite ${package}")
  endif()
endforeach()
