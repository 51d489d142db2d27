// A small writer of MaxMind DB files (format 2.0) for tests, written from the
// format's public description: a search tree with 32-bit records, 16 zero
// bytes, the data section, the metadata marker and the metadata map.
//
//   mmdb_writer w;                       // an IPv6 tree; IPv4 at ::a.b.c.d
//   w.add("10.1.0.0/16", mm::map({{"country", mm::map({{"iso_code", mm::str("UA")}})}}));
//   std::string file = w.bytes("Test-Country", 1796083200);
//
// Networks may nest; a longer one inside a shorter one wins for its
// addresses. Each record is stored once however many networks share it.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace mm {

// One value of the data section, encoded.
inline std::string control(int type, size_t size) {
    std::string out;
    int field;
    std::string extra;
    if (size < 29) {
        field = static_cast<int>(size);
    } else if (size < 285) {
        field = 29;
        extra.push_back(static_cast<char>(size - 29));
    } else if (size < 65821) {
        field = 30;
        size -= 285;
        extra.push_back(static_cast<char>(size >> 8));
        extra.push_back(static_cast<char>(size & 0xff));
    } else {
        field = 31;
        size -= 65821;
        extra.push_back(static_cast<char>(size >> 16));
        extra.push_back(static_cast<char>((size >> 8) & 0xff));
        extra.push_back(static_cast<char>(size & 0xff));
    }
    if (type <= 7) {
        out.push_back(static_cast<char>((type << 5) | field));
    } else {  // extended: type 0 in the control byte, type - 7 in the next
        out.push_back(static_cast<char>(field));
        out.push_back(static_cast<char>(type - 7));
    }
    return out + extra;
}

inline std::string str(const std::string& s) { return control(2, s.size()) + s; }

// Unsigned integer of the given type (5 uint16, 6 uint32, 9 uint64), big-endian,
// leading zero bytes dropped.
inline std::string uint(int type, uint64_t v) {
    std::string bytes;
    for (; v; v >>= 8) bytes.insert(bytes.begin(), static_cast<char>(v & 0xff));
    return control(type, bytes.size()) + bytes;
}
inline std::string u16(uint64_t v) { return uint(5, v); }
inline std::string u32(uint64_t v) { return uint(6, v); }
inline std::string u64(uint64_t v) { return uint(9, v); }

inline std::string map(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string out = control(7, pairs.size());
    for (const auto& [key, value] : pairs) out += str(key) + value;
    return out;
}

inline std::string array(const std::vector<std::string>& items) {
    std::string out = control(11, items.size());
    for (const auto& item : items) out += item;
    return out;
}

// The usual country record: {"country": {"iso_code": code, "names": {"en": name}}}.
inline std::string country(const std::string& code, const std::string& name = "Somewhere") {
    return map({{"country", map({{"iso_code", str(code)}, {"names", map({{"en", str(name)}})}})}});
}

}  // namespace mm

class mmdb_writer {
  public:
    explicit mmdb_writer(int ip_version = 6) : ip_version_(ip_version) {}

    // network: "a.b.c.d/n" or an IPv6 "x::/n"; record: an encoded value.
    void add(const std::string& network, const std::string& record) {
        size_t slash = network.find('/');
        std::string address = network.substr(0, slash);
        int bits = std::stoi(network.substr(slash + 1));
        unsigned char key[16] = {};
        int offset = 0;
        if (inet_pton(AF_INET, address.c_str(), key + 12) == 1) {
            if (ip_version_ == 6) {
                offset = 96;
            } else {
                std::copy(key + 12, key + 16, key);
                std::fill(key + 4, key + 16, 0);
            }
        } else if (inet_pton(AF_INET6, address.c_str(), key) != 1) {
            throw std::invalid_argument(network);
        }
        int index;
        auto seen = record_index_.find(record);
        if (seen != record_index_.end()) {
            index = seen->second;
        } else {
            index = static_cast<int>(records_.size());
            records_.push_back(record);
            record_index_[record] = index;
        }
        networks_.push_back({std::vector<unsigned char>(key, key + 16), offset + bits, index});
    }

    // The whole file.
    std::string bytes(const std::string& database_type, uint64_t build_epoch) const {
        // Tree nodes: each record is a node index (>= 0), data (-2 - index) or empty (-1).
        std::vector<std::pair<int64_t, int64_t>> nodes(1, {-1, -1});
        std::vector<network_entry> sorted = networks_;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const network_entry& a, const network_entry& b) { return a.bits < b.bits; });
        for (const auto& n : sorted) {
            int64_t node = 0;
            for (int depth = 0; depth < n.bits; ++depth) {
                int bit = (n.key[depth >> 3] >> (7 - (depth & 7))) & 1;
                int64_t& record = bit ? nodes[node].second : nodes[node].first;
                if (depth == n.bits - 1) {
                    record = -2 - n.record;
                    break;
                }
                if (record < 0) {  // empty, or a shorter network's data: split it
                    int64_t inherited = record;
                    nodes.push_back({inherited, inherited});
                    int64_t child = static_cast<int64_t>(nodes.size()) - 1;
                    (bit ? nodes[node].second : nodes[node].first) = child;
                    node = child;
                } else {
                    node = record;
                }
            }
        }
        std::string data;
        std::vector<uint32_t> record_offset;
        for (const auto& r : records_) {
            record_offset.push_back(static_cast<uint32_t>(data.size()));
            data += r;
        }
        const uint32_t node_count = static_cast<uint32_t>(nodes.size());
        std::string out;
        auto put32 = [&out](uint32_t v) {
            for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xff));
        };
        auto value = [&](int64_t record) -> uint32_t {
            if (record >= 0) return static_cast<uint32_t>(record);
            if (record == -1) return node_count;
            return node_count + 16 + record_offset[static_cast<size_t>(-2 - record)];
        };
        for (const auto& [left, right] : nodes) {
            put32(value(left));
            put32(value(right));
        }
        out += std::string(16, '\0') + data + "\xAB\xCD\xEFMaxMind.com";
        out += mm::map({
            {"node_count", mm::u32(node_count)},
            {"record_size", mm::u16(32)},
            {"ip_version", mm::u16(static_cast<uint64_t>(ip_version_))},
            {"database_type", mm::str(database_type)},
            {"languages", mm::array({mm::str("en")})},
            {"binary_format_major_version", mm::u16(2)},
            {"binary_format_minor_version", mm::u16(0)},
            {"build_epoch", mm::u64(build_epoch)},
            {"description", mm::map({{"en", mm::str("test database")}})},
        });
        return out;
    }

  private:
    struct network_entry {
        std::vector<unsigned char> key;
        int bits;  // prefix length in the tree (96 + n for IPv4 in an IPv6 tree)
        int record;
    };
    int ip_version_;
    std::vector<network_entry> networks_;
    std::vector<std::string> records_;
    std::map<std::string, int> record_index_;
};
