// The model file reader on raw bytes, through the same open-and-read path a file on disk takes.
// Besides crashes and stray exceptions, it checks every outcome against the file: a returned
// tensor is the stated slice of the data section, a load error is a JSON fault or the missing
// tensor, and an abandoned read names a bound the file really breaks.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "korvane/format/load.hpp"

namespace korvane::fuzz {
namespace {

std::uint64_t header_length_of(std::span<const std::uint8_t> file) {
    std::uint64_t length = 0;
    for (std::size_t i = 8; i-- > 0;) length = length << 8 | file[i];
    return length;
}

void check_loaded(const LoadedTensor& tensor, std::span<const std::uint8_t> file) {
    require(static_cast<std::size_t>(tensor.details.dtype) < data_type_count, "dtype in range");
    const auto [start, end] = tensor.details.data_offsets;
    require(start <= end, "start <= end");
    require(tensor.data.size() == end - start, "tensor length is end - start");
    const std::span<const std::uint8_t> data = file.subspan(8 + header_length_of(file));
    require(end <= data.size(), "tensor inside the data section");
    require(tensor.data.empty() ||
                std::memcmp(tensor.data.data(), data.data() + start, tensor.data.size()) == 0,
            "tensor bytes are the file's");
}

void check_load_error(std::string_view message) {
    require(starts_with(message, "SerDe Error: ") ||
                message == "Could not find tensor details for the current safetensors model",
            message);
}

// An abandoned read names a bound that the file breaks, with the data section's true length.
void check_failure(std::string_view text, std::span<const std::uint8_t> file) {
    if (text == "mid > len") {
        require(file.size() < 8 || header_length_of(file) > file.size() - 8, "mid > len holds");
        return;
    }
    require(file.size() >= 8 && header_length_of(file) <= file.size() - 8,
            "offset failure only after the header bound");
    const std::string suffix = " out of range for slice of length " +
                               std::to_string(file.size() - 8 - header_length_of(file));
    if (starts_with(text, "range start index ") || starts_with(text, "range end index ")) {
        require(text.ends_with(suffix), text);
        return;
    }
    require(starts_with(text, "slice index starts at "), text);
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvane;
    static fuzz::MemoryFile file;
    const std::span<const std::uint8_t> bytes(data, size);
    file.assign(bytes);
    try {
        const auto loaded = load_safetensors_file(file.path());
        if (loaded) {
            fuzz::check_loaded(*loaded, bytes);
        } else {
            fuzz::check_load_error(loaded.error().display());
        }
    } catch (const InternalFailure& failure) {
        fuzz::check_failure(failure.what(), bytes);
    }
    return 0;
}
