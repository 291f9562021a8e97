#include "korvane/format/load.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "errors/exact_texts.hpp"
#include "format/safetensors_header.hpp"
#include "json/json.hpp"
#include "util/exact_size.hpp"
#include "util/file_io.hpp"

namespace korvane {

namespace {

// The content of a file as it is read: a buffer that is never zero-filled, and the number of its
// leading bytes that hold data.
class FileContent {
public:
    [[nodiscard]] std::span<const std::byte> bytes() const noexcept {
        return {buffer_.get(), size_};
    }
    [[nodiscard]] std::span<std::byte> free_space() const noexcept {
        return {buffer_.get() + size_, capacity_ - size_};
    }
    void append(std::size_t count) noexcept { size_ += count; }

    // Moves the content into a buffer of `capacity` bytes; abandons the load when memory runs out.
    void reallocate(std::size_t capacity) {
        try {
            auto larger = std::make_unique_for_overwrite<std::byte[]>(capacity);
            if (size_ != 0) std::memcpy(larger.get(), buffer_.get(), size_);
            buffer_ = std::move(larger);
            capacity_ = capacity;
        } catch (const std::bad_alloc&) {
            fail_allocation(capacity);
        }
    }

    // Appends `more`, growing the buffer at least twofold.
    void grow_and_append(std::span<const std::byte> more) {
        constexpr std::size_t minimum_capacity = 8192;
        const std::size_t limit = std::numeric_limits<std::size_t>::max();
        if (more.size() > limit - size_) fail_allocation(ExactSize{size_} + more.size());
        std::size_t capacity = capacity_ > limit / 2 ? limit : capacity_ * 2;
        capacity = std::max({capacity, minimum_capacity, size_ + more.size()});
        reallocate(capacity);
        std::memcpy(buffer_.get() + size_, more.data(), more.size());
        size_ += more.size();
    }

private:
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The most one read(2) asks for, so that the interrupt check runs at least once per this many
// bytes: a few milliseconds of copying from the page cache.
constexpr std::size_t read_chunk_bytes = std::size_t{16} << 20;

// One read(2) of at most read_chunk_bytes, retried when a signal interrupts it, with
// `check_interrupt` asked before every attempt. Returns the byte count, 0 at the end of the file,
// or -1 with errno set.
ssize_t read_some(int descriptor, std::span<std::byte> into,
                  const InterruptCheck& check_interrupt) {
    into = into.first(std::min(into.size(), read_chunk_bytes));
    for (;;) {
        if (check_interrupt) check_interrupt();
        const ssize_t count = ::read(descriptor, into.data(), into.size());
        if (count >= 0 || errno != EINTR) return count;
    }
}

// Reads the file to its end in one sequential pass. The buffer is sized from the file's reported
// size up front, so a regular file fills it exactly; it grows only for a file that turns out
// longer (or reports no size, like a pipe).
std::expected<FileContent, LoadError> read_whole_file(const std::filesystem::path& path,
                                                      const InterruptCheck& check_interrupt) {
    // O_NONBLOCK lets the open of a FIFO without a writer return at once. Cleared straight away,
    // it leaves such a FIFO reading as empty instead of blocking for ever.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return std::unexpected(LoadError::from_os_error(errno));
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) < 0) {
        return std::unexpected(LoadError::from_os_error(errno));
    }

    FileContent content;
    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && status.st_size > 0) {
        content.reallocate(static_cast<std::size_t>(status.st_size));
    }
    for (;;) {
        // Once the buffer is full, a small probe tells the end of the file from more data
        // without growing the buffer.
        std::array<std::byte, 32> probe;
        const bool full = content.free_space().empty();
        const std::span<std::byte> into = full ? std::span<std::byte>(probe) : content.free_space();
        const ssize_t count = read_some(file.get(), into, check_interrupt);
        if (count < 0) return std::unexpected(LoadError::from_os_error(errno));
        if (count == 0) return content;
        const auto received = static_cast<std::size_t>(count);
        if (full) {
            content.grow_and_append(into.first(received));
        } else {
            content.append(received);
        }
    }
}

// An entry in any of the forms korvane_py's callers may write, with a known element type and
// two dimensions.
std::optional<TensorDetails> decode_tensor_details(const json::Value& value) {
    const auto entry = safetensors::decode_entry(value);
    if (!entry || entry->shape.size() != 2) return std::nullopt;
    const std::optional<DataType> data_type = data_type_from_name(entry->dtype);
    if (!data_type) return std::nullopt;
    return TensorDetails{*data_type, {entry->shape[0], entry->shape[1]}, entry->data_offsets};
}

[[noreturn]] void abandon(std::string_view text) {
    throw InternalFailure(std::string(text));
}

// The chosen tensor's bytes [start, end) of the data section, after checking both bounds.
std::span<const std::byte> tensor_bytes(std::span<const std::byte> data,
                                        std::array<std::uint64_t, 2> offsets) {
    const auto [start, end] = offsets;
    check_slice(start, end, data.size());
    if (start > end) {
        abandon(std::string(exact_texts::slice_starts_at) + std::to_string(start) +
                std::string(exact_texts::slice_but_ends_at) + std::to_string(end));
    }
    return data.subspan(start, end - start);
}

std::vector<std::byte> copy_of(std::span<const std::byte> bytes) {
    try {
        return std::vector<std::byte>(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc&) {
        fail_allocation(bytes.size());
    }
}

}  // namespace

std::expected<LoadedTensor, LoadError> load_safetensors_file(
    std::filesystem::path path, const InterruptCheck& check_interrupt) {
    auto content = read_whole_file(path, check_interrupt);
    if (!content) return std::unexpected(std::move(content.error()));
    const std::span<const std::byte> file = content->bytes();

    if (file.size() < safetensors::length_prefix) abandon(exact_texts::header_beyond_file);
    const std::uint64_t header_length = safetensors::header_length(file.first<8>());
    if (header_length > file.size() - safetensors::length_prefix)
        abandon(exact_texts::header_beyond_file);
    const std::span<const std::byte> header =
        file.subspan(safetensors::length_prefix, header_length);
    const std::span<const std::byte> data =
        file.subspan(safetensors::length_prefix + header_length);

    auto entries = json::parse_object(
        std::string_view(reinterpret_cast<const char*>(header.data()), header.size()));
    if (!entries) return std::unexpected(LoadError::from_json_error(entries.error()));

    std::optional<TensorDetails> details;
    for (const auto& [key, value] : *entries) {
        if (key == "__metadata__") continue;
        details = decode_tensor_details(value);
        if (details) break;
    }
    if (!details) {
        return std::unexpected(LoadError::from_text(std::string(exact_texts::no_tensor_details)));
    }

    const std::span<const std::byte> tensor = tensor_bytes(data, details->data_offsets);
    return LoadedTensor{*details, copy_of(tensor)};
}

}  // namespace korvane
