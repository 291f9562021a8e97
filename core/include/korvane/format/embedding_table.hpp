// One named table of a model file, read into memory by itself, and the batch computation of many
// sentence embeddings from it.
//
// Rules of use:
//  1. `read_tensor_entries` reads only the file's header; `EmbeddingTable::load` reads the header
//     again and then exactly the chosen tensor's bytes, into one buffer of the tensor's size.
//     Every length and offset of the file is checked first: a damaged or hostile file gives a
//     LoadError, never a crash or an allocation larger than the file.
//  2. The table keeps its file encoding; rows are widened to single precision as they are added.
//  3. `embed_batch` computes each row exactly as `StaticEmbedding::embed_tokens` does (rows added
//     in token order, a true division by the count, the sum of squares in index order, division
//     by max(norm, 1e-12)), so its results do not depend on the thread count or the processor.
//     The one difference: an empty sentence gives a row of zeros, where embed_tokens gives NaN.
//  4. A table may come with a token mapping (token ID -> row, I32 or I64, one entry per token ID)
//     and per-token weights (F64, F32 or F16, one per token ID, held as doubles: exact). Token IDs
//     are then checked against the vocabulary (the mapping's length, else the rows), mapping
//     values against the table's rows. A mapped table without weights adds its rows as rule 3
//     says. With weights, a sentence's embedding is computed in this one order, on every path
//     and at any thread count: for each column, starting from +0.0 in double precision and in
//     token order, sum = sum + double(row value widened to float) * weight, the product rounded
//     to double before it is added (no fused multiply-add); then float(sum / count), a true
//     division in double rounded once to single; then the scaling to unit length of rule 3 in
//     single precision. Summing in double keeps long texts within 1e-6 of model2vec, which
//     multiplies its float32 rows by float64 weights.
//  5. No row is ever silently wrong: `load` refuses a table holding a value that is not finite
//     once widened to single precision, and `embed_batch` refuses a sentence whose sum of rows,
//     or the sum of squares it is scaled by, overflows (embed_tokens then gives infinities,
//     zeros or NaN).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "korvane/errors.hpp"
#include "korvane/format/load.hpp"

namespace korvane {

// One tensor described by a model file's header. Entries whose description cannot be read (the
// `__metadata__` entry, for one) are not listed.
struct TensorEntry {
    std::string name;
    std::string dtype;                 // as the header writes it: "F32", "I64", ...
    std::vector<std::uint64_t> shape;  // any number of dimensions
};

// The tensors the header of the file at `path` describes, in the header's order.
[[nodiscard]] std::expected<std::vector<TensorEntry>, LoadError> read_tensor_entries(
    const std::filesystem::path& path);

// How a table is held in memory.
//  - file: as the file encodes it.
//  - f16: a wider floating table (F32, F64, BF16) as F16, each value rounded to the nearest half
//    (ties to even) from its single-precision value, as numpy's astype(float16) rounds F32.
//    A value beyond float16's range is refused.
//  - i8: a floating table (F32, F64, BF16, F16) as I8, as model2vec's int8 option holds it. In
//    this one order: m = the largest magnitude of the whole table; scale = m / 127 in the
//    table's precision (rounded to a half for F16, a double for F64, else a float); for each
//    value v, q = half(half(v) / scale), where half() rounds to the nearest half (ties to even,
//    beyond its range to an infinity) and the division is in single precision (double for
//    F64, whose half(v) goes through a float: it may differ from a direct rounding in a rare
//    tie); q is clamped to [-127, 127] (an infinity to its end, NaN of an all-zero table to 0)
//    and rounded to the nearest integer, ties to even. Rows are then the integers themselves:
//    the scale is not kept, so an embedding that is not normalized comes in those units, as
//    model2vec's does.
//  Tables of other element types are held as the file encodes them.
enum class HeldAs : std::uint8_t { file, f16, i8 };

// A two-dimensional table: one row of `dimension()` elements per token ID.
class EmbeddingTable {
public:
    // Reads the tensor named `tensor_name` from the file at `path`. Fails when the file cannot be
    // read, the tensor is missing, not two-dimensional, of an element type other than the ten
    // known ones, when its byte range does not match its shape or leaves the file, or when it
    // holds a value that is infinite or NaN in single precision (naming its row). Throws
    // std::bad_alloc when the table's memory cannot be had.
    //
    // With `mapping_name` and/or `weights_name` (empty: none), also reads those one-dimensional
    // tensors (rule 4). Fails naming such a tensor when it is missing, not one-dimensional, of
    // another element type, when a mapping value lies outside the table, when the mapping and
    // the weights differ in length (or, without a mapping, the weights and the table's rows),
    // or when a weight is infinite or NaN.
    //
    // With `columns`, keeps only the first `columns` columns of every row (fails when the table
    // has fewer), as a table reduced to that dimension. `held_as` may narrow a floating table in
    // memory (see HeldAs); it is applied to the whole table, before the columns are cut.
    [[nodiscard]] static std::expected<EmbeddingTable, LoadError> load(
        const std::filesystem::path& path, std::string_view tensor_name,
        std::string_view mapping_name = {}, std::string_view weights_name = {},
        std::optional<std::size_t> columns = std::nullopt, HeldAs held_as = HeldAs::file);

    [[nodiscard]] DataType dtype() const noexcept { return dtype_; }
    [[nodiscard]] std::uint64_t rows() const noexcept { return rows_; }
    // The number of token IDs: the mapping's length when there is one (0 for a mapping of no
    // token IDs), else the rows.
    [[nodiscard]] std::uint64_t vocab_size() const noexcept {
        return has_mapping_ ? mapping_.size() : rows_;
    }
    // Whether the table came with a token mapping, and with weights: a tensor of length 0 is
    // there all the same (a vocabulary of no tokens), never taken for no tensor.
    [[nodiscard]] bool has_mapping() const noexcept { return has_mapping_; }
    [[nodiscard]] bool has_weights() const noexcept { return has_weights_; }
    // The row of each token ID (without a mapping: empty, row = token).
    [[nodiscard]] std::span<const std::uint32_t> mapping() const noexcept { return mapping_; }
    // The weight of each token ID (without weights: empty).
    [[nodiscard]] std::span<const double> weights() const noexcept { return weights_; }
    [[nodiscard]] std::size_t dimension() const noexcept { return dimension_; }
    // The table's bytes, rows back to back; the first is aligned to at least 64 bytes.
    [[nodiscard]] std::span<const std::byte> bytes() const noexcept { return {data_.get(), size_}; }

private:
    struct AlignedDelete {
        std::size_t alignment;  // as the table was allocated with
        void operator()(std::byte* bytes) const noexcept;
    };

    EmbeddingTable() = default;

    std::unique_ptr<std::byte[], AlignedDelete> data_;
    std::size_t size_ = 0;
    DataType dtype_ = DataType::F32;
    std::uint64_t rows_ = 0;
    std::size_t dimension_ = 0;
    std::vector<std::uint32_t> mapping_;
    std::vector<double> weights_;
    bool has_mapping_ = false;
    bool has_weights_ = false;
};

// A token ID of a batch that lies outside the vocabulary (the table, or its mapping): the first
// such one, in sentence order.
struct TokenOutOfRange {
    std::size_t sentence;
    std::uint64_t token;
    std::uint64_t vocab_size;

    // The text of token_out_of_range_text.
    [[nodiscard]] std::string display() const;
    // The same text naming the sentence `name` ("texts[12]") instead of "sentence <n>".
    [[nodiscard]] std::string display(std::string_view name) const;
};

// "token ID <token> in sentence <sentence> is outside the table (vocab_size <n>)", for callers
// that meet a token out of range before it becomes a token ID (a negative one, say).
[[nodiscard]] std::string token_out_of_range_text(std::size_t sentence, std::string_view token,
                                                  std::uint64_t vocab_size);
// The same text naming the sentence `name` ("texts[12]") instead of "sentence <n>".
[[nodiscard]] std::string token_out_of_range_text(std::string_view name, std::string_view token,
                                                  std::uint64_t vocab_size);

// What overflowed, which the message names: for a table without weights, a column of the
// rows' sum or the sum of squares of their mean; for one with weights, the weighted mean (only
// weights beyond 1 can take it past float32, the rows being finite), or its sum of squares.
enum class OverflowCause : std::uint8_t { rows, weights, weighted_squares };

// A sentence whose embedding does not fit single precision: a column of its rows' sum, or the
// sum of squares of its mean, overflowed to infinity.
struct RowOverflow {
    std::size_t sentence;
    OverflowCause cause = OverflowCause::rows;

    // "the embedding of sentence <n> overflows float32: ..."
    [[nodiscard]] std::string display() const;
    // The same text naming the sentence `name` ("texts[12]").
    [[nodiscard]] std::string display(std::string_view name) const;
};

// Why embed_batch refused a batch: the first sentence, in batch order, that cannot be embedded.
using BatchFailure = std::variant<TokenOutOfRange, RowOverflow>;

// The sentence a failure names.
[[nodiscard]] std::size_t failed_sentence(const BatchFailure& failure) noexcept;

// The sentences of a batch: sentence i is tokens[offsets[i], offsets[i + 1]).
struct TokenBatch {
    std::span<const std::uint32_t> tokens;
    std::span<const std::uint64_t> offsets;  // N + 1 non-decreasing values, the last <= tokens

    [[nodiscard]] std::size_t sentence_count() const noexcept {
        return offsets.empty() ? 0 : offsets.size() - 1;
    }
};

// Writes the embedding of every sentence of `batch` into `out`, row i at out[i * D, (i + 1) * D),
// using up to `threads` threads (the caller's among them). Fails naming the first sentence, in
// batch order, that holds a token outside the table or whose embedding overflows; the content
// of `out` is then unspecified (a batch with a token outside the table is computed only up to
// that sentence). Memory beyond `out` is taken only for sentences with tokens. Throws
// InternalFailure when `offsets` break their rules or `out` does not hold N x D floats.
[[nodiscard]] std::expected<void, BatchFailure> embed_batch(const EmbeddingTable& table,
                                                            TokenBatch batch, bool normalize,
                                                            std::span<float> out, unsigned threads);

// Writes each token's row, after the mapping and the weight, into `out` (row i at
// out[i * D, (i + 1) * D)), using up to `threads` threads: the row widened to single precision,
// or with weights float(double(value) * weight), the product rounded once. Throws
// InternalFailure when a token lies outside the vocabulary or `out` does not hold N x D floats.
void token_rows(const EmbeddingTable& table, std::span<const std::uint32_t> tokens,
                std::span<float> out, unsigned threads);

}  // namespace korvane
