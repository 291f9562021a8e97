#include "korvane/static_embedding.hpp"

#include <sys/stat.h>

namespace korvane {

std::expected<StaticEmbedding, InvalidModelOrPathError> StaticEmbedding::from_dir(
    std::string model_dir, bool normalize) {
    std::filesystem::path directory(model_dir);
    const std::filesystem::path candidate = directory / model_file_name;
    // A path holding a NUL cannot be passed to the system at all, so it names no file.
    struct stat status;
    const bool exists = model_dir.find('\0') == std::string::npos &&
                        ::stat(candidate.c_str(), &status) == 0;
    if (!exists) {
        return std::unexpected(InvalidModelOrPathError{
            std::move(model_dir),
            "Could not find `models.safetensors` in the specified directory"});
    }
    return StaticEmbedding(std::move(directory), normalize);
}

}  // namespace korvane
