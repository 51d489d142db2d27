# Graph fonts: a small generator turns the misc-fixed 6x13 and 7x13B fonts
# (xfonts-base) into libgd font records with the KOI8-U repertoire. The
# generator's source ends in .cpp so that it stays out of the library.
find_file(CORVALIST_FONT_SMALL 6x13.pcf.gz PATHS /usr/share/fonts/X11/misc NO_DEFAULT_PATH REQUIRED)
find_file(CORVALIST_FONT_BOLD 7x13B.pcf.gz PATHS /usr/share/fonts/X11/misc NO_DEFAULT_PATH REQUIRED)

add_executable(fontgen ${CMAKE_SOURCE_DIR}/src/graph/fontgen/fontgen.cpp)
target_link_libraries(fontgen PRIVATE ZLIB::ZLIB)

set(CORVALIST_FONT_SOURCE ${CMAKE_BINARY_DIR}/generated/graph_fonts.cc)
add_custom_command(
  OUTPUT ${CORVALIST_FONT_SOURCE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND fontgen ${CORVALIST_FONT_SMALL} 6 13 ${CORVALIST_FONT_BOLD} 7 13 ${CORVALIST_FONT_SOURCE}
  DEPENDS fontgen
  COMMENT "Generating the KOI8-U graph fonts"
  VERBATIM)
list(APPEND CORVALIST_GENERATED_SOURCES ${CORVALIST_FONT_SOURCE})
