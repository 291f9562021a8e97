#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "decode.hpp"
#include "embedding_state.hpp"
#include "exact_size.hpp"
#include "korvane/static_embedding.hpp"

namespace korvane {

namespace {

// The single nearest to 10^-12: no norm below it is divided by.
constexpr float norm_floor = 1e-12f;
static_assert(std::bit_cast<std::uint32_t>(norm_floor) == 0x2B8CBCCCu);

// D floats, all positive zero. D comes from the file unchecked, so a D whose floats cannot be
// allocated abandons the call instead of ending the process.
std::vector<float> zeroed_accumulator(std::uint64_t dimension) {
    const ExactSize bytes = ExactSize{dimension} * sizeof(float);
    if (dimension > std::vector<float>().max_size()) fail_allocation(bytes);
    try {
        return std::vector<float>(static_cast<std::size_t>(dimension), 0.0f);
    } catch (const std::bad_alloc&) {
        fail_allocation(bytes);
    }
}

// The offset of `token`'s row in a table of `table_length` bytes; abandons the call when the row
// does not lie wholly inside.
std::size_t row_offset(std::uint32_t token, ExactSize row_bytes, std::size_t table_length) {
    const ExactSize start = ExactSize{token} * row_bytes;
    check_slice(start, start + row_bytes, table_length);
    return static_cast<std::size_t>(start);
}

// Rows of a long token list lie scattered over the cache, and waiting for one costs far more than
// adding it. Asking for the rows of the next tokens early overlaps those waits: about this many
// bytes ahead, enough to cover the wait and few enough for the processor's outstanding requests.
constexpr std::size_t prefetch_bytes = 4096;

std::size_t prefetch_distance(std::size_t width) noexcept {
    return std::clamp<std::size_t>(prefetch_bytes / (width * sizeof(float)), 1, 8);
}

// A hint only: touches nothing, so it cannot change a result or fault. The start of a long row is
// enough for the processor to stream the rest.
constexpr std::size_t row_prefetch_bytes = 1024;

void prefetch_row(const float* row, std::size_t width) noexcept {
    if (row == nullptr) return;
    constexpr std::size_t cache_line = 64;
    const auto* bytes = reinterpret_cast<const char*>(row);
    const std::size_t length = std::min(width * sizeof(float), row_prefetch_bytes);
    for (std::size_t offset = 0; offset < length; offset += cache_line) {
        __builtin_prefetch(bytes + offset);
    }
}

void divide_by_norm(std::vector<float>& values) {
    // Strictly in index order, every product rounded before it is added (the core is compiled
    // without contraction): the rounding of this sum decides the result's last bits.
    float sum_of_squares = 0.0f;
    for (const float value : values) sum_of_squares = sum_of_squares + value * value;
    float norm = std::sqrt(sum_of_squares);
    // Written so that a NaN norm also falls back to the floor.
    if (!(norm > norm_floor)) norm = norm_floor;
    for (float& value : values) value = value / norm;
}

}  // namespace

std::expected<std::vector<float>, EmbedError> EmbeddingState::embed_tokens(
    std::vector<std::uint32_t> tokens, const InterruptCheck& check_interrupt) {
    if (!tensor) {
        auto loaded = load_safetensors_file(model_dir / model_file_name, check_interrupt);
        if (!loaded) return std::unexpected(EmbedError::from(std::move(loaded.error())));
        tensor = std::move(*loaded);
    }

    const DataType dtype = tensor->details.dtype;
    const std::uint64_t dimension = tensor->details.shape[1];
    const std::size_t table_length = tensor->data.size();
    const std::byte* table = tensor->data.data();
    const ExactSize row_bytes = ExactSize{element_width(dtype)} * dimension;

    // D comes from the file unchecked. A first token whose row does not fit fails the call
    // whatever else happens, so its bound is tested before the accumulator's D floats are
    // allocated: a huge D beside a tiny table then costs nothing.
    if (dimension != 0 && !tokens.empty() && token_cache.find(tokens.front()) == nullptr) {
        (void)row_offset(tokens.front(), row_bytes, table_length);
    }
    std::vector<float> accumulator = zeroed_accumulator(dimension);

    // With D = 0 every row is empty and lies inside the table, and adds nothing: there is
    // nothing to decode or cache.
    if (dimension != 0) {
        const std::size_t width = static_cast<std::size_t>(dimension);
        const AddRowPath add_row_path = add_row_kernel.active();
        const auto row_capacity = static_cast<std::uint64_t>(table_length / row_bytes);
        const std::size_t distance = prefetch_distance(width);
        for (std::size_t index = 0; index < tokens.size(); ++index) {
            if (index + distance < tokens.size()) {
                prefetch_row(token_cache.find(tokens[index + distance]), width);
            }
            const std::uint32_t token = tokens[index];
            const float* row = token_cache.find(token);
            if (row == nullptr) {
                const std::size_t offset = row_offset(token, row_bytes, table_length);
                float* fresh = token_cache.prepare_row(token, width, row_capacity);
                decode_row(dtype, table + offset, width, fresh);
                token_cache.insert(token, fresh);
                row = fresh;
            }
            add_row(add_row_path, accumulator.data(), row, width);
        }
    }

    // A true division by the token count rounded to single precision, never a multiplication by
    // its reciprocal. An empty list gives 0 / 0, NaN.
    const auto count = static_cast<float>(tokens.size());
    for (float& value : accumulator) value = value / count;

    if (normalize) divide_by_norm(accumulator);
    return accumulator;
}

}  // namespace korvane
