// Differential check of the kernels that have a processor-specific variant: F16 widening through
// the processor's instruction (F16C, NEON) against the software rules, and row addition through
// vector instructions (AVX2, NEON) against the portable path and a plain loop. The input's bytes
// are taken as halves and as pairs of float rows, at an offset chosen by the first byte; the
// variants must give identical bits and leave the element past the end untouched.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "kernels/decode.hpp"

namespace korvane::fuzz {
namespace {

constexpr std::uint32_t canary = 0x7FBADBADu;  // a signalling NaN no path should produce

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

void check_f16(std::span<const std::uint8_t> bytes, std::size_t byte_offset) {
    if (!f16_kernel.supported()) return;
    const std::size_t count = bytes.size() / 2;
    if (count == 0) return;
    std::vector<std::byte> halves(byte_offset + 2 * count);
    std::memcpy(halves.data() + byte_offset, bytes.data(), 2 * count);
    std::vector<float> software(count + 1, std::bit_cast<float>(canary));
    std::vector<float> hardware(count + 1, std::bit_cast<float>(canary));
    widen_f16(F16Path::software, halves.data() + byte_offset, count, software.data());
    widen_f16(F16Path::hardware, halves.data() + byte_offset, count, hardware.data());
    for (std::size_t i = 0; i <= count; ++i) {
        require(bits(software[i]) == bits(hardware[i]),
                "hardware and software widening differ at " + std::to_string(i));
    }
}

void check_add_row(std::span<const std::uint8_t> bytes, std::size_t float_offset) {
    const std::size_t count = bytes.size() / 8;
    if (count == 0) return;
    std::vector<float> row(float_offset + count);
    std::vector<float> start(count);
    std::memcpy(start.data(), bytes.data(), 4 * count);
    std::memcpy(row.data() + float_offset, bytes.data() + 4 * count, 4 * count);

    std::vector<AddRowPath> paths{AddRowPath::portable};
    if (add_row_kernel.supported()) paths.push_back(AddRowPath::vector);
    for (const AddRowPath path : paths) {
        std::vector<float> accumulator(float_offset + count + 1, std::bit_cast<float>(canary));
        std::memcpy(accumulator.data() + float_offset, start.data(), 4 * count);
        add_row(path, accumulator.data() + float_offset, row.data() + float_offset, count);
        for (std::size_t i = 0; i < count; ++i) {
            const float a = start[i];
            const float b = row[float_offset + i];
            const float expected = a + b;
            const float actual = accumulator[float_offset + i];
            // Of two NaN operands either may come out; every other sum has one right answer.
            const bool both_nan = std::isnan(a) && std::isnan(b);
            require(both_nan ? std::isnan(actual) : bits(actual) == bits(expected),
                    "row addition differs from a plain sum at " + std::to_string(i));
        }
        require(bits(accumulator[float_offset + count]) == canary, "row addition overran");
    }
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    korvane::fuzz::check_f16(bytes, data[0] & 0x0F);
    korvane::fuzz::check_add_row(bytes, data[0] >> 4);
    return 0;
}
