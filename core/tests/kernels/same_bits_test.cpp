// embed_batch's results as digests recorded on x86-64: every processor (ARM64 under qemu among
// them), compiler and standard library must give the same bits, on every kernel path and thread
// count. The tables come from std::mt19937's raw numbers, which the standard fixes; its
// distributions differ between libraries, so none is used.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/decode.hpp"
#include "korvane/format/embedding_table.hpp"
#include "support/model_file.hpp"

namespace korvane {
namespace {

using testing::bytes_of;
using testing::model_file_bytes;
using testing::TemporaryDirectory;
using testing::tensor_entry;
using testing::write_file;

// 77 columns: whole blocks, single registers and a scalar tail on both AVX2 and NEON.
constexpr std::size_t rows = 37;
constexpr std::size_t width = 77;
constexpr std::size_t vocab = 101;

// A table of `dtype` with any finite bit pattern below 2 in magnitude (the top exponent bit
// cleared), subnormals and negative zeros included; a mapping onto its rows and weights.
void write_model(const std::filesystem::path& path, DataType dtype) {
    std::mt19937 random(static_cast<unsigned>(dtype) + 1);
    std::string table;
    if (dtype == DataType::F32) {
        std::vector<std::uint32_t> singles(rows * width);
        for (auto& single : singles) single = static_cast<std::uint32_t>(random()) & 0xBFFFFFFFu;
        table = bytes_of(singles);
    } else {
        std::vector<std::uint16_t> halves(rows * width);
        for (auto& half : halves) half = static_cast<std::uint16_t>(random() & 0xBFFFu);
        table = bytes_of(halves);
    }
    std::vector<std::int64_t> mapping(vocab);
    for (auto& row : mapping) row = static_cast<std::int64_t>(random() % rows);
    std::vector<double> weights(vocab);
    for (auto& weight : weights) weight = (static_cast<double>(random() % 4001) - 2000.0) / 641.0;

    // Built piece by piece: g++ 12 warns falsely (-Wrestrict) of "[" + std::string.
    const std::size_t mapping_end = table.size() + vocab * 8;
    std::string table_shape = "[";
    table_shape += std::to_string(rows);
    table_shape += ",";
    table_shape += std::to_string(width);
    table_shape += "]";
    std::string vocab_shape = "[";
    vocab_shape += std::to_string(vocab);
    vocab_shape += "]";
    std::string header = "{";
    header += tensor_entry("embeddings", data_type_name(dtype), table_shape, 0, table.size());
    header += ",";
    header += tensor_entry("mapping", "I64", vocab_shape, table.size(), mapping_end);
    header += ",";
    header += tensor_entry("weights", "F64", vocab_shape, mapping_end, mapping_end + vocab * 8);
    header += "}";
    write_file(path, model_file_bytes(header, table + bytes_of(mapping) + bytes_of(weights)));
}

// FNV-1a over the bytes of `values`.
std::uint64_t digest(const std::vector<float>& values) {
    std::uint64_t hash = 0xCBF29CE484222325u;
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    for (std::size_t i = 0; i < values.size() * sizeof(float); ++i) {
        hash = (hash ^ bytes[i]) * 0x100000001B3u;
    }
    return hash;
}

struct Case {
    const char* name;
    DataType dtype;
    bool mapped;
    bool weighted;
    HeldAs held_as;
    std::uint64_t expected;  // the digest of the rows, then the normalized rows
};

class SameBitsTest : public ::testing::TestWithParam<Case> {
protected:
    void TearDown() override {
        add_row_kernel.force_portable(false);
        f16_kernel.force_portable(false);
    }
};

TEST_P(SameBitsTest, DigestMatchesTheOneRecordedOnX86) {
    const Case& test = GetParam();
    const TemporaryDirectory directory;
    write_model(directory.model_file(), test.dtype);
    std::mt19937 random(7);
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> offsets{0};
    for (int sentence = 0; sentence < 60; ++sentence) {
        const std::size_t length = random() % 40;
        for (std::size_t i = 0; i < length; ++i) {
            tokens.push_back(static_cast<std::uint32_t>(random() % (test.mapped ? vocab : rows)));
        }
        offsets.push_back(tokens.size());
    }
    for (const bool portable : {false, true}) {
        add_row_kernel.force_portable(portable);
        f16_kernel.force_portable(portable);
        const auto table =
            EmbeddingTable::load(directory.model_file(), "embeddings", test.mapped ? "mapping" : "",
                                 test.weighted ? "weights" : "", std::nullopt, test.held_as);
        ASSERT_TRUE(table.has_value()) << table.error().display();
        for (const unsigned threads : {1u, 3u}) {
            std::vector<float> out;
            for (const bool normalize : {false, true}) {
                std::vector<float> rows_out((offsets.size() - 1) * width);
                ASSERT_TRUE(embed_batch(*table, {tokens, offsets}, normalize, rows_out, threads)
                                .has_value());
                out.insert(out.end(), rows_out.begin(), rows_out.end());
            }
            EXPECT_EQ(digest(out), test.expected)
                << "portable " << portable << ", threads " << threads;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, SameBitsTest,
    ::testing::Values(
        Case{"f32", DataType::F32, false, false, HeldAs::file, 0xFED9271D836F7BC3u},
        Case{"f16", DataType::F16, false, false, HeldAs::file, 0x6B2B69CA2B3990BEu},
        Case{"bf16", DataType::BF16, false, false, HeldAs::file, 0x037E98E6B677ACD1u},
        Case{"f32_mapped", DataType::F32, true, false, HeldAs::file, 0x1A6799EDD98534FCu},
        Case{"f16_mapped", DataType::F16, true, false, HeldAs::file, 0x29ADB0073AD98B25u},
        Case{"f32_weighted", DataType::F32, true, true, HeldAs::file, 0x70BEE936F55D6C85u},
        Case{"f16_weighted", DataType::F16, true, true, HeldAs::file, 0x5F8ED5DAC13DD90Bu},
        Case{"bf16_weighted", DataType::BF16, true, true, HeldAs::file, 0xA44C99846A88FA11u},
        Case{"f32_held_as_f16", DataType::F32, false, false, HeldAs::f16, 0x0CF7773842B619F0u},
        Case{"f32_held_as_i8", DataType::F32, false, false, HeldAs::i8, 0x5572EBAD57CF9F76u},
        Case{"bf16_held_as_i8", DataType::BF16, false, false, HeldAs::i8, 0x57134BA3F1A8AC66u}),
    [](const auto& info) { return std::string(info.param.name); });

// On ARM64 the variants are NEON's, and every ARM64 processor has them: a run there tests them,
// never the portable forms twice.
TEST(KernelPathTest, Arm64AlwaysTakesItsNeonVariants) {
#if defined(__aarch64__)
    EXPECT_EQ(f16_variant_name, "neon");
    EXPECT_EQ(add_row_variant_name, "neon");
    EXPECT_TRUE(f16_kernel.supported());
    EXPECT_TRUE(add_row_kernel.supported());
#else
    GTEST_SKIP() << "not an ARM64 build";
#endif
}

}  // namespace
}  // namespace korvane
