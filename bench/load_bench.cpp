// Times load_safetensors_file on a 30,000 x 384 F32 model (about 46 MB) against the floor of any
// reader: reading the same file whole and copying out its tensor bytes. Both are measured in the
// same run, alternately, and the medians compared.
//
// Usage: load_bench [repetitions]   (default 21)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "korvane/format/load.hpp"

namespace {

constexpr std::uint64_t rows = 30'000;
constexpr std::uint64_t columns = 384;
constexpr std::uint64_t tensor_size = rows * columns * 4;

// Keeps the optimiser from dropping work whose result is otherwise unused.
volatile std::uint8_t sink;

void write_model(const std::filesystem::path& path) {
    std::string header =
        R"({"__metadata__":{"format":"pt"},"embeddings":{"dtype":"F32","shape":[)" +
        std::to_string(rows) + "," + std::to_string(columns) + R"(],"data_offsets":[0,)" +
        std::to_string(tensor_size) + "]}}";
    header.resize((header.size() + 7) / 8 * 8, ' ');
    std::string bytes;
    for (int shift = 0; shift < 64; shift += 8) {
        bytes.push_back(static_cast<char>((header.size() >> shift) & 0xFF));
    }
    bytes += header;
    const std::size_t data_start = bytes.size();
    bytes.resize(data_start + tensor_size);
    std::uint32_t state = 12345;
    for (std::uint64_t i = 0; i < rows * columns; ++i) {
        state = state * 1664525u + 1013904223u;
        const float value = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        std::memcpy(bytes.data() + data_start + i * 4, &value, 4);
    }
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The floor: one open, one buffer at the file's size, reads to the end, one copy of the tensor.
void read_and_copy(const std::filesystem::path& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) std::abort();
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(path));
    auto buffer = std::make_unique_for_overwrite<std::byte[]>(size);
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t count = ::read(file, buffer.get() + filled, size - filled);
        if (count <= 0) std::abort();
        filled += static_cast<std::size_t>(count);
    }
    ::close(file);
    std::uint64_t header_length = 0;
    std::memcpy(&header_length, buffer.get(), 8);
    const std::byte* tensor = buffer.get() + 8 + header_length;
    const std::vector<std::byte> copy(tensor, tensor + tensor_size);
    sink = static_cast<std::uint8_t>(copy[copy.size() / 2]);
}

void load(const std::filesystem::path& path) {
    const auto loaded = korvane::load_safetensors_file(path);
    if (!loaded || loaded->data.size() != tensor_size) std::abort();
    sink = static_cast<std::uint8_t>(loaded->data[loaded->data.size() / 2]);
}

template <typename Work>
double seconds(Work work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    const auto directory =
        std::filesystem::temp_directory_path() / ("korvane-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const auto path = directory / "model.safetensors";
    write_model(path);

    read_and_copy(path);  // warm the page cache and the allocator
    load(path);
    std::vector<double> floor_times;
    std::vector<double> load_times;
    for (int round = 0; round < repetitions; ++round) {
        floor_times.push_back(seconds([&] { read_and_copy(path); }));
        load_times.push_back(seconds([&] { load(path); }));
    }
    std::filesystem::remove_all(directory);

    const double floor_median = median(floor_times);
    const double load_median = median(load_times);
    std::printf("model: %llu x %llu F32, %.1f MB, %d repetitions\n",
                static_cast<unsigned long long>(rows), static_cast<unsigned long long>(columns),
                static_cast<double>(tensor_size) / 1e6, repetitions);
    std::printf("floor (read whole + copy tensor): %8.2f ms median\n", floor_median * 1e3);
    std::printf("load_safetensors_file:            %8.2f ms median\n", load_median * 1e3);
    std::printf("ratio: %.3f (target <= 1.2)\n", load_median / floor_median);
    return 0;
}
