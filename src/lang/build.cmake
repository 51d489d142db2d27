# The Ukrainian catalogue is kept in UTF-8 and converted to KOI8-U at build
# time; the converted source is compiled into the core library.
find_program(ICONV_PROGRAM iconv REQUIRED)
set(LANG_CATALOGUE_IN ${CMAKE_SOURCE_DIR}/src/lang/uk_catalogue.cc.in)
set(LANG_CATALOGUE_CC ${CMAKE_BINARY_DIR}/generated/uk_catalogue.cc)
add_custom_command(
  OUTPUT ${LANG_CATALOGUE_CC}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND ${ICONV_PROGRAM} -f UTF-8 -t KOI8-U ${LANG_CATALOGUE_IN} -o ${LANG_CATALOGUE_CC}.tmp
  COMMAND ${CMAKE_COMMAND} -E rename ${LANG_CATALOGUE_CC}.tmp ${LANG_CATALOGUE_CC}
  DEPENDS ${LANG_CATALOGUE_IN}
  COMMENT "Converting the Ukrainian catalogue to KOI8-U"
  VERBATIM)
list(APPEND CORVALIST_GENERATED_SOURCES ${LANG_CATALOGUE_CC})
