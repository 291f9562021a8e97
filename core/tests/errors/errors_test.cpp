#include "korvane/errors.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "korvane/model/static_embedding.hpp"
#include "support/model_file.hpp"

namespace korvane {
namespace {

std::string system_text(int error_number) {
    return std::strerror(error_number);
}

struct OsErrorCase {
    int error_number;
    const char* category;
};

class OsErrorComposition : public ::testing::TestWithParam<OsErrorCase> {};

TEST_P(OsErrorComposition, ComposesCategorySystemTextAndNumber) {
    const auto [error_number, category] = GetParam();
    const LoadError error = LoadError::from_os_error(error_number);
    EXPECT_EQ(error.display(), std::string("IO Error: ") + category +
                                   ". Details: " + system_text(error_number) + " (os error " +
                                   std::to_string(error_number) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Categories, OsErrorComposition,
    ::testing::Values(
        OsErrorCase{ENOENT, "entity not found"}, OsErrorCase{EISDIR, "is a directory"},
        OsErrorCase{EPERM, "permission denied"}, OsErrorCase{EACCES, "permission denied"},
        OsErrorCase{ELOOP, "filesystem loop or indirection limit (e.g. symlink loop)"},
        OsErrorCase{ENAMETOOLONG, "invalid filename"}, OsErrorCase{EOPNOTSUPP, "unsupported"},
        OsErrorCase{ENOMEM, "out of memory"}, OsErrorCase{EINPROGRESS, "in progress"},
        OsErrorCase{EIO, "uncategorized error"}, OsErrorCase{9999, "uncategorized error"}),
    [](const auto& info) { return "errno_" + std::to_string(info.param.error_number); });

TEST(LoadErrorTest, MissingFileReadsAsTheSystemDescribesIt) {
    EXPECT_EQ(LoadError::from_os_error(ENOENT).display(),
              "IO Error: entity not found. Details: No such file or directory (os error 2)");
    EXPECT_EQ(LoadError::from_os_error(EISDIR).display(),
              "IO Error: is a directory. Details: Is a directory (os error 21)");
}

TEST(LoadErrorTest, JsonAndFixedTexts) {
    EXPECT_EQ(LoadError::from_json_error("expected value at line 1 column 1").display(),
              "SerDe Error: expected value at line 1 column 1");
    EXPECT_EQ(LoadError::from_text("Could not find tensor details").display(),
              "Could not find tensor details");
}

TEST(EmbedErrorTest, TakesTheLoadErrorTextUnchanged) {
    LoadError load = LoadError::from_os_error(ENOENT);
    const std::string text = load.display();
    EXPECT_EQ(EmbedError::from(std::move(load)).display(), text);
}

TEST(InvalidModelOrPathErrorTest, DisplayJoinsPathAndMessage) {
    const InvalidModelOrPathError error{"dir/ü/", "reason"};
    EXPECT_EQ(error.display(), "Invalid model or path to load the model: dir/ü/.\nreason");
}

class FromDirTest : public ::testing::Test {
protected:
    testing::TemporaryDirectory temporary;
    const std::filesystem::path& directory = temporary.path();
};

TEST_F(FromDirTest, RefusesEveryUnusableDirectoryWithTheSameText) {
    std::filesystem::create_symlink(directory / "absent", directory / "dangling");
    std::filesystem::create_directories(directory / "dangling-dir");
    std::filesystem::create_symlink(directory / "absent",
                                    directory / "dangling-dir" / "model.safetensors");
    const std::string nul_path = directory.string() + std::string("\0x", 2);
    for (const std::string& path :
         {(directory / "missing").string(), directory.string() + "/",
          (directory / "dangling-dir").string(), nul_path, std::string("no/such/relative")}) {
        const auto result = StaticEmbedding::from_dir(path, true);
        ASSERT_FALSE(result.has_value()) << path;
        EXPECT_EQ(result.error().path, path);
        EXPECT_EQ(result.error().message,
                  "Could not find `models.safetensors` in the specified directory");
    }
}

TEST_F(FromDirTest, AcceptsAnythingNamedModelSafetensors) {
    std::filesystem::create_directories(directory / "as-directory" / "model.safetensors");
    std::ofstream(directory / "model.safetensors") << "not even a model";
    EXPECT_TRUE(StaticEmbedding::from_dir(directory.string(), true).has_value());
    EXPECT_TRUE(StaticEmbedding::from_dir(directory.string() + "/", false).has_value());
    EXPECT_TRUE(StaticEmbedding::from_dir((directory / "as-directory").string(), true));
}

}  // namespace
}  // namespace korvane
