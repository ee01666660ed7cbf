# Compiles the ru_RU.CP1251 locale into OUT (for LOCPATH), once.
if(EXISTS ${OUT}/ru_RU.CP1251/LC_CTYPE)
  return()
endif()
file(MAKE_DIRECTORY ${OUT})
execute_process(COMMAND localedef -i ru_RU -f CP1251 ${OUT}/ru_RU.CP1251
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
# localedef exits 1 for mere warnings; the locale is there or it is not.
if(NOT EXISTS ${OUT}/ru_RU.CP1251/LC_CTYPE)
  message(FATAL_ERROR "localedef failed (${rc}): ${out}${err}")
endif()
