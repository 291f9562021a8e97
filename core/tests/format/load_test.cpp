#include "korvane/format/load.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <string>
#include <string_view>

#include "support/model_file.hpp"

namespace korvane {
namespace {

using testing::model_file_bytes;
using testing::TemporaryDirectory;
using testing::write_file;

// The data section of most test files; tensors are cut out of it.
constexpr std::string_view data_section = "ABCDEFGH";

// The outcome of a load as one line: the chosen tensor and its bytes, or the failure's text.
std::string load_outcome(const std::filesystem::path& path) {
    try {
        const auto loaded = load_safetensors_file(path);
        if (!loaded) return std::string("LoadError: ").append(loaded.error().display());
        const TensorDetails& details = loaded->details;
        std::string line(data_type_name(details.dtype));
        line.append(" ").append(std::to_string(details.shape[0]));
        line.append("x").append(std::to_string(details.shape[1]));
        line.append(" [").append(std::to_string(details.data_offsets[0]));
        line.append(",").append(std::to_string(details.data_offsets[1])).append(") ");
        for (const std::byte byte : loaded->data) line.push_back(static_cast<char>(byte));
        return line;
    } catch (const InternalFailure& failure) {
        return std::string("InternalFailure: ").append(failure.what());
    }
}

std::string load_bytes(std::string_view bytes) {
    const TemporaryDirectory directory;
    write_file(directory.model_file(), bytes);
    return load_outcome(directory.model_file());
}

// A tensor description in object form.
std::string entry(std::string_view dtype, std::string_view shape, std::string_view offsets) {
    return std::string(R"({"dtype":")")
        .append(dtype)
        .append(R"(","shape":)")
        .append(shape)
        .append(R"(,"data_offsets":)")
        .append(offsets)
        .append("}");
}

const std::string good_entry = entry("U8", "[1,2]", "[1,3]");
const std::string good_outcome = "U8 1x2 [1,3) BC";
const std::string good_header = R"({"t":)" + good_entry + "}";
const std::string no_tensor =
    "LoadError: Could not find tensor details for the current safetensors model";

struct FileCase {
    std::string name;
    std::string bytes;
    std::string expected;
};

void PrintTo(const FileCase& file, std::ostream* out) {
    *out << file.name;
}

std::string case_name(const ::testing::TestParamInfo<FileCase>& info) {
    return info.param.name;
}

// A file of `header` followed by the usual data section.
FileCase with_header(std::string name, std::string header, std::string expected) {
    return {std::move(name), model_file_bytes(header, data_section), std::move(expected)};
}

class ModelFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(ModelFile, LoadsTheFirstUsableTensorOrFailsAsExpected) {
    EXPECT_EQ(load_bytes(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    HeaderFraming, ModelFile,
    ::testing::Values(
        with_header("WhitespaceAround", " \n" + good_header + " \t\r\n  ", good_outcome),
        with_header("NulPadding", good_header + std::string(3, '\0'),
                    "LoadError: SerDe Error: trailing characters at line 1 column " +
                        std::to_string(good_header.size() + 1)),
        FileCase{"EmptyHeader", model_file_bytes(""),
                 "LoadError: SerDe Error: EOF while parsing a value at line 1 column 0"},
        FileCase{"EmptyFile", "", "InternalFailure: mid > len"},
        FileCase{"SevenBytes", std::string(7, '\0'), "InternalFailure: mid > len"},
        FileCase{"LengthBeyondFile",
                 model_file_bytes(good_header, data_section,
                                  good_header.size() + data_section.size() + 1),
                 "InternalFailure: mid > len"},
        FileCase{
            "LengthAtMaximum",
            model_file_bytes(good_header, data_section, std::numeric_limits<std::uint64_t>::max()),
            "InternalFailure: mid > len"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    EntrySelection, ModelFile,
    ::testing::Values(
        with_header("ArrayForm", R"({"t":["F16",[1,1],[0,2]]})", "F16 1x1 [0,2) AB"),
        with_header("DtypeAsObject",
                    R"({"t":{"dtype":{"F32":null},"shape":[1,1],"data_offsets":[0,4]}})",
                    "F32 1x1 [0,4) ABCD"),
        with_header("ExtraKeysAnyOrder",
                    R"({"t":{"data_offsets":[0,1],"x":[{}],"shape":[1,1],"dtype":"BOOL"}})",
                    "BOOL 1x1 [0,1) A"),
        with_header("MetadataSkipped",
                    R"({"__metadata__":)" + entry("F64", "[1,1]", "[0,8]") + R"(,"t":)" +
                        good_entry + "}",
                    good_outcome),
        with_header("LaterDuplicateTakesFirstPlace",
                    R"({"a":{},"b":)" + entry("I8", "[1,1]", "[0,1]") + R"(,"a":)" + good_entry +
                        "}",
                    good_outcome),
        with_header("LaterDuplicateSpoilsFirstPlace",
                    R"({"a":)" + good_entry + R"(,"b":)" + entry("I8", "[1,1]", "[0,1]") +
                        R"(,"a":{}})",
                    "I8 1x1 [0,1) A"),
        with_header("DuplicateFieldTakesLastValue",
                    R"({"t":{"dtype":"U16","shape":[1,1],"data_offsets":[0,1],"dtype":"U8"}})",
                    "U8 1x1 [0,1) A"),
        with_header("EmptyObject", "{}", no_tensor),
        with_header("OnlyMetadata", R"({"__metadata__":)" + good_entry + "}", no_tensor),
        with_header("OnlyUnusable", R"({"a":)" + entry("U16", "[1,1]", "[0,2]") + "}", no_tensor),
        with_header("FaultAfterUsableEntry", R"({"t":)" + good_entry + R"(,"u":[1,]})",
                    "LoadError: SerDe Error: trailing comma at line 1 column " +
                        std::to_string(good_header.size() + 8)),
        with_header("TopLevelArray", "[" + good_entry + "]",
                    "LoadError: SerDe Error: invalid type: sequence, expected a map at line 1 "
                    "column 0"),
        with_header("InvalidUtf8InUnusedKey", "{\"\xC3\x28\":1}",
                    "LoadError: SerDe Error: invalid unicode code point at line 1 column 5")),
    case_name);

// The metadata nested `levels` deep, counting the top-level object as the first level.
std::string nested_metadata_header(int levels) {
    return R"({"__metadata__":)" + std::string(static_cast<std::size_t>(levels - 1), '[') +
           std::string(static_cast<std::size_t>(levels - 1), ']') + R"(,"t":)" + good_entry + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Nesting, ModelFile,
    ::testing::Values(
        with_header("Level127", nested_metadata_header(127), good_outcome),
        with_header("Level128", nested_metadata_header(128),
                    "LoadError: SerDe Error: recursion limit exceeded at line 1 column 143")),
    case_name);

// A header holding one tensor with these offsets.
FileCase with_offsets(std::string name, std::string_view offsets, std::string expected) {
    return with_header(std::move(name), R"({"t":)" + entry("F32", "[2,2]", offsets) + "}",
                       std::move(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, ModelFile,
    ::testing::Values(
        with_offsets("WholeDataSection", "[0,8]", "F32 2x2 [0,8) ABCDEFGH"),
        with_offsets("StartEqualsEnd", "[8,8]", "F32 2x2 [8,8) "),
        with_offsets("SpanNotMatchingShape", "[5,8]", "F32 2x2 [5,8) FGH"),
        with_offsets("StartBeyondData", "[9,10]",
                     "InternalFailure: range start index 9 out of range for slice of length 8"),
        with_offsets("StartBeyondDataAndEnd", "[9,3]",
                     "InternalFailure: range start index 9 out of range for slice of length 8"),
        with_offsets("EndBeyondData", "[0,9]",
                     "InternalFailure: range end index 9 out of range for slice of length 8"),
        with_offsets("StartAfterEnd", "[5,3]",
                     "InternalFailure: slice index starts at 5 but ends at 3"),
        with_offsets("LargestOffsets", "[18446744073709551615,18446744073709551615]",
                     "InternalFailure: range start index 18446744073709551615 out of range for "
                     "slice of length 8"),
        with_header("FirstUsableBeyondDataDespiteLaterFit",
                    R"({"a":)" + entry("U8", "[1,1]", "[0,9]") + R"(,"b":)" + good_entry + "}",
                    "InternalFailure: range end index 9 out of range for slice of length 8"),
        FileCase{"NoDataSectionEmptyTensor",
                 model_file_bytes(R"({"t":)" + entry("U8", "[0,4]", "[0,0]") + "}"),
                 "U8 0x4 [0,0) "},
        FileCase{"NoDataSection",
                 model_file_bytes(R"({"t":)" + entry("U8", "[1,1]", "[0,1]") + "}"),
                 "InternalFailure: range end index 1 out of range for slice of length 0"}),
    case_name);

// Each entry is unusable; the second, well-formed entry must be chosen.
class UnusableFirstEntry : public ::testing::TestWithParam<std::string> {};

TEST_P(UnusableFirstEntry, IsPassedOver) {
    const std::string header = R"({"a":)" + GetParam() + R"(,"b":)" + good_entry + "}";
    EXPECT_EQ(load_bytes(model_file_bytes(header, data_section)), good_outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, UnusableFirstEntry,
    ::testing::Values(entry("U16", "[1,1]", "[0,2]"), entry("f32", "[1,1]", "[0,4]"),
                      entry("", "[1,1]", "[0,4]"), entry("F32", "[4]", "[0,4]"),
                      entry("F32", "[1,1,4]", "[0,4]"), entry("F32", "[1,1]", "[0,4,8]"),
                      entry("F32", "[1,1]", "[2.0,4]"), entry("F32", "[1,1]", "[0,1e3]"),
                      entry("F32", "[1,1]", "[-1,4]"), entry("F32", "[1,-0]", "[0,4]"),
                      entry("F32", "[1,1]", "[0,18446744073709551616]"),
                      entry("F32", R"(["1",1])", "[0,4]"), entry("F32", "{}", "[0,4]"),
                      R"({"dtype":{"F32":0},"shape":[1,1],"data_offsets":[0,4]})",
                      R"({"dtype":{"F32":null,"F16":null},"shape":[1,1],"data_offsets":[0,4]})",
                      R"({"dtype":{"f32":null},"shape":[1,1],"data_offsets":[0,4]})",
                      R"({"dtype":["F32"],"shape":[1,1],"data_offsets":[0,4]})",
                      R"({"dtype":null,"shape":[1,1],"data_offsets":[0,4]})",
                      R"({"shape":[1,1],"data_offsets":[0,4]})",
                      R"({"dtype":"F32","data_offsets":[0,4]})", R"({"dtype":"F32","shape":[1,1]})",
                      R"(["F32",[1,1]])", R"(["F32",[1,1],[0,4],0])", R"([[1,1],"F32",[0,4]])",
                      R"("F32")", "null", "7", "{}", "[]"));

TEST(FileAccess, MissingFileAndDirectoryAreOsErrors) {
    const TemporaryDirectory directory;
    EXPECT_EQ(load_outcome(directory.model_file()),
              "LoadError: IO Error: entity not found. Details: No such file or directory (os "
              "error 2)");
    std::filesystem::create_directory(directory.model_file());
    EXPECT_EQ(load_outcome(directory.model_file()),
              "LoadError: IO Error: is a directory. Details: Is a directory (os error 21)");
}

// Opening a FIFO that has no writer must not wait for one: it reads as an empty file.
TEST(FileAccess, FifoWithoutWriterReadsAsEmpty) {
    const TemporaryDirectory directory;
    ASSERT_EQ(::mkfifo(directory.model_file().c_str(), 0600), 0);
    ::alarm(60);  // a hang would otherwise stall the whole suite
    EXPECT_EQ(load_outcome(directory.model_file()), "InternalFailure: mid > len");
    ::alarm(0);
}

// A pipe reports no size, so its content arrives through repeated growth of the buffer.
TEST(FileAccess, ContentOfUnknownSizeIsReadWhole) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data.append("0123456789").push_back(static_cast<char>(i));
    const std::string header =
        R"({"t":)" + entry("U8", "[1,1]", "[54997," + std::to_string(data.size()) + "]") + "}";
    const std::string bytes = model_file_bytes(header, data);
    ASSERT_LT(bytes.size(), 65536u);  // fits the pipe's buffer, so one write cannot block
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(ends[1]);
    const std::string outcome = load_outcome("/dev/fd/" + std::to_string(ends[0]));
    ::close(ends[0]);
    EXPECT_EQ(outcome, "U8 1x1 [54997,55000) " + data.substr(54997));
}

std::size_t open_descriptor_count() {
    const std::filesystem::directory_iterator entries("/dev/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

TEST(FileAccess, FileIsClosedOnEveryPath) {
    const std::size_t before = open_descriptor_count();
    for (const std::string& bytes :
         {model_file_bytes(good_header, data_section), model_file_bytes("{"),
          model_file_bytes("{}"), std::string(3, ' '),
          model_file_bytes(R"({"t":)" + entry("U8", "[1,1]", "[0,99]") + "}")}) {
        load_bytes(bytes);
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

// The check runs at least once per 16 MiB read; one that throws stops the read, closes the file
// and passes its exception on.
TEST(FileAccess, InterruptCheckRunsPerChunkAndCanStopTheRead) {
    const TemporaryDirectory directory;
    write_file(directory.model_file(), model_file_bytes(good_header, data_section));
    std::filesystem::resize_file(directory.model_file(), std::uintmax_t{40} << 20);
    int checks = 0;
    EXPECT_TRUE(load_safetensors_file(directory.model_file(), [&] { ++checks; }).has_value());
    EXPECT_GE(checks, 3);

    struct Stop {};
    const std::size_t before = open_descriptor_count();
    checks = 0;
    const auto stop_at_second = [&] {
        if (++checks == 2) throw Stop{};
    };
    EXPECT_THROW((void)load_safetensors_file(directory.model_file(), stop_at_second), Stop);
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace korvane
