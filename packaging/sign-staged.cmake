# Run by CPack once the Windows files are staged (stripped) and before they
# are packed: signs each program when the release has a certificate
# (LOADER_SIGN_CERT); otherwise scripts/sign-windows.sh does nothing.
file(GLOB_RECURSE _programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
if(_programs)
  execute_process(COMMAND "${CPACK_LOADER_SIGN_SCRIPT}" --if-configured ${_programs} RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "signing the programs failed")
  endif()
endif()
