#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "kernels/decode.hpp"
#include "kernels/pooling.hpp"
#include "korvane/model/static_embedding.hpp"
#include "model/embedding_state.hpp"
#include "util/exact_size.hpp"

namespace korvane {

namespace {

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

// A cached row is read whole soon after; its first kilobyte starts the stream.
constexpr std::size_t row_prefetch_bytes = 1024;

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
        const std::size_t distance = prefetch_distance(width * sizeof(float));
        for (std::size_t index = 0; index < tokens.size(); ++index) {
            if (index + distance < tokens.size()) {
                prefetch_row(token_cache.find(tokens[index + distance]), width * sizeof(float),
                             row_prefetch_bytes);
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

    // An empty list gives 0 / 0, NaN.
    divide_by_count(accumulator, tokens.size());

    if (normalize) divide_by_norm(accumulator);
    return accumulator;
}

}  // namespace korvane
