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

# The console shows catalogue texts in UTF-8 where the locale asks for it: a
# small generator asks the system's converter for the UTF-8 of every KOI8-U
# byte from 0x80 and writes the table. Its source ends in .cpp so that it
# stays out of the library.
add_executable(utf8gen ${CMAKE_SOURCE_DIR}/src/lang/utf8gen/utf8gen.cpp)
set(LANG_UTF8_TABLE_CC ${CMAKE_BINARY_DIR}/generated/koi8u_utf8.cc)
add_custom_command(
  OUTPUT ${LANG_UTF8_TABLE_CC}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND utf8gen ${LANG_UTF8_TABLE_CC}.tmp
  COMMAND ${CMAKE_COMMAND} -E rename ${LANG_UTF8_TABLE_CC}.tmp ${LANG_UTF8_TABLE_CC}
  DEPENDS utf8gen
  COMMENT "Generating the KOI8-U to UTF-8 table of the console"
  VERBATIM)
list(APPEND CORVALIST_GENERATED_SOURCES ${LANG_UTF8_TABLE_CC})
