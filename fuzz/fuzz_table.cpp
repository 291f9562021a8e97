// The one-table loader and the batch kernel on raw bytes. Every damaged file must come back as a
// LoadError (never an internal failure or a crash), and a loaded table must be exactly its shape's
// size and embed the first and last rows, refusing the first row beyond it.

#include <cstdint>
#include <limits>
#include <variant>
#include <vector>

#include "fuzz_support.hpp"
#include "korvane/format/embedding_table.hpp"

namespace korvane::fuzz {
namespace {

// Columns beyond this are loaded and checked but not embedded, to keep each input fast.
constexpr std::size_t embedded_width_limit = 1 << 16;

void check_table(const EmbeddingTable& table) {
    const std::uint64_t rows = table.rows();
    require(rows * table.dimension() * element_width(table.dtype()) == table.bytes().size() ||
                table.bytes().empty(),
            "a table holds exactly its shape");
    require(reinterpret_cast<std::uintptr_t>(table.bytes().data()) % 64 == 0, "aligned table");
    if (rows == 0 || table.dimension() > embedded_width_limit) return;
    const auto last = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(rows - 1, std::numeric_limits<std::uint32_t>::max()));
    const std::vector<std::uint32_t> tokens{0, last, last, 0};
    const std::vector<std::uint64_t> offsets{0, 1, 1, 4};
    std::vector<float> out(3 * table.dimension(), 1.0f);
    // Any finite values may overflow a sum: that is refused too, never a wrong row.
    const auto done = embed_batch(table, {tokens, offsets}, true, out, 2);
    require(done.has_value() || std::holds_alternative<RowOverflow>(done.error()), "rows inside");
    for (std::size_t i = 0; done && i < table.dimension(); ++i) {
        require(out[table.dimension() + i] == 0.0f, "an empty sentence is a zero row");
    }
    if (rows < (std::uint64_t{1} << 32)) {
        const std::vector<std::uint32_t> beyond{static_cast<std::uint32_t>(rows)};
        const std::vector<std::uint64_t> one{0, 1};
        std::vector<float> single(table.dimension());
        const auto refused = embed_batch(table, {beyond, one}, false, single, 1);
        const auto* outside = refused ? nullptr : std::get_if<TokenOutOfRange>(&refused.error());
        require(outside != nullptr && outside->sentence == 0 && outside->token == rows,
                "the row past the table is refused");
    }
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvane;
    static fuzz::MemoryFile file;
    file.assign({data, size});
    const auto entries = read_tensor_entries(file.path());
    if (!entries) return 0;
    std::size_t tried = 0;
    for (const TensorEntry& entry : *entries) {
        if (++tried > 4) break;
        const auto table = EmbeddingTable::load(file.path(), entry.name);
        if (table) {
            fuzz::check_table(*table);
        } else {
            fuzz::require(!table.error().display().empty(), "a load error says why");
        }
    }
    return 0;
}
