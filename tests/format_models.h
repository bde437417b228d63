// IPS, UPS, BPS, PPF, APS, RUP and VCDIFF as their public descriptions put them, written plainly
// and apart from the program: builders for hand-made patches, and decoders
// that hold the program's results to account.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelk::test::model {

using Bytes = std::vector<std::uint8_t>;

// CRC-32 bit by bit, as the polynomial defines it.
inline std::uint32_t Crc(const Bytes& bytes, std::size_t from = 0, std::size_t to = SIZE_MAX) {
    std::uint32_t c = 0xFFFFFFFF;
    for (std::size_t i = from; i < std::min(to, bytes.size()); ++i) {
        c ^= bytes[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    }
    return ~c;
}

inline void PutLe32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

inline void PutNumber(Bytes& out, std::uint64_t v) {
    for (;;) {
        const std::uint8_t x = v & 0x7F;
        v >>= 7;
        if (v == 0) {
            out.push_back(0x80 | x);
            return;
        }
        out.push_back(x);
        --v;
    }
}

struct Reader {
    const Bytes& b;
    std::size_t at;
    std::uint8_t Byte() {
        if (at >= b.size()) throw std::runtime_error("past the end");
        return b[at++];
    }
    std::uint64_t Number() {
        std::uint64_t data = 0, shift = 1;
        for (;;) {
            const std::uint8_t x = Byte();
            data += (x & 0x7F) * shift;
            if (x & 0x80) return data;
            shift <<= 7;
            data += shift;
        }
    }
    std::uint64_t Big(int bytes) {
        std::uint64_t v = 0;
        while (bytes-- > 0) v = v << 8 | Byte();
        return v;
    }
    std::uint32_t Le32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return v;
    }
};

// IPS
struct IpsRecord {
    std::uint32_t offset;
    Bytes data;                 // a plain record
    std::uint16_t runLength = 0;  // a run, when data is empty
    std::uint8_t runByte = 0;
};

inline Bytes Ips(const std::vector<IpsRecord>& records, std::optional<std::uint32_t> truncation = {},
                 bool wide = false) {
    const int width = wide ? 4 : 3;
    Bytes out;
    for (const char c : std::string(wide ? "IPS32" : "PATCH")) out.push_back(static_cast<std::uint8_t>(c));
    const auto big = [&](std::uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    for (const IpsRecord& r : records) {
        big(r.offset, width);
        if (r.data.empty()) {
            big(0, 2);
            big(r.runLength, 2);
            out.push_back(r.runByte);
        } else {
            big(r.data.size(), 2);
            out.insert(out.end(), r.data.begin(), r.data.end());
        }
    }
    for (const char c : std::string(wide ? "EEOF" : "EOF")) out.push_back(static_cast<std::uint8_t>(c));
    if (truncation) big(*truncation, width);
    return out;
}

// The truncation is read first, so that the image never grows past what the
// result keeps, as the program's never does.
inline Bytes ApplyIps(Bytes file, const Bytes& patch) {
    const bool wide = patch.size() >= 5 && patch[0] == 'I';
    const int width = wide ? 4 : 3;
    // Each record as its offset, its size and its i-th byte; returns where the EOF mark ends.
    const auto walk = [&](const auto& visit) {
        Reader r{patch, 5};
        for (;;) {
            const std::uint64_t offset = r.Big(width);
            if (offset == (wide ? 0x45454F46u : 0x454F46u)) return r.at;
            const std::uint64_t size = r.Big(2);
            if (size == 0) {
                const std::uint64_t count = r.Big(2);
                const std::uint8_t byte = r.Byte();
                visit(offset, count, [&](std::uint64_t) { return byte; });
            } else {
                const std::size_t from = r.at;
                if (size > patch.size() - from) throw std::runtime_error("past the end");
                r.at += size;
                visit(offset, size, [&](std::uint64_t i) { return patch[from + i]; });
            }
        }
    };
    const std::size_t end = walk([](std::uint64_t, std::uint64_t, const auto&) {});
    std::optional<std::uint64_t> truncation;
    if (patch.size() - end == static_cast<std::size_t>(width)) truncation = Reader{patch, end}.Big(width);
    const std::uint64_t kept = truncation.value_or(UINT64_MAX);
    walk([&](std::uint64_t offset, std::uint64_t size, const auto& byte) {
        // A record of no bytes past the end still lengthens the file to its offset.
        const std::uint64_t stop = std::min(offset + size, kept);
        if (file.size() < stop) file.resize(stop, 0);
        for (std::uint64_t i = 0; offset + i < stop; ++i) file[offset + i] = byte(i);
    });
    if (truncation) file.resize(*truncation, 0);
    return file;
}

// A UPS or BPS patch by hand: the magic, the two sizes, `body` as it is,
// and the three CRC-32s, the patch's own right.
inline Bytes Checksummed(const char* magic, std::uint64_t sourceSize, std::uint64_t targetSize, const Bytes& body,
                         std::uint32_t sourceCrc = 0, std::uint32_t targetCrc = 0) {
    Bytes out(magic, magic + 4);
    PutNumber(out, sourceSize);
    PutNumber(out, targetSize);
    out.insert(out.end(), body.begin(), body.end());
    PutLe32(out, sourceCrc);
    PutLe32(out, targetCrc);
    PutLe32(out, Crc(out));
    return out;
}

// UPS: every difference as XOR, runs closed by a zero.
inline Bytes Ups(const Bytes& source, const Bytes& target) {
    Bytes out = {'U', 'P', 'S', '1'};
    PutNumber(out, source.size());
    PutNumber(out, target.size());
    const auto at = [](const Bytes& b, std::size_t i) -> std::uint8_t { return i < b.size() ? b[i] : 0; };
    // Over the longer file, so that the patch works both ways.
    const std::size_t size = std::max(source.size(), target.size());
    std::size_t last = 0;
    for (std::size_t i = 0; i < size;) {
        if (at(source, i) == at(target, i)) {
            ++i;
            continue;
        }
        PutNumber(out, i - last);
        while (i < size && at(source, i) != at(target, i)) {
            out.push_back(at(source, i) ^ at(target, i));
            ++i;
        }
        out.push_back(0);
        last = ++i;
    }
    PutLe32(out, Crc(source));
    PutLe32(out, Crc(target));
    PutLe32(out, Crc(out));
    return out;
}

// `check`: hold the file and the result to the patch's checksums (and
// choose the way by them); without, forward whatever the file.
inline Bytes ApplyUps(const Bytes& file, const Bytes& patch, bool check = true) {
    Reader r{patch, 4};
    std::uint64_t inSize = r.Number(), outSize = r.Number();
    Reader footer{patch, patch.size() - 12};
    std::uint32_t inCrc = footer.Le32(), outCrc = footer.Le32();
    if (check && Crc(file) == outCrc && file.size() == outSize) {
        std::swap(inSize, outSize);
        std::swap(inCrc, outCrc);
    }
    if (check && Crc(file) != inCrc) throw std::runtime_error("wrong input");
    Bytes out(outSize, 0);
    for (std::size_t i = 0; i < std::min<std::size_t>(outSize, file.size()); ++i) out[i] = file[i];
    std::uint64_t pos = 0;
    while (r.at < patch.size() - 12) {
        pos += r.Number();
        for (std::uint8_t x; (x = r.Byte()) != 0; ++pos)
            if (pos < outSize) out[pos] = (pos < file.size() ? file[pos] : 0) ^ x;
        ++pos;
    }
    if (check && Crc(out) != outCrc) throw std::runtime_error("wrong output");
    return out;
}

// BPS
enum Op { SourceRead = 0, TargetRead = 1, SourceCopy = 2, TargetCopy = 3 };
struct BpsCommand {
    Op op;
    std::uint64_t length;
    std::int64_t move = 0;  // SourceCopy, TargetCopy: how far the cursor moves first
    Bytes data = {};        // TargetRead
};

inline Bytes Bps(const Bytes& source, const Bytes& target, const std::vector<BpsCommand>& commands,
                 const std::string& metadata = "") {
    Bytes out = {'B', 'P', 'S', '1'};
    PutNumber(out, source.size());
    PutNumber(out, target.size());
    PutNumber(out, metadata.size());
    out.insert(out.end(), metadata.begin(), metadata.end());
    for (const BpsCommand& c : commands) {
        PutNumber(out, (c.length - 1) << 2 | c.op);
        if (c.op == TargetRead) out.insert(out.end(), c.data.begin(), c.data.end());
        if (c.op >= SourceCopy)
            PutNumber(out, static_cast<std::uint64_t>(c.move < 0 ? -c.move : c.move) << 1 | (c.move < 0 ? 1 : 0));
    }
    PutLe32(out, Crc(source));
    PutLe32(out, Crc(target));
    PutLe32(out, Crc(out));
    return out;
}

inline Bytes ApplyBps(const Bytes& source, const Bytes& patch, bool check = true) {
    Reader r{patch, 4};
    const std::uint64_t sourceSize = r.Number(), targetSize = r.Number();
    r.at += r.Number();
    if (check && source.size() != sourceSize) throw std::runtime_error("wrong source");
    Bytes out;
    std::int64_t sourceCursor = 0, targetCursor = 0;
    while (r.at < patch.size() - 12) {
        const std::uint64_t data = r.Number();
        const std::uint64_t length = (data >> 2) + 1;
        for (std::uint64_t i = 0; i < length; ++i) {
            switch (data & 3) {
                case SourceRead: out.push_back(source.at(out.size())); break;
                case TargetRead: out.push_back(r.Byte()); break;
                case SourceCopy:
                    if (i == 0) {
                        const std::uint64_t d = r.Number();
                        sourceCursor += (d & 1 ? -1 : 1) * static_cast<std::int64_t>(d >> 1);
                    }
                    out.push_back(source.at(static_cast<std::size_t>(sourceCursor++)));
                    break;
                default:
                    if (i == 0) {
                        const std::uint64_t d = r.Number();
                        targetCursor += (d & 1 ? -1 : 1) * static_cast<std::int64_t>(d >> 1);
                    }
                    out.push_back(out.at(static_cast<std::size_t>(targetCursor++)));
            }
        }
    }
    Reader footer{patch, patch.size() - 12};
    if (out.size() != targetSize) throw std::runtime_error("wrong size");
    if (check && (footer.Le32() != Crc(source) || footer.Le32() != Crc(out))) throw std::runtime_error("wrong result");
    return out;
}

// PPF 1.0, 2.0 and 3.0: records after the header (56 bytes; 1084 with the
// 1024-byte block of 2.0, and of 3.0 where its block check is on, else 60),
// up to FILE_ID.DIZ where one is appended: its marks around it, then its
// length in 4 bytes (2.0) or 2 (3.0; the other size is met too). `reverse`
// writes 3.0's undo bytes, within the file.
inline Bytes ApplyPpf(Bytes file, const Bytes& patch, bool reverse = false) {
    const int version = patch[3] - '0';
    const bool undo = version == 3 && patch[58] == 1;
    std::size_t at = version == 1 ? 56 : version == 2 || patch[57] == 1 ? 1084 : 60;
    const std::string all(patch.begin(), patch.end());
    std::size_t end = patch.size();
    for (const std::size_t width : {version == 3 ? 2u : 4u, version == 3 ? 4u : 2u}) {
        if (version == 1 || all.size() < at + 34 + width || all.compare(all.size() - width - 16, 16, "@END_FILE_ID.DIZ") != 0)
            continue;
        std::size_t length = 0;
        for (std::size_t i = 0; i < width; ++i) length |= std::size_t{patch[all.size() - width + i]} << (8 * i);
        end = all.size() - width - 16 - length - 18;
        break;
    }
    Reader r{patch, at};
    while (r.at < end) {
        std::uint64_t offset = 0;
        for (int i = 0; i < (version == 3 ? 8 : 4); ++i) offset |= static_cast<std::uint64_t>(r.Byte()) << (8 * i);
        const std::size_t n = r.Byte();
        Bytes bytes;
        if (version == 1 && n == 0) {
            const std::uint8_t byte = r.Byte();
            bytes.assign(r.Byte(), byte);
        } else {
            for (std::size_t i = 0; i < n; ++i) bytes.push_back(r.Byte());
            Bytes old;
            for (std::size_t i = 0; undo && i < n; ++i) old.push_back(r.Byte());
            if (reverse) bytes = old;
        }
        if (reverse) bytes.resize(offset < file.size() ? std::min<std::size_t>(bytes.size(), file.size() - offset) : 0);
        if (file.size() < offset + bytes.size()) file.resize(static_cast<std::size_t>(offset + bytes.size()), 0);
        std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return file;
}

// APS (N64 form): a header of 61 bytes (simple) or 78 (N64, its type byte 1),
// the result's size in its last four; records as PPF 1.0's; the result made
// that size.
inline Bytes ApplyAps(Bytes file, const Bytes& patch) {
    const bool n64 = patch[5] == 1;
    const std::size_t sizeAt = n64 ? 74 : 57;
    std::size_t size = 0;
    for (int i = 0; i < 4; ++i) size |= std::size_t{patch[sizeAt + static_cast<std::size_t>(i)]} << (8 * i);
    Reader r{patch, sizeAt + 4};
    while (r.at < patch.size()) {
        std::size_t offset = 0;
        for (int i = 0; i < 4; ++i) offset |= std::size_t{r.Byte()} << (8 * i);
        const std::size_t n = r.Byte();
        Bytes bytes;
        if (n == 0) {
            const std::uint8_t byte = r.Byte();
            bytes.assign(r.Byte(), byte);
        }
        for (std::size_t i = 0; i < n; ++i) bytes.push_back(r.Byte());
        // What lies past the result's size is never written.
        if (offset >= size) continue;
        bytes.resize(std::min(bytes.size(), size - offset));
        if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), 0);
        std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    file.resize(size, 0);
    return file;
}

// CRC-16/CCITT-FALSE: polynomial 0x1021 from 0xFFFF, high bit first; each
// byte's step worked out bit by bit once.
inline std::uint16_t Crc16(const Bytes& bytes, std::size_t from, std::size_t to) {
    static const auto table = [] {
        std::vector<std::uint16_t> t(256);
        for (unsigned n = 0; n < 256; ++n) {
            auto c = static_cast<std::uint16_t>(n << 8);
            for (int k = 0; k < 8; ++k) c = static_cast<std::uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
            t[n] = c;
        }
        return t;
    }();
    std::uint16_t c = 0xFFFF;
    for (std::size_t i = from; i < to; ++i)
        c = static_cast<std::uint16_t>(c << 8 ^ table[(c >> 8 ^ (i < bytes.size() ? bytes[i] : 0)) & 0xFF]);
    return c;
}

// APS (GBA form): "APS1", the original's and the result's sizes, then
// blocks of an offset, the CRC16s of the 64 KiB there before and after
// (zeros past a file's end), and the 64 KiB to XOR in. Throws where a CRC16
// does not hold.
inline Bytes ApplyApsGba(Bytes file, const Bytes& patch) {
    Reader r{patch, 4};
    const auto le = [&](int bytes) {
        std::size_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= std::size_t{r.Byte()} << (8 * i);
        return v;
    };
    if (le(4) != file.size()) throw std::runtime_error("not the original's size");
    const std::size_t size = le(4);
    const Bytes original = file;
    file.resize(std::max(size, file.size()) + 0x10000, 0);
    while (r.at < patch.size()) {
        const std::size_t offset = le(4), before = le(2), after = le(2);
        if (Crc16(original, offset, offset + 0x10000) != before) throw std::runtime_error("another original block");
        for (std::size_t i = 0; i < 0x10000; ++i) file[offset + i] = static_cast<std::uint8_t>((offset + i < original.size() ? original[offset + i] : 0) ^ r.Byte());
        if (Crc16(file, offset, offset + 0x10000) != after) throw std::runtime_error("another result block");
    }
    file.resize(size);
    return file;
}

// RUP (NINJA 2.0), its first file forward: numbers are a byte count, then
// the bytes low first; the longer file's tail after the MD5s, each byte
// XORed with 0xFF, then XOR runs.
inline Bytes ApplyRup(const Bytes& file, const Bytes& patch) {
    Reader r{patch, 2048};
    const auto number = [&] {
        std::uint64_t v = 0;
        for (unsigned i = 0, n = r.Byte(); i < n; ++i) v |= std::uint64_t{r.Byte()} << (8 * i);
        return static_cast<std::size_t>(v);
    };
    if (r.Byte() != 1) throw std::runtime_error("no file");
    r.at += number();  // its name
    r.Byte();          // its kind
    const std::size_t sourceSize = number(), targetSize = number();
    r.at += 32;  // the MD5s
    if (sourceSize != file.size()) throw std::runtime_error("not the original's size");
    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(std::min(sourceSize, targetSize)));
    if (sourceSize != targetSize) {
        r.Byte();
        const std::size_t tail = number();
        for (std::size_t i = 0; i < tail; ++i) {
            const std::uint8_t b = r.Byte();
            if (targetSize > sourceSize) out.push_back(b ^ 0xFF);
        }
    }
    for (std::uint8_t command; (command = r.Byte()) == 2;) {
        const std::size_t offset = number(), length = number();
        for (std::size_t i = 0; i < length; ++i) out.at(offset + i) ^= r.Byte();
    }
    return out;
}

// VCDIFF (RFC 3284) without secondary compression or a code table of its
// own: the header (an application header skipped), then windows, each
// checked against its Adler-32 where it gives one. The default code table's
// entries are worked out from their index, as the RFC lists them.
inline Bytes ApplyVcdiff(const Bytes& source, const Bytes& patch) {
    struct Inst {
        int type, size, mode;  // type: 0 none, 1 ADD, 2 RUN, 3 COPY
    };
    const auto entry = [](int code) -> std::pair<Inst, Inst> {
        if (code == 0) return {{2, 0, 0}, {}};
        if (code <= 18) return {{1, code - 1, 0}, {}};
        if (code <= 162) {
            const int k = code - 19;
            return {{3, k % 16 == 0 ? 0 : k % 16 + 3, k / 16}, {}};
        }
        if (code <= 234) {
            const int k = code - 163;
            return {{1, k % 12 / 3 + 1, 0}, {3, k % 3 + 4, k / 12}};
        }
        if (code <= 246) return {{1, (code - 235) % 4 + 1, 0}, {3, 4, 6 + (code - 235) / 4}};
        return {{3, 4, code - 247}, {1, 1, 0}};
    };
    const auto varint = [](const Bytes& b, std::size_t& at) {
        std::uint64_t v = 0;
        for (;;) {
            if (at >= b.size()) throw std::runtime_error("past the end");
            const std::uint8_t x = b[at++];
            v = v << 7 | (x & 0x7F);
            if (!(x & 0x80)) return v;
        }
    };
    if (patch.size() < 5 || patch[0] != 0xD6 || patch[1] != 0xC3 || patch[2] != 0xC4 || patch[3] != 0)
        throw std::runtime_error("not VCDIFF");
    if (patch[4] & 3) throw std::runtime_error("compressed, or its own code table");
    std::size_t at = 5;
    if (patch[4] & 4) at += static_cast<std::size_t>(varint(patch, at));
    Bytes out;
    while (at < patch.size()) {
        const std::uint8_t indicator = patch[at++];
        std::uint64_t segLength = 0, segPosition = 0;
        if (indicator & 3) segLength = varint(patch, at), segPosition = varint(patch, at);
        const Bytes& from = indicator & 1 ? source : out;
        varint(patch, at);  // the delta's length
        const std::uint64_t length = varint(patch, at);
        if (patch.at(at++) != 0) throw std::runtime_error("compressed sections");
        const std::uint64_t dataLength = varint(patch, at), instLength = varint(patch, at), addrLength = varint(patch, at);
        std::optional<std::uint32_t> adler;
        if (indicator & 4) adler = static_cast<std::uint32_t>(Reader{patch, at}.Big(4)), at += 4;
        std::size_t data = at, inst = data + dataLength, addr = inst + instLength;
        const std::size_t instEnd = addr, end = addr + addrLength;
        if (end > patch.size()) throw std::runtime_error("cut short");
        Bytes window;
        std::uint64_t nearCache[4] = {}, sameCache[768] = {};
        int nextNear = 0;
        const auto byteAt = [&](std::uint64_t a) {
            return a < segLength ? from.at(static_cast<std::size_t>(segPosition + a)) : window.at(static_cast<std::size_t>(a - segLength));
        };
        while (inst < instEnd) {
            const auto [first, second] = entry(patch[inst++]);
            for (const Inst& i : {first, second}) {
                if (i.type == 0) continue;
                const std::uint64_t size = i.size != 0 ? i.size : varint(patch, inst);
                if (i.type == 1) {
                    window.insert(window.end(), patch.begin() + static_cast<std::ptrdiff_t>(data),
                                  patch.begin() + static_cast<std::ptrdiff_t>(data + size));
                    data += static_cast<std::size_t>(size);
                } else if (i.type == 2) {
                    window.insert(window.end(), static_cast<std::size_t>(size), patch.at(data++));
                } else {
                    const std::uint64_t here = segLength + window.size();
                    std::uint64_t a;
                    if (i.mode == 0) a = varint(patch, addr);
                    else if (i.mode == 1) a = here - varint(patch, addr);
                    else if (i.mode < 6) a = nearCache[i.mode - 2] + varint(patch, addr);
                    else a = sameCache[(i.mode - 6) * 256 + patch.at(addr++)];
                    nearCache[nextNear] = a, nextNear = (nextNear + 1) % 4;
                    sameCache[a % 768] = a;
                    if (a >= here) throw std::runtime_error("copies from ahead");
                    for (std::uint64_t k = 0; k < size; ++k) window.push_back(byteAt(a + k));
                }
            }
        }
        if (window.size() != length || addr != end) throw std::runtime_error("a window's lengths do not hold");
        if (adler) {
            std::uint32_t a = 1, b = 0;
            for (const std::uint8_t x : window) a = (a + x) % 65521, b = (b + a) % 65521;
            if ((b << 16 | a) != *adler) throw std::runtime_error("a window's Adler-32 does not hold");
        }
        out.insert(out.end(), window.begin(), window.end());
        at = end;
    }
    return out;
}

}  // namespace zelk::test::model
