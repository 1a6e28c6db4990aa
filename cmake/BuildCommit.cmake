# Run at every build (cmake -P): writes the tools' version source with the commit of the checkout,
# touching the file only when its text changes, so that an unchanged commit rebuilds nothing.
# In: SOURCE_DIR, TEMPLATE, OUTPUT, PROJECT_VERSION.
execute_process(COMMAND git -C ${SOURCE_DIR} rev-parse --short=12 HEAD
  OUTPUT_VARIABLE BUILD_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status ERROR_QUIET)
if(NOT status EQUAL 0 OR BUILD_COMMIT STREQUAL "")
  set(BUILD_COMMIT "unknown")
else()
  execute_process(COMMAND git -C ${SOURCE_DIR} status --porcelain --untracked-files=no
    OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT changes STREQUAL "")
    string(APPEND BUILD_COMMIT "-dirty")
  endif()
endif()
configure_file(${TEMPLATE} ${OUTPUT}.new @ONLY)
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
