# Run by CPack once the Windows files are staged (stripped) and before they
# are packed. Signs each program when the release has a certificate
# (LOADER_SIGN_CERT; otherwise scripts/sign-windows.sh does nothing), then
# dates every staged file SOURCE_DATE_EPOCH: the installer stores each file's
# time, and a release must not depend on when it was built.
file(GLOB_RECURSE _programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
if(_programs)
  execute_process(COMMAND "${CPACK_LOADER_SIGN_SCRIPT}" --if-configured ${_programs} RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "signing the programs failed")
  endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(GLOB_RECURSE _staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
  execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${_staged} "${CPACK_TEMPORARY_DIRECTORY}"
                  RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "dating the staged files failed")
  endif()
endif()
