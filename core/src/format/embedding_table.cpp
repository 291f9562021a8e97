#include "korvane/format/embedding_table.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "format/safetensors_header.hpp"
#include "json/json.hpp"
#include "kernels/decode.hpp"
#include "util/exact_size.hpp"
#include "util/file_io.hpp"
#include "util/huge_pages.hpp"
#include "util/threads.hpp"

namespace korvane {

namespace {

// A header longer than this is refused before it is allocated: real headers take kilobytes, and
// a hostile length must not claim memory the file does not back.
constexpr std::uint64_t header_limit = std::uint64_t{100} << 20;

constexpr std::size_t table_alignment = 64;

// Tables of this size and more start on a 2 MiB boundary and are offered to the kernel for
// transparent huge pages: the scattered row reads of a batch then miss the TLB far less (how much:
// bench/results.md, "Measured design choices"). Smaller tables would gain little.
constexpr std::size_t huge_page_threshold = std::size_t{16} << 20;

std::string in_quotes(std::string_view name) {
    return std::string("'").append(name).append("'");
}

std::string shape_text(const std::vector<std::uint64_t>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i != 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

LoadError failure(std::string message) {
    return LoadError::from_text(std::move(message));
}

// Reads exactly `into.size()` bytes at `offset`; false when the file ends first.
std::expected<bool, LoadError> read_exactly(int descriptor, std::span<std::byte> into,
                                            std::uint64_t offset) {
    while (!into.empty()) {
        // Linux moves at most about 2 GiB per call.
        const std::size_t step = std::min<std::size_t>(into.size(), std::size_t{1} << 30);
        const ssize_t count = ::pread(descriptor, into.data(), step, static_cast<off_t>(offset));
        if (count < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(LoadError::from_os_error(errno));
        }
        if (count == 0) return false;
        into = into.subspan(static_cast<std::size_t>(count));
        offset += static_cast<std::uint64_t>(count);
    }
    return true;
}

// Whether any of `count` elements from `bytes` has all the bits of `exponent` set: an infinity
// or a NaN. Counted without a branch per element, so the loop vectorises.
template <typename Bits>
bool any_exponent_full(const std::byte* bytes, std::size_t count, Bits exponent) noexcept {
    unsigned found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Bits bits;
        std::memcpy(&bits, bytes + i * sizeof(Bits), sizeof bits);
        found |= static_cast<unsigned>((bits & exponent) == exponent);
    }
    return found != 0;
}

// Whether any of `count` doubles from `bytes` widens to an infinity or a NaN as decode_row widens
// it: beyond the single range too.
bool any_double_beyond_float(const std::byte* bytes, std::size_t count) noexcept {
    unsigned found = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double value;
        std::memcpy(&value, bytes + i * sizeof value, sizeof value);
        found |= static_cast<unsigned>(!(std::abs(static_cast<float>(value)) <= FLT_MAX));
    }
    return found != 0;
}

bool any_non_finite(DataType dtype, const std::byte* bytes, std::size_t count) noexcept {
    switch (dtype) {
        case DataType::F32:
            return any_exponent_full<std::uint32_t>(bytes, count, 0x7F800000u);
        case DataType::F16:
            return any_exponent_full<std::uint16_t>(bytes, count, 0x7C00u);
        case DataType::BF16:
            return any_exponent_full<std::uint16_t>(bytes, count, 0x7F80u);
        case DataType::F64:
            return any_double_beyond_float(bytes, count);
        default:  // integers and booleans widen to finite values
            return false;
    }
}

// The index of the first element of `bytes` (whole elements of `dtype`) that is an infinity or
// a NaN once widened to single precision, or none.
std::optional<std::size_t> first_non_finite(DataType dtype, std::span<const std::byte> bytes) {
    const std::size_t width = element_width(dtype);
    const std::size_t count = bytes.size() / width;
    if (!any_non_finite(dtype, bytes.data(), count)) return std::nullopt;
    for (std::size_t index = 0; index < count; ++index) {
        if (any_non_finite(dtype, bytes.data() + index * width, 1)) return index;
    }
    return std::nullopt;
}

// A read's step: whole pages, few enough to stay in the cache until tested.
constexpr std::size_t scan_step = std::size_t{256} << 10;

// Below this size a table is read by the calling thread alone.
constexpr std::size_t parallel_read_part = std::size_t{8} << 20;

// The CPUs this process may run on: on Linux its affinity mask (a container or taskset may allow
// fewer than the machine has), elsewhere the machine's count.
std::size_t usable_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
#else
    return std::max<std::size_t>(std::thread::hardware_concurrency(), 1);
#endif
}

// Reads as `read_exactly` does, a part per usable CPU (parts of at least 8 MiB): most of a large
// read is the kernel handing out and zeroing fresh pages, which the CPUs then do side by side
// (figures: bench/results.md, "Measured design choices"). Each part is then
// tested by its own thread for values that are not finite, while its bytes are still in the
// cache; `non_finite` receives the first such element's index. The first failure, in file
// order, is the one reported.
std::expected<bool, LoadError> read_in_parts(int descriptor, std::span<std::byte> into,
                                             std::uint64_t offset, DataType dtype,
                                             std::optional<std::size_t>& non_finite) {
    const std::size_t parts =
        std::clamp<std::size_t>(std::min(usable_cpus(), into.size() / parallel_read_part), 1, 8);
    // Parts start on page boundaries of the buffer, so no page is faulted by two threads; every
    // element width divides a page, so no element is split either.
    const std::size_t part_size = (into.size() / parts + 4095) / 4096 * 4096;
    std::vector<std::expected<bool, LoadError>> results(parts, true);
    std::vector<std::optional<std::size_t>> found(parts);
    const auto read_part = [&](std::size_t part) {
        const std::size_t first = std::min(part * part_size, into.size());
        const std::size_t end = first + std::min(part_size, into.size() - first);
        // Tested a step at a time, just read and still in the cache: larger steps leave the
        // cache first and cost about twice as much (bench/results.md).
        for (std::size_t step = first; step < end; step += scan_step) {
            const auto bytes = into.subspan(step, std::min(scan_step, end - step));
            results[part] = read_exactly(descriptor, bytes, offset + step);
            if (!results[part] || !*results[part]) return;
            if (found[part]) continue;
            if (auto index = first_non_finite(dtype, bytes)) {
                found[part] = step / element_width(dtype) + *index;
            }
        }
    };
    run_on_threads(parts, read_part);
    for (auto& result : results) {
        if (!result || !*result) return std::move(result);
    }
    for (const auto& index : found) {
        if (index) {
            non_finite = index;
            break;
        }
    }
    return true;
}

// The opened file with its parsed header; the data section starts at `data_start`.
struct ModelHeader {
    FileDescriptor file;
    std::uint64_t data_start = 0;
    std::uint64_t data_size = 0;
    json::Object entries;
};

std::expected<ModelHeader, LoadError> read_header(const std::filesystem::path& path) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is refused just after.
    ModelHeader header{
        FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)), 0, 0, {}};
    if (header.file.get() < 0) return std::unexpected(LoadError::from_os_error(errno));
    struct stat status {};
    if (::fstat(header.file.get(), &status) != 0) {
        return std::unexpected(LoadError::from_os_error(errno));
    }
    if (!S_ISREG(status.st_mode)) return std::unexpected(failure("not a regular file"));
    const auto file_size = static_cast<std::uint64_t>(status.st_size);

    std::array<std::byte, 8> length_bytes;
    auto complete = read_exactly(header.file.get(), length_bytes, 0);
    if (!complete) return std::unexpected(std::move(complete.error()));
    if (!*complete || file_size < 8) {
        return std::unexpected(failure("the file is shorter than its 8-byte header length"));
    }
    const std::uint64_t header_length = safetensors::header_length(length_bytes);
    if (header_length > file_size - 8) {
        return std::unexpected(failure("the header length (" + std::to_string(header_length) +
                                       " bytes) exceeds the file (" + std::to_string(file_size) +
                                       " bytes)"));
    }
    if (header_length > header_limit) {
        return std::unexpected(failure("the header length (" + std::to_string(header_length) +
                                       " bytes) exceeds the limit of " +
                                       std::to_string(header_limit) + " bytes"));
    }
    std::string text(static_cast<std::size_t>(header_length), '\0');
    complete = read_exactly(header.file.get(), std::as_writable_bytes(std::span(text)), 8);
    if (!complete) return std::unexpected(std::move(complete.error()));
    if (!*complete) return std::unexpected(failure("the file ended inside its header"));

    auto entries = json::parse_object(text);
    if (!entries) return std::unexpected(LoadError::from_json_error(entries.error()));
    header.entries = std::move(*entries);
    header.data_start = 8 + header_length;
    header.data_size = file_size - header.data_start;
    return header;
}

// A header entry in its usual form: an object with a string "dtype", an array "shape" of
// unsigned integers and a pair "data_offsets".
struct EntryDescription {
    TensorEntry entry;
    std::array<std::uint64_t, 2> data_offsets;
};

std::optional<EntryDescription> decode_entry(const json::Member& member) {
    auto entry = safetensors::decode_entry(member.value);
    if (!entry || entry->as_list || entry->dtype_as_object) return std::nullopt;
    return EntryDescription{
        TensorEntry{member.key, std::string(entry->dtype), std::move(entry->shape)},
        entry->data_offsets};
}

// The bytes of the one-dimensional tensor `name`, which plays the part `role` ("a token mapping")
// and must have one of the element types `allowed`.
struct VectorTensor {
    DataType dtype;
    std::vector<std::byte> bytes;
    [[nodiscard]] std::size_t count() const noexcept { return bytes.size() / element_width(dtype); }
};

std::expected<VectorTensor, LoadError> read_vector(const ModelHeader& header,
                                                   std::string_view tensor_name,
                                                   std::string_view role,
                                                   std::initializer_list<DataType> allowed) {
    std::optional<EntryDescription> found;
    for (const json::Member& member : header.entries) {
        if (member.key == tensor_name) found = decode_entry(member);
    }
    const std::string name = in_quotes(tensor_name);
    if (!found)
        return std::unexpected(failure("no tensor named " + name + " (" + std::string(role) + ")"));
    const TensorEntry& entry = found->entry;
    if (entry.shape.size() != 1) {
        return std::unexpected(failure("tensor " + name + " has shape " + shape_text(entry.shape) +
                                       "; " + std::string(role) + " needs one dimension"));
    }
    const std::optional<DataType> dtype = data_type_from_name(entry.dtype);
    std::string names;
    for (const DataType type : allowed) {
        names += names.empty() ? "" : " or ";
        names += data_type_name(type);
    }
    if (!dtype || std::find(allowed.begin(), allowed.end(), *dtype) == allowed.end()) {
        return std::unexpected(failure("tensor " + name + " has the element type " +
                                       in_quotes(entry.dtype) + "; " + std::string(role) +
                                       " needs " + names));
    }
    const auto [start, end] = found->data_offsets;
    if (start > end || end > header.data_size) {
        return std::unexpected(failure("tensor " + name + " has data offsets [" +
                                       std::to_string(start) + ", " + std::to_string(end) +
                                       "] outside the data section of " +
                                       std::to_string(header.data_size) + " bytes"));
    }
    const ExactSize needed = ExactSize{entry.shape[0]} * element_width(*dtype);
    if (needed != end - start) {
        return std::unexpected(failure("tensor " + name + " holds " + std::to_string(end - start) +
                                       " bytes, but its shape " + shape_text(entry.shape) + " of " +
                                       entry.dtype + " needs " + decimal(needed)));
    }
    VectorTensor tensor{*dtype, {}};
    try {
        tensor.bytes.resize(static_cast<std::size_t>(end - start));
    } catch (const std::bad_alloc&) {
        fail_allocation(static_cast<std::size_t>(end - start));
    }
    auto complete = read_exactly(header.file.get(), tensor.bytes, header.data_start + start);
    if (!complete) return std::unexpected(std::move(complete.error()));
    if (!*complete) {
        return std::unexpected(failure("the file ended inside tensor " + name +
                                       " (was it changed while being read?)"));
    }
    return tensor;
}

// The half nearest to `value` (ties to even), as IEEE 754 rounds: overflow to infinity,
// subnormal halves below 2^-14.
std::uint16_t narrow_to_f16_bits(float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000u);
    const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude >= 0x7F800000u) {  // infinity or NaN (a table holds neither)
        return static_cast<std::uint16_t>(sign | 0x7C00u | (magnitude > 0x7F800000u ? 0x200u : 0u));
    }
    if (magnitude >= 0x477FF000u) return static_cast<std::uint16_t>(sign | 0x7C00u);  // >= 65520
    const int exponent = static_cast<int>(magnitude >> 23) - 127;
    std::uint32_t mantissa = (magnitude & 0x7FFFFFu) | 0x800000u;
    int shift;  // bits of the 24-bit significand dropped
    std::uint32_t base;
    if (exponent >= -14) {
        shift = 13;
        base = static_cast<std::uint32_t>(exponent + 15) << 10;
        mantissa &= 0x7FFFFFu;  // the implicit bit is carried by the exponent field
    } else {
        if (exponent < -25) return sign;  // below half the smallest subnormal: zero
        shift = 13 + (-14 - exponent);
        base = 0;
    }
    std::uint32_t result = mantissa >> shift;
    const std::uint32_t rest = mantissa & ((1u << shift) - 1u);
    const std::uint32_t halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (result & 1u) != 0)) ++result;
    // A carry out of the mantissa lifts the exponent, as the encoding's order allows.
    return static_cast<std::uint16_t>(sign | (base + result));
}

// `value` rounded to the nearest half and widened back (an infinity beyond its range).
float through_f16(float value) noexcept {
    return std::bit_cast<float>(widen_f16_bits(narrow_to_f16_bits(value)));
}

// The integer nearest to `value`, ties to even, after clamping it to [-127, 127] (NaN: 0).
// Exact: every value of that range with a fraction is rounded by comparing the fraction alone.
std::int8_t nearest_i8(float value) noexcept {
    if (std::isnan(value)) return 0;
    value = std::clamp(value, -127.0f, 127.0f);
    const float whole = std::floor(value);
    const float fraction = value - whole;
    const bool odd = std::fmod(whole, 2.0f) != 0.0f;
    const float rounded = fraction > 0.5f || (fraction == 0.5f && odd) ? whole + 1.0f : whole;
    return static_cast<std::int8_t>(rounded);
}

// Elements decoded per step while a table is narrowed in place.
constexpr std::size_t narrow_chunk = 4096;

// The `count` elements of type `dtype` at `bytes`, from `start` on (at most narrow_chunk), as
// doubles: exact for every floating type.
std::size_t decode_chunk(const std::byte* bytes, std::size_t start, std::size_t count,
                         DataType dtype, std::vector<float>& floats, std::vector<double>& values) {
    const std::size_t step = std::min(narrow_chunk, count - start);
    if (dtype == DataType::F64) {
        std::memcpy(values.data(), bytes + start * 8, step * 8);
    } else {
        decode_row(dtype, bytes + start * element_width(dtype), step, floats.data());
        std::copy_n(floats.begin(), step, values.begin());
    }
    return step;
}

// The `count` floating elements of type `dtype` at `bytes` made I8 in place, in the order
// HeldAs::i8 documents: the scale from the largest magnitude of them all, then each value
// through a half, divided, through a half again, clamped and rounded. Decoded a chunk at a time
// from the front: a chunk's integers never land past bytes not yet decoded.
void quantize_to_i8(std::byte* bytes, std::size_t count, DataType dtype) {
    std::vector<float> floats(narrow_chunk);
    std::vector<double> values(narrow_chunk);
    double largest = 0.0;
    for (std::size_t start = 0; start < count; start += narrow_chunk) {
        const std::size_t step = decode_chunk(bytes, start, count, dtype, floats, values);
        for (std::size_t i = 0; i < step; ++i) largest = std::max(largest, std::fabs(values[i]));
    }
    // The scale in the table's own precision: a half for F16, a double for F64, else a float.
    const float single_scale = dtype == DataType::F16
                                   ? through_f16(static_cast<float>(largest) / 127.0f)
                                   : static_cast<float>(largest) / 127.0f;
    const double double_scale = largest / 127.0;
    for (std::size_t start = 0; start < count; start += narrow_chunk) {
        const std::size_t step = decode_chunk(bytes, start, count, dtype, floats, values);
        for (std::size_t i = 0; i < step; ++i) {
            const float half = through_f16(static_cast<float>(values[i]));
            const float quotient =
                dtype == DataType::F64
                    ? static_cast<float>(static_cast<double>(half) / double_scale)
                    : half / single_scale;
            const std::int8_t integer = nearest_i8(through_f16(quotient));
            std::memcpy(bytes + start + i, &integer, 1);
        }
    }
}

// The token mapping `tensor` as rows, each checked against the table's `rows`.
std::expected<std::vector<std::uint32_t>, LoadError> token_rows(const VectorTensor& tensor,
                                                                std::string_view tensor_name,
                                                                std::uint64_t rows) {
    const std::size_t count = tensor.count();
    if (count > (std::uint64_t{1} << 32)) {
        return std::unexpected(failure("tensor " + in_quotes(tensor_name) + " maps " +
                                       std::to_string(count) +
                                       " token IDs, more than 2^32 that token IDs can name"));
    }
    std::vector<std::uint32_t> mapping(count);
    for (std::size_t token = 0; token < count; ++token) {
        std::int64_t row;
        if (tensor.dtype == DataType::I64) {
            std::memcpy(&row, tensor.bytes.data() + token * 8, 8);
        } else {
            std::int32_t narrow;
            std::memcpy(&narrow, tensor.bytes.data() + token * 4, 4);
            row = narrow;
        }
        if (row < 0 || static_cast<std::uint64_t>(row) >= rows) {
            return std::unexpected(failure("tensor " + in_quotes(tensor_name) + " maps token ID " +
                                           std::to_string(token) + " to row " +
                                           std::to_string(row) + ", outside the table of " +
                                           std::to_string(rows) + " rows"));
        }
        mapping[token] = static_cast<std::uint32_t>(row);
    }
    return mapping;
}

// The weights `tensor` in double precision: exact for every allowed type.
std::expected<std::vector<double>, LoadError> token_weights(const VectorTensor& tensor,
                                                            std::string_view tensor_name) {
    std::vector<double> weights(tensor.count());
    for (std::size_t token = 0; token < weights.size(); ++token) {
        const std::byte* element = tensor.bytes.data() + token * element_width(tensor.dtype);
        if (tensor.dtype == DataType::F64) {
            std::memcpy(&weights[token], element, sizeof(double));
        } else {
            float single;
            decode_row(tensor.dtype, element, 1, &single);
            weights[token] = single;
        }
        if (!std::isfinite(weights[token])) {
            return std::unexpected(failure("tensor " + in_quotes(tensor_name) +
                                           " holds a weight that is infinite or NaN (token ID " +
                                           std::to_string(token) + ")"));
        }
    }
    return weights;
}

}  // namespace

std::expected<std::vector<TensorEntry>, LoadError> read_tensor_entries(
    const std::filesystem::path& path) {
    auto header = read_header(path);
    if (!header) return std::unexpected(std::move(header.error()));
    std::vector<TensorEntry> entries;
    for (const json::Member& member : header->entries) {
        if (auto description = decode_entry(member))
            entries.push_back(std::move(description->entry));
    }
    return entries;
}

void EmbeddingTable::AlignedDelete::operator()(std::byte* bytes) const noexcept {
    ::operator delete[](bytes, std::align_val_t{alignment});
}

std::expected<EmbeddingTable, LoadError> EmbeddingTable::load(
    const std::filesystem::path& path, std::string_view tensor_name, std::string_view mapping_name,
    std::string_view weights_name, std::optional<std::size_t> columns, HeldAs held_as) {
    auto header = read_header(path);
    if (!header) return std::unexpected(std::move(header.error()));

    std::optional<EntryDescription> found;
    for (const json::Member& member : header->entries) {
        if (member.key == tensor_name) found = decode_entry(member);
    }
    const std::string name = in_quotes(tensor_name);
    if (!found) return std::unexpected(failure("no tensor named " + name));
    const TensorEntry& entry = found->entry;
    if (entry.shape.size() != 2) {
        return std::unexpected(failure("tensor " + name + " has shape " + shape_text(entry.shape) +
                                       "; a table needs two dimensions"));
    }
    const std::optional<DataType> dtype = data_type_from_name(entry.dtype);
    if (!dtype) {
        return std::unexpected(failure("tensor " + name + " has the unsupported element type " +
                                       in_quotes(entry.dtype)));
    }
    const auto [start, end] = found->data_offsets;
    if (start > end || end > header->data_size) {
        return std::unexpected(failure("tensor " + name + " has data offsets [" +
                                       std::to_string(start) + ", " + std::to_string(end) +
                                       "] outside the data section of " +
                                       std::to_string(header->data_size) + " bytes"));
    }
    const ExactSize needed = ExactSize{entry.shape[0]} * entry.shape[1] * element_width(*dtype);
    if (needed != end - start) {
        return std::unexpected(failure("tensor " + name + " holds " + std::to_string(end - start) +
                                       " bytes, but its shape " + shape_text(entry.shape) + " of " +
                                       entry.dtype + " needs " + decimal(needed)));
    }
    if (columns && *columns > entry.shape[1]) {
        return std::unexpected(failure("tensor " + name + " has " + std::to_string(entry.shape[1]) +
                                       " columns, fewer than the " + std::to_string(*columns) +
                                       " asked for"));
    }
    // The byte count now fits the file, so the row width does too.
    const std::size_t size = static_cast<std::size_t>(end - start);

    EmbeddingTable table;
    const std::size_t alignment = size >= huge_page_threshold ? huge_page_size : table_alignment;
    table.data_ = {static_cast<std::byte*>(::operator new[](
                       std::max<std::size_t>(size, 1), std::align_val_t{alignment}, std::nothrow)),
                   AlignedDelete{alignment}};
    if (!table.data_) throw std::bad_alloc();
    std::optional<std::size_t> non_finite;
    auto complete = read_in_parts(header->file.get(), {table.data_.get(), size},
                                  header->data_start + start, *dtype, non_finite);
    if (!complete) return std::unexpected(std::move(complete.error()));
    if (!*complete) {
        return std::unexpected(failure("the file ended inside tensor " + name +
                                       " (was it changed while being read?)"));
    }
    // Every embedding that adds such a row would be infinite or NaN, with no sign of it.
    if (non_finite) {
        const auto columns = static_cast<std::size_t>(entry.shape[1]);
        return std::unexpected(failure(
            "tensor " + name + " holds a value that is infinite or NaN in single precision (row " +
            std::to_string(*non_finite / columns) + ", column " +
            std::to_string(*non_finite % columns) + "); its rows cannot be embedded"));
    }
    // Advised only now that the bytes are in ordinary pages: the kernel's background thread
    // gathers them into huge pages later. Asked before the read, the faults would take huge
    // pages at once, and on a virtual machine that gives free memory back to its host each of
    // those costs the host's work too, making cold loads many times slower (bench/results.md).
    if (alignment == huge_page_size) offer_huge_pages(table.data_.get(), size);
    table.size_ = size;
    table.dtype_ = *dtype;
    table.rows_ = entry.shape[0];
    table.dimension_ = static_cast<std::size_t>(entry.shape[1]);
    if (held_as == HeldAs::i8 && (*dtype == DataType::F32 || *dtype == DataType::F64 ||
                                  *dtype == DataType::BF16 || *dtype == DataType::F16)) {
        // Before the columns are cut: the scale comes from the whole table, as model2vec's does.
        const std::size_t count = table.size_ / element_width(*dtype);
        quantize_to_i8(table.data_.get(), count, *dtype);
        table.dtype_ = DataType::I8;
        table.size_ = count;
    }
    if (columns && *columns < table.dimension_) {
        // Each row's first columns moved down in place, in row order: a row never lands past
        // where it was read from.
        const std::size_t element = element_width(table.dtype_);
        const std::size_t kept = *columns * element;
        const std::size_t stride = table.dimension_ * element;
        const auto rows = static_cast<std::size_t>(table.rows_);
        for (std::size_t row = 0; row < rows; ++row) {
            std::memmove(table.data_.get() + row * kept, table.data_.get() + row * stride, kept);
        }
        table.dimension_ = *columns;
        table.size_ = rows * kept;
    }
    if (held_as == HeldAs::f16 &&
        (*dtype == DataType::F32 || *dtype == DataType::F64 || *dtype == DataType::BF16)) {
        // In place, element by element from the front: a half never lands past the element it
        // is made from.
        const std::size_t count = table.size_ / element_width(*dtype);
        for (std::size_t index = 0; index < count; ++index) {
            float value;
            decode_row(*dtype, table.data_.get() + index * element_width(*dtype), 1, &value);
            const std::uint16_t half = narrow_to_f16_bits(value);
            if ((half & 0x7C00u) == 0x7C00u) {
                const std::size_t width = table.dimension_;
                return std::unexpected(
                    failure("tensor " + name + " holds a value beyond float16's range (row " +
                            std::to_string(index / width) + ", column " +
                            std::to_string(index % width) + "): it cannot be held as float16"));
            }
            std::memcpy(table.data_.get() + index * 2, &half, 2);
        }
        table.dtype_ = DataType::F16;
        table.size_ = count * 2;
    }
    if (!mapping_name.empty()) {
        auto tensor =
            read_vector(*header, mapping_name, "a token mapping", {DataType::I32, DataType::I64});
        if (!tensor) return std::unexpected(std::move(tensor.error()));
        auto mapping = token_rows(*tensor, mapping_name, table.rows_);
        if (!mapping) return std::unexpected(std::move(mapping.error()));
        table.mapping_ = std::move(*mapping);
        table.has_mapping_ = true;
    }
    if (!weights_name.empty()) {
        auto tensor = read_vector(*header, weights_name, "per-token weights",
                                  {DataType::F64, DataType::F32, DataType::F16});
        if (!tensor) return std::unexpected(std::move(tensor.error()));
        const std::uint64_t expected =
            mapping_name.empty() ? table.rows_ : std::uint64_t{table.mapping_.size()};
        if (tensor->count() != expected) {
            return std::unexpected(
                failure("tensor " + in_quotes(weights_name) + " holds " +
                        std::to_string(tensor->count()) + " weights, but " +
                        (mapping_name.empty()
                             ? "table " + name + " has " + std::to_string(expected) + " rows"
                             : "the token mapping " + in_quotes(mapping_name) + " has " +
                                   std::to_string(expected) + " token IDs") +
                        ": one weight per token ID is needed"));
        }
        auto weights = token_weights(*tensor, weights_name);
        if (!weights) return std::unexpected(std::move(weights.error()));
        table.weights_ = std::move(*weights);
        table.has_weights_ = true;
    }
    return table;
}

std::string token_out_of_range_text(std::string_view name, std::string_view token,
                                    std::uint64_t vocab_size) {
    return std::string("token ID ")
        .append(token)
        .append(" in ")
        .append(name)
        .append(" is outside the table (vocab_size ")
        .append(std::to_string(vocab_size))
        .append(")");
}

std::string token_out_of_range_text(std::size_t sentence, std::string_view token,
                                    std::uint64_t vocab_size) {
    return token_out_of_range_text("sentence " + std::to_string(sentence), token, vocab_size);
}

std::string TokenOutOfRange::display() const {
    return token_out_of_range_text(sentence, std::to_string(token), vocab_size);
}

std::string TokenOutOfRange::display(std::string_view name) const {
    return token_out_of_range_text(name, std::to_string(token), vocab_size);
}

std::string RowOverflow::display() const {
    return display("sentence " + std::to_string(sentence));
}

std::string RowOverflow::display(std::string_view name) const {
    std::string text = std::string("the embedding of ").append(name).append(" overflows float32: ");
    switch (cause) {
        case OverflowCause::rows:
            return text.append(
                "the sum of its rows, or of the squares that scale it to unit length, exceeds "
                "3.4e38 (the table's values are too large)");
        case OverflowCause::weights:
            return text.append(
                "the mean of its rows times their per-token weights exceeds 3.4e38 (the weights "
                "are too large)");
        case OverflowCause::weighted_squares:
            break;
    }
    return text.append(
        "the sum of the squares that scale it to unit length exceeds 3.4e38 (the table's "
        "values times the per-token weights are too large)");
}

std::size_t failed_sentence(const BatchFailure& failure) noexcept {
    return std::visit([](const auto& reason) { return reason.sentence; }, failure);
}

}  // namespace korvane
