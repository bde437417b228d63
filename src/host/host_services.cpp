#include "host/host_services.h"

namespace zelk {

namespace {
std::array<std::uint8_t, 4> LittleEndian(std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u >> 16),
            static_cast<std::uint8_t>(u >> 24)};
}
}  // namespace

FileError ShrankWhileRead(const InputFile& file) {
    return FileError("Cannot read " + file.Path() + ": the file shrank while it was read");
}

FileError ChangedWhileRead(const InputFile& file) {
    return FileError("Cannot read " + file.Path() + ": the file changed while it was read");
}

void InputFile::ReadExactly(std::uint64_t offset, std::span<std::uint8_t> buffer) {
    if (ReadAt(offset, buffer) != buffer.size()) throw ShrankWhileRead(*this);
}

void OutputFile::AppendInt32(std::int32_t value) {
    const auto bytes = LittleEndian(value);
    Append(bytes);
}

void OutputFile::WriteInt32At(std::uint64_t offset, std::int32_t value) {
    const auto bytes = LittleEndian(value);
    WriteAt(offset, bytes);
}

}  // namespace zelk
