// The whole computation: model bytes and a token list, through StaticEmbedding::from_dir and
// embed_tokens on a model directory.
//
// Input: one byte of options (bit 0: normalize; bit 1: the first object widens F16 in software;
// bit 2: it adds rows by the portable path), one byte with the token count n, n little-endian
// 32-bit token IDs, then the model file. Each input runs twice on one object, where the second
// run is served by the row cache, and once on a second object that takes the other kernel paths;
// all three must end alike, results bit for bit, and as a computation without any cache does.

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernels/decode.hpp"
#include "korvane/model/static_embedding.hpp"

namespace korvane::fuzz {
namespace {

// The end of one embed_tokens call: a result, a load error's text or an internal failure's text.
struct Outcome {
    std::optional<std::vector<float>> result;
    std::string error;
    std::string failure;
};

Outcome run(StaticEmbedding& model, const std::vector<std::uint32_t>& tokens) {
    Outcome outcome;
    try {
        auto result = model.embed_tokens(tokens);
        if (result) {
            outcome.result = std::move(*result);
        } else {
            outcome.error = result.error().display();
        }
    } catch (const InternalFailure& failure) {
        outcome.failure = failure.what();
    }
    return outcome;
}

// Whether two outcomes agree. With `any_nan`, two NaNs agree whatever their bits: which of two
// NaN operands an addition passes on depends on the operand order a vector path picks.
bool same_outcome(const Outcome& a, const Outcome& b, bool any_nan) {
    if (a.error != b.error || a.failure != b.failure) return false;
    if (a.result.has_value() != b.result.has_value()) return false;
    if (!a.result) return true;
    if (a.result->size() != b.result->size()) return false;
    for (std::size_t i = 0; i < a.result->size(); ++i) {
        const float x = (*a.result)[i];
        const float y = (*b.result)[i];
        if (std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y)) continue;
        if (!(any_nan && std::isnan(x) && std::isnan(y))) return false;
    }
    return true;
}

// The computation without a cache, every row decoded afresh and added by a plain loop: what the
// cached runs must agree with. Empty when the table's rows are too long to be worth it.
std::optional<Outcome> uncached(const std::filesystem::path& model_file,
                                const std::vector<std::uint32_t>& tokens, bool normalize) {
    constexpr std::uint64_t max_dimension = std::uint64_t{1} << 16;
    Outcome outcome;
    try {
        const auto loaded = load_safetensors_file(model_file);
        if (!loaded) {
            outcome.error = loaded.error().display();
            return outcome;
        }
        const std::uint64_t dimension = loaded->details.shape[1];
        if (dimension > max_dimension) return std::nullopt;
        const std::size_t width = static_cast<std::size_t>(dimension);
        const std::size_t row_bytes = element_width(loaded->details.dtype) * width;
        const std::size_t length = loaded->data.size();
        std::vector<float> sum(width, 0.0f), row(width);
        for (const std::uint32_t token : tokens) {
            if (width == 0) continue;
            const std::uint64_t start = std::uint64_t{token} * row_bytes;
            if (start > length) {
                outcome.failure = "range start index " + std::to_string(start) +
                                  " out of range for slice of length " + std::to_string(length);
                return outcome;
            }
            if (start + row_bytes > length) {
                outcome.failure = "range end index " + std::to_string(start + row_bytes) +
                                  " out of range for slice of length " + std::to_string(length);
                return outcome;
            }
            decode_row(loaded->details.dtype, loaded->data.data() + start, width, row.data());
            for (std::size_t i = 0; i < width; ++i) sum[i] = sum[i] + row[i];
        }
        const auto count = static_cast<float>(tokens.size());
        for (float& value : sum) value = value / count;
        if (normalize) {
            float squares = 0.0f;
            for (const float value : sum) squares = squares + value * value;
            float norm = std::sqrt(squares);
            if (!(norm > 1e-12f)) norm = 1e-12f;
            for (float& value : sum) value = value / norm;
        }
        outcome.result = std::move(sum);
    } catch (const InternalFailure& failure) {
        outcome.failure = failure.what();
    }
    return outcome;
}

void force_paths(bool software_f16, bool portable_add_row) {
    f16_kernel.force_portable(software_f16);
    add_row_kernel.force_portable(portable_add_row);
}

// A model file whose dimension alone asks for more memory than a fuzzing run should spend: an
// empty token list still yields D NaNs, so such a file is skipped rather than allocated.
bool dimension_too_large(const std::filesystem::path& model_file) {
    constexpr std::uint64_t max_dimension = std::uint64_t{1} << 22;
    try {
        const auto loaded = load_safetensors_file(model_file);
        return loaded && loaded->details.shape[1] > max_dimension;
    } catch (const InternalFailure&) {
        return false;
    }
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvane;
    using namespace korvane::fuzz;
    static const ModelDirectory directory;
    if (size < 2) return 0;
    const std::uint8_t options = data[0];
    const std::size_t count = std::min<std::size_t>(data[1], (size - 2) / 4);
    std::vector<std::uint32_t> tokens(count);
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t byte = 4; byte-- > 0;) {
            tokens[i] = tokens[i] << 8 | data[2 + 4 * i + byte];
        }
    }
    directory.write_model(std::span(data, size).subspan(2 + 4 * count));
    if (tokens.empty() && dimension_too_large(directory.path() / model_file_name)) return 0;

    const bool normalize = (options & 1) != 0;
    const bool software_f16 = (options & 2) != 0;
    const bool portable_add_row = (options & 4) != 0;
    auto first = StaticEmbedding::from_dir(directory.path().string(), normalize);
    auto second = StaticEmbedding::from_dir(directory.path().string(), normalize);
    require(first.has_value() && second.has_value(), "from_dir on an existing model file");

    force_paths(software_f16, portable_add_row);
    const Outcome fresh = run(*first, tokens);
    const Outcome cached = run(*first, tokens);
    force_paths(!software_f16, !portable_add_row);
    const Outcome other_paths = run(*second, tokens);
    force_paths(false, false);

    require(same_outcome(fresh, cached, false), "a repeated call ends as the first did");
    require(same_outcome(fresh, other_paths, true), "the kernel paths agree");
    const auto expected = uncached(directory.path() / model_file_name, tokens, normalize);
    require(!expected || same_outcome(fresh, *expected, true), "the cache changes nothing");
    if (fresh.result) {
        require(fresh.result->size() == 0 || !tokens.empty() || std::isnan(fresh.result->front()),
                "an empty list gives NaNs");
    }
    if (!fresh.error.empty()) {
        require(
            starts_with(fresh.error, "SerDe Error: ") ||
                fresh.error == "Could not find tensor details for the current safetensors model",
            fresh.error);
    }
    return 0;
}
