# Run by CPack after packing: makes the archives reproducible.
find_program(PYTHON3 python3 REQUIRED)
execute_process(
  COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/normalize_archive.py ${CPACK_PACKAGE_FILES}
  COMMAND_ERROR_IS_FATAL ANY)
