// Helpers that build model files byte by byte for the tests.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::testing {

// The bytes of a model file: the 8-byte little-endian header length (the header's own length
// unless `declared_length` says otherwise), the header text, then the data section.
inline std::string model_file_bytes(std::string_view header, std::string_view data = {},
                                    std::optional<std::uint64_t> declared_length = std::nullopt) {
    const std::uint64_t length = declared_length.value_or(header.size());
    std::string bytes;
    for (int shift = 0; shift < 64; shift += 8) {
        bytes.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    bytes.append(header).append(data);
    return bytes;
}

// The bytes of `values` as they lie in memory (little-endian here).
template <typename T>
std::string bytes_of(const std::vector<T>& values) {
    std::string bytes(values.size() * sizeof(T), '\0');
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// The header entry of the tensor `name`: its element type, shape (a JSON list) and the data
// section's bytes [start, end).
inline std::string tensor_entry(const std::string& name, std::string_view dtype,
                                const std::string& shape, std::size_t start, std::size_t end) {
    return "\"" + name + "\":{\"dtype\":\"" + std::string(dtype) + "\",\"shape\":" + shape +
           ",\"data_offsets\":[" + std::to_string(start) + "," + std::to_string(end) + "]}";
}

inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh directory under the system's temporary directory, removed with its contents.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("korvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    // The path of `model.safetensors` inside the directory.
    [[nodiscard]] std::filesystem::path model_file() const { return path_ / "model.safetensors"; }

private:
    std::filesystem::path path_;
};

}  // namespace korvane::testing
