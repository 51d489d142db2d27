// Reading graphs back for pixel checks: decode a PNG with libgd and compare
// regions with font glyphs placed where the layout says.
#pragma once

#include <gd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

struct png_probe {
    gdImagePtr im = nullptr;
    explicit png_probe(const std::string& path) {
        if (FILE* f = fopen(path.c_str(), "rb")) {
            im = gdImageCreateFromPng(f);
            fclose(f);
        }
    }
    ~png_probe() {
        if (im) gdImageDestroy(im);
    }
    png_probe(const png_probe&) = delete;
    png_probe& operator=(const png_probe&) = delete;

    int at(int x, int y) const { return gdImageGetPixel(im, x, y); }

    // Palette indices found in the box [x1, x2] x [y1, y2].
    std::set<int> colours_in(int x1, int y1, int x2, int y2) const {
        std::set<int> found;
        for (int y = y1; y <= y2; y++)
            for (int x = x1; x <= x2; x++) found.insert(at(x, y));
        return found;
    }

    // True when text, drawn with font at (x, y) in colour (upward when up),
    // is exactly there: every ink pixel in colour, every other cell pixel not
    // (those at x >= frame_x, where a frame line crosses the cell, unchecked).
    bool shows(gdFontPtr font, int x, int y, const char* text, int colour, bool up = false,
               int frame_x = 1 << 30) const {
        const int w = font->w, h = font->h;
        for (size_t k = 0; k < strlen(text); k++) {
            int c = static_cast<unsigned char>(text[k]);
            const char* glyph = font->data + (c - font->offset) * w * h;
            for (int cy = 0; cy < h; cy++) {
                for (int cx = 0; cx < w; cx++) {
                    int px = up ? x + cy : x + int(k) * w + cx;
                    int py = up ? y - int(k) * w - cx : y + cy;
                    bool ink = glyph[cy * w + cx] != 0;
                    if (!ink && px >= frame_x) continue;
                    if (ink != (at(px, py) == colour)) return false;
                }
            }
        }
        return true;
    }
};
