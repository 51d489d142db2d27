// Build-time generator of the graph fonts.
//
// Reads two gzip-compressed X11 PCF bitmap fonts with Unicode (ISO10646-1)
// encoding, picks the glyph of every KOI8-U byte and writes a C++ source with
// two libgd font records (256 characters each, one byte per pixel, 1 = ink),
// so that report texts in KOI8-U reach the graphs as Cyrillic letters.
//
//   fontgen SMALL.pcf.gz 6 13 BOLD.pcf.gz 7 13 OUT.cc
//
// Exit status 0 when OUT.cc was written, 1 on any failure (message on stderr).
//
// PCF layout read here (all offsets from the start of the uncompressed file):
//   "\1fcp", u32le table count, then per table: u32le type, format, size, offset.
//   Every table starts with its own u32le format; bit 2 of the format means
//   big-endian numbers, bit 3 most significant bit first, bits 0-1 the row
//   padding (1 << n bytes), bits 4-5 the scan unit, 0x100 compressed metrics.
//   accelerators (type 0x02 / 0x100): 8 bytes of flags, i32 ascent, i32 descent.
//   metrics (0x04): count, then per glyph lsb, rsb, width, ascent, descent
//     (compressed: one byte each, biased by 0x80; else i16 each + u16 attrs).
//   bitmaps (0x08): i32 count, i32 offsets[count], i32 sizes[4], bit data.
//   encodings (0x20): i16 min2, max2, min1, max1, default, then i16 glyph
//     index per code (0xffff = none); code = byte1 * 256 + byte2.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// KOI8-U byte 0x80 + k -> Unicode code point.
constexpr uint16_t koi8u_upper_half[128] = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524,  // 0x80
    0x252C, 0x2534, 0x253C, 0x2580, 0x2584, 0x2588, 0x258C, 0x2590,
    0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,  // 0x90
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7,
    0x2550, 0x2551, 0x2552, 0x0451, 0x0454, 0x2554, 0x0456, 0x0457,  // 0xA0
    0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x0491, 0x255D, 0x255E,
    0x255F, 0x2560, 0x2561, 0x0401, 0x0404, 0x2563, 0x0406, 0x0407,  // 0xB0
    0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x0490, 0x256C, 0x00A9,
    0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,  // 0xC0
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E,
    0x043F, 0x044F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0436, 0x0432,  // 0xD0
    0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413,  // 0xE0
    0x0425, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E,
    0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,  // 0xF0
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,
};

// Code point of a KOI8-U byte; 0 for the control characters, which stay blank.
uint32_t koi8u_code_point(int byte) {
    if (byte < 0x20 || byte == 0x7f) return 0;
    if (byte < 0x80) return uint32_t(byte);
    return koi8u_upper_half[byte - 0x80];
}

struct glyph_metrics {
    int lsb, rsb, width, ascent, descent;
};

struct pcf_font {
    std::vector<unsigned char> file;
    int ascent = 0;
    std::vector<glyph_metrics> metrics;
    std::vector<uint32_t> bitmap_offsets;
    size_t bitmap_base = 0, bitmap_end = 0;
    uint32_t bitmap_format = 0;
    int min2 = 0, max2 = 0, min1 = 0, max1 = 0;
    size_t encoding_base = 0;
    uint32_t encoding_format = 0;
};

// Bounded little/big-endian readers: false when the field lies past the end.
struct reader {
    const std::vector<unsigned char>& b;
    size_t pos;
    size_t end;
    bool big;
    bool ok = true;
    uint32_t u32() {
        if (pos + 4 > end) { ok = false; return 0; }
        const unsigned char* p = &b[pos];
        pos += 4;
        return big ? (uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3])
                   : (uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
    }
    int i16() {
        if (pos + 2 > end) { ok = false; return 0; }
        const unsigned char* p = &b[pos];
        pos += 2;
        return int16_t(big ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]));
    }
    int u8() {
        if (pos + 1 > end) { ok = false; return 0; }
        return b[pos++];
    }
};

bool load_gzip(const char* path, std::vector<unsigned char>& out) {
    gzFile f = gzopen(path, "rb");
    if (!f) return false;
    unsigned char buf[65536];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    bool ok = n == 0;
    gzclose(f);
    return ok && !out.empty();
}

bool parse_pcf(const char* path, pcf_font& font) {
    if (!load_gzip(path, font.file)) {
        fprintf(stderr, "fontgen: cannot read %s\n", path);
        return false;
    }
    const auto& b = font.file;
    if (b.size() < 8 || memcmp(b.data(), "\1fcp", 4) != 0) {
        fprintf(stderr, "fontgen: %s is not a PCF font\n", path);
        return false;
    }
    reader toc{b, 4, b.size(), false};
    uint32_t tables = toc.u32();
    bool have_accel = false, have_metrics = false, have_bitmaps = false, have_enc = false;
    for (uint32_t t = 0; t < tables && toc.ok; t++) {
        uint32_t type = toc.u32(), fmt_in_toc = toc.u32(), size = toc.u32(), offset = toc.u32();
        (void)fmt_in_toc;
        if (!toc.ok || offset > b.size()) {
            fprintf(stderr, "fontgen: %s has a broken table directory\n", path);
            return false;
        }
        // The directory may count padding past the end of the last table.
        if (size > b.size() - offset) size = uint32_t(b.size() - offset);
        reader head{b, offset, size_t(offset) + size, false};
        uint32_t format = head.u32();
        reader r{b, head.pos, head.end, (format & 4) != 0};
        if (type == 0x100 || (type == 0x02 && !have_accel)) {
            for (int k = 0; k < 8; k++) r.u8();
            font.ascent = int(int32_t(r.u32()));
            have_accel = r.ok;
        } else if (type == 0x04) {
            bool compressed = (format & 0x100) != 0;
            int count = compressed ? r.i16() : int(r.u32());
            for (int g = 0; g < count && r.ok; g++) {
                glyph_metrics m{};
                if (compressed) {
                    m.lsb = r.u8() - 0x80; m.rsb = r.u8() - 0x80; m.width = r.u8() - 0x80;
                    m.ascent = r.u8() - 0x80; m.descent = r.u8() - 0x80;
                } else {
                    m.lsb = r.i16(); m.rsb = r.i16(); m.width = r.i16();
                    m.ascent = r.i16(); m.descent = r.i16(); r.i16();
                }
                font.metrics.push_back(m);
            }
            have_metrics = r.ok;
        } else if (type == 0x08) {
            uint32_t count = r.u32();
            for (uint32_t g = 0; g < count && r.ok; g++) font.bitmap_offsets.push_back(r.u32());
            uint32_t sizes[4];
            for (auto& s : sizes) s = r.u32();
            font.bitmap_format = format;
            font.bitmap_base = r.pos;
            font.bitmap_end = r.end;
            have_bitmaps = r.ok && sizes[format & 3] <= r.end - r.pos;
        } else if (type == 0x20) {
            font.min2 = r.i16(); font.max2 = r.i16(); font.min1 = r.i16(); font.max1 = r.i16();
            r.i16();
            font.encoding_base = r.pos;
            font.encoding_format = format;
            size_t cells = size_t(font.max2 - font.min2 + 1) * size_t(font.max1 - font.min1 + 1);
            have_enc = r.ok && font.max2 >= font.min2 && font.max1 >= font.min1 &&
                       cells * 2 <= r.end - r.pos;
        }
    }
    if (!(have_accel && have_metrics && have_bitmaps && have_enc)) {
        fprintf(stderr, "fontgen: %s lacks a table this generator needs\n", path);
        return false;
    }
    return true;
}

// Glyph index of a code point, -1 when the font has none.
int glyph_index(const pcf_font& f, uint32_t cp) {
    int b1 = int(cp >> 8), b2 = int(cp & 0xff);
    if (b1 < f.min1 || b1 > f.max1 || b2 < f.min2 || b2 > f.max2) return -1;
    size_t cell = size_t(b1 - f.min1) * size_t(f.max2 - f.min2 + 1) + size_t(b2 - f.min2);
    reader r{f.file, f.encoding_base + 2 * cell, f.file.size(), (f.encoding_format & 4) != 0};
    int idx = r.i16() & 0xffff;
    if (!r.ok || idx == 0xffff || size_t(idx) >= f.metrics.size() ||
        size_t(idx) >= f.bitmap_offsets.size())
        return -1;
    return idx;
}

// Paints glyph g into a w x h cell (one byte per pixel). Ink outside the cell
// is dropped and counted in clipped.
void render_glyph(const pcf_font& f, int g, int w, int h, unsigned char* cell, int& clipped) {
    const glyph_metrics& m = f.metrics[size_t(g)];
    int pad = 1 << (f.bitmap_format & 3);
    int unit = 1 << ((f.bitmap_format >> 4) & 3);
    bool msbyte = (f.bitmap_format & 4) != 0, msbit = (f.bitmap_format & 8) != 0;
    int cols = m.rsb - m.lsb, rows = m.ascent + m.descent;
    int row_bytes = (cols + 8 * pad - 1) / (8 * pad) * pad;
    size_t base = f.bitmap_base + f.bitmap_offsets[size_t(g)];
    for (int y = 0; y < rows; y++) {
        for (int x = 0; x < cols; x++) {
            int byte = x / 8;
            // Bytes inside a scan unit are swapped when byte and bit order differ.
            if (unit > 1 && msbyte != msbit) byte = (byte / unit) * unit + (unit - 1 - byte % unit);
            size_t at = base + size_t(y) * size_t(row_bytes) + size_t(byte);
            if (at >= f.bitmap_end) continue;
            int bit = msbit ? 7 - x % 8 : x % 8;
            if (!((f.file[at] >> bit) & 1)) continue;
            int px = m.lsb + x, py = f.ascent - m.ascent + y;
            if (px < 0 || px >= w || py < 0 || py >= h) {
                clipped++;
                continue;
            }
            cell[py * w + px] = 1;
        }
    }
}

bool emit_font(FILE* out, const char* path, int w, int h, const char* name) {
    pcf_font font;
    if (!parse_pcf(path, font)) return false;
    int a = glyph_index(font, 'A');
    if (a < 0 || font.metrics[size_t(a)].width != w) {
        fprintf(stderr, "fontgen: %s is not a %d-pixel fixed font\n", path, w);
        return false;
    }
    std::vector<unsigned char> data(size_t(256) * size_t(w) * size_t(h), 0);
    int clipped = 0, missing = 0;
    for (int c = 0; c < 256; c++) {
        uint32_t cp = koi8u_code_point(c);
        if (cp == 0) continue;
        int g = glyph_index(font, cp);
        if (g < 0) {
            missing++;
            continue;
        }
        render_glyph(font, g, w, h, &data[size_t(c) * size_t(w) * size_t(h)], clipped);
    }
    // Every Cyrillic letter of KOI8-U must be there; box drawing may be absent.
    for (int c = 0xc0; c < 0x100; c++) {
        if (glyph_index(font, koi8u_code_point(c)) < 0) {
            fprintf(stderr, "fontgen: %s has no glyph for U+%04X\n", path, koi8u_code_point(c));
            return false;
        }
    }
    for (int c : {0xa4, 0xa6, 0xa7, 0xad, 0xb4, 0xb6, 0xb7, 0xbd, 0xa3, 0xb3}) {
        if (glyph_index(font, koi8u_code_point(c)) < 0) {
            fprintf(stderr, "fontgen: %s has no glyph for U+%04X\n", path, koi8u_code_point(c));
            return false;
        }
    }
    fprintf(out, "// From %s: %d blank (not in the font), %d pixels clipped.\n", path, missing,
            clipped);
    fprintf(out, "static char %s_pixels[%zu] = {\n", name, data.size());
    for (size_t i = 0; i < data.size(); i++)
        fprintf(out, "%d%s", data[i], (i + 1) % size_t(w * h) == 0 ? ",\n" : ",");
    fprintf(out, "};\ngdFont %s = {256, 0, %d, %d, %s_pixels};\n\n", name, w, h, name);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        fprintf(stderr, "usage: fontgen SMALL.pcf.gz W H BOLD.pcf.gz W H OUT.cc\n");
        return 1;
    }
    std::string tmp = std::string(argv[7]) + ".tmp";
    FILE* out = fopen(tmp.c_str(), "w");
    if (!out) {
        fprintf(stderr, "fontgen: cannot write %s\n", tmp.c_str());
        return 1;
    }
    fprintf(out, "// Generated at build time by fontgen from the misc-fixed fonts. Do not edit.\n");
    fprintf(out, "#include \"graph/fonts.h\"\n\n");
    bool ok = emit_font(out, argv[1], atoi(argv[2]), atoi(argv[3]), "koi8u_font_small") &&
              emit_font(out, argv[4], atoi(argv[5]), atoi(argv[6]), "koi8u_font_bold");
    if (fclose(out) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), argv[7]) != 0) {
        remove(tmp.c_str());
        return 1;
    }
    return 0;
}
