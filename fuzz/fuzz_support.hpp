// Helpers shared by the fuzz targets.
//
// Rules of use:
//  1. A target reports a broken invariant with `require`, which aborts: libFuzzer and the replay
//     runner both treat that as a finding, like a crash or an exception other than
//     InternalFailure escaping the target.
//  2. A target keeps no state between inputs except its scratch files, which it rewrites whole.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace korvane::fuzz {

[[noreturn]] inline void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    std::abort();
}

inline void require(bool holds, std::string_view what) {
    if (!holds) fail(what);
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Replaces the content of the open file `descriptor` with `bytes`.
inline void overwrite(int descriptor, std::span<const std::uint8_t> bytes) {
    require(::ftruncate(descriptor, 0) == 0, "truncating the scratch file");
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::pwrite(descriptor, bytes.data() + written, bytes.size() - written,
                                       static_cast<off_t>(written));
        require(count > 0, "writing the scratch file");
        written += static_cast<std::size_t>(count);
    }
}

// An anonymous in-memory file. Its /proc/self/fd path opens it as a regular file, so the reader
// takes the same path through open, fstat and read as for a model file on disk. Where there is
// no memfd_create (macOS), a temporary file under TMPDIR (or /tmp) stands in, removed with it.
class MemoryFile {
public:
#if defined(__linux__)
    MemoryFile() : descriptor_(::memfd_create("model.safetensors", MFD_CLOEXEC)) {
        require(descriptor_ >= 0, "memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(descriptor_);
    }
#else
    MemoryFile() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/korvane-fuzz-XXXXXX";
        descriptor_ = ::mkstemp(pattern.data());
        require(descriptor_ >= 0, "mkstemp");
        path_ = pattern;
    }
#endif
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    ~MemoryFile() {
        ::close(descriptor_);
#if !defined(__linux__)
        ::unlink(path_.c_str());
#endif
    }

    void assign(std::span<const std::uint8_t> bytes) {
        overwrite(descriptor_, bytes);
    }
    [[nodiscard]] const std::filesystem::path& path() const {
        return path_;
    }

private:
    int descriptor_;
    std::filesystem::path path_;
};

// A model directory of this process, removed at exit. Under TMPDIR (or /tmp), so that a tmpfs
// keeps the per-input file writes cheap.
class ModelDirectory {
public:
    ModelDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/korvane-fuzz-XXXXXX";
        require(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
        path_ = pattern;
    }
    ModelDirectory(const ModelDirectory&) = delete;
    ModelDirectory& operator=(const ModelDirectory&) = delete;
    ~ModelDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    // Writes `bytes` as the directory's model file.
    void write_model(std::span<const std::uint8_t> bytes) const {
        const std::string file = (path_ / "model.safetensors").string();
        const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        require(descriptor >= 0, "opening the model file for writing");
        overwrite(descriptor, bytes);
        ::close(descriptor);
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace korvane::fuzz
