// The two graph fonts: 6 x 13 for labels, legends and scale numbers, 7 x 13
// bold for titles and pie legends. Same cell sizes as libgd's small and
// medium-bold fonts, but with the KOI8-U repertoire (Ukrainian and Russian
// letters, box drawing), so catalogue texts reach the images as Cyrillic.
// Generated at build time from the misc-fixed 6x13 and 7x13B fonts by
// src/graph/fontgen; characters 0x00-0x1f and 0x7f are blank.
#pragma once

#include <gd.h>

extern gdFont koi8u_font_small;  // 256 characters from 0, 6 x 13
extern gdFont koi8u_font_bold;   // 256 characters from 0, 7 x 13
