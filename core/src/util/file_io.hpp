// Small pieces of file reading shared by the readers of model and tokenizer files.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <utility>

namespace korvane {

// Owns an open file descriptor and closes it on every path out.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) noexcept : descriptor_(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor() {
        // A failed close cannot lose data of a file opened for reading.
        if (descriptor_ >= 0) ::close(descriptor_);
    }

    [[nodiscard]] int get() const noexcept { return descriptor_; }

private:
    int descriptor_;
};

inline std::uint64_t read_u64_le(std::span<const std::byte, 8> bytes) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;) value = value << 8 | std::to_integer<std::uint64_t>(bytes[i]);
    return value;
}

// The whole content of the file at `path`, or none when it cannot be read.
inline std::optional<std::string> read_text_file(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    if (!file && !file.eof()) return std::nullopt;
    return std::move(text).str();
}

}  // namespace korvane
