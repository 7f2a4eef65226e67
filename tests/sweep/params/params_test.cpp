// The parameter reader against golden files, plus direct checks of its helpers.
//
// Each case in tests/sweep/params/ is NAME.txt (the input; absent for a file that cannot be opened)
// with NAME.stdout, NAME.stderr and NAME.dump: what the reader prints on each stream and the
// listing of the record it returns. An empty NAME.dump means that no record may be returned.
#include "sweep/params/params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define gm_getpid _getpid
#define gm_dup _dup
#define gm_dup2 _dup2
#define gm_close _close
#define gm_fileno _fileno
#else
#include <unistd.h>
#define gm_getpid getpid
#define gm_dup dup
#define gm_dup2 dup2
#define gm_close close
#define gm_fileno fileno
#endif

namespace fs = std::filesystem;

namespace {

const fs::path golden_dir = GM_PARAMS_GOLDEN_DIR;

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Reads back what the program wrote through a text stream (line ends as on this platform).
std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path temp_path(const std::string& name) {
    // The process id keeps concurrent runs (other build trees) apart.
    return fs::temp_directory_path() /
           ("gm_params_test_" + std::to_string(gm_getpid()) + "_" + name);
}

struct Captured {
    std::string out;
    std::string err;
    std::optional<InputParameters> parameters;
};

// Runs the reader with standard output and standard error sent to files.
Captured read_captured(const char* path) {
    const fs::path out_path = temp_path("stdout");
    const fs::path err_path = temp_path("stderr");
    std::FILE* out_file = std::fopen(out_path.string().c_str(), "w");
    std::FILE* err_file = std::fopen(err_path.string().c_str(), "w");
    EXPECT_NE(out_file, nullptr);
    EXPECT_NE(err_file, nullptr);

    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = gm_dup(1);
    const int saved_err = gm_dup(2);
    gm_dup2(gm_fileno(out_file), 1);
    gm_dup2(gm_fileno(err_file), 2);

    Captured result;
    result.parameters = read_input_parameters(path);

    std::fflush(stdout);
    std::fflush(stderr);
    gm_dup2(saved_out, 1);
    gm_dup2(saved_err, 2);
    gm_close(saved_out);
    gm_close(saved_err);
    std::fclose(out_file);
    std::fclose(err_file);

    result.out = read_text(out_path);
    result.err = read_text(err_path);
    fs::remove(out_path);
    fs::remove(err_path);
    return result;
}

std::string dump_text(const InputParameters& parameters) {
    const fs::path path = temp_path("dump");
    std::FILE* file = std::fopen(path.string().c_str(), "w");
    EXPECT_NE(file, nullptr);
    dump_input_parameters(file, parameters);
    std::fclose(file);
    std::string text = read_text(path);
    fs::remove(path);
    return text;
}

std::vector<std::string> golden_cases() {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(golden_dir)) {
        if (entry.path().extension() == ".stdout") {
            names.push_back(entry.path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ParamsGolden : public testing::TestWithParam<std::string> {};

TEST_P(ParamsGolden, MatchesGoldenFiles) {
    const std::string& name = GetParam();
    const fs::path saved_dir = fs::current_path();
    // Relative paths keep the not-found message the same on every machine.
    fs::current_path(golden_dir);
    const Captured captured = read_captured((name + ".txt").c_str());
    fs::current_path(saved_dir);

    EXPECT_EQ(captured.out, read_bytes(golden_dir / (name + ".stdout")));
    EXPECT_EQ(captured.err, read_bytes(golden_dir / (name + ".stderr")));
    const std::string expected_dump = read_bytes(golden_dir / (name + ".dump"));
    if (expected_dump.empty()) {
        EXPECT_FALSE(captured.parameters.has_value());
    } else {
        ASSERT_TRUE(captured.parameters.has_value());
        EXPECT_EQ(dump_text(*captured.parameters), expected_dump);
    }
}

std::string golden_case_name(const testing::TestParamInfo<std::string>& test) {
    return test.param;
}

INSTANTIATE_TEST_SUITE_P(Files, ParamsGolden, testing::ValuesIn(golden_cases()), golden_case_name);

TEST(ParamsGoldenSet, EveryCaseIsComplete) {
    const std::vector<std::string> names = golden_cases();
    EXPECT_GE(names.size(), 15u);
    for (const std::string& name : names) {
        EXPECT_TRUE(fs::exists(golden_dir / (name + ".stderr"))) << name;
        EXPECT_TRUE(fs::exists(golden_dir / (name + ".dump"))) << name;
        // Only the case of a missing file may lack its input.
        EXPECT_EQ(fs::exists(golden_dir / (name + ".txt")), name != "missing_file") << name;
    }
}

TEST(ParamsKeys, TableHasEighteenKeysNoneAPrefixOfAnother) {
    EXPECT_STREQ(parameter_keys[parameter_key_count].key, "");
    for (std::size_t i = 0; i < parameter_key_count; ++i) {
        const ParameterKey& a = parameter_keys[i];
        ASSERT_NE(a.key[0], '\0') << i;
        EXPECT_NE(a.integer_field == nullptr, a.text_field == nullptr) << a.key;
        for (std::size_t j = 0; j < parameter_key_count; ++j) {
            const ParameterKey& b = parameter_keys[j];
            if (i != j) {
                EXPECT_NE(std::strncmp(b.key, a.key, std::strlen(a.key)), 0)
                    << a.key << " " << b.key;
            }
        }
    }
}

TEST(ParamsTrim, RemovesOnlyOuterWhiteSpaceInPlace) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"", ""},
        {"   ", ""},
        {" a b ", "a b"},
        {"\t\r\n x\v\f", "x"},
        {"abc", "abc"},
        {"\n", ""},
        {"\x01 x \x01", "\x01 x \x01"},
    };
    for (const Case& c : cases) {
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        std::memcpy(buffer, c.in, std::strlen(c.in) + 1);
        EXPECT_EQ(trim_whitespace(buffer), buffer);
        EXPECT_STREQ(buffer, c.out) << "input: \"" << c.in << "\"";
    }
    EXPECT_EQ(trim_whitespace(nullptr), nullptr);
}

TEST(ParamsCopy, CopyIsIndependentOfItsSource) {
    char source[] = "com8";
    ParameterText copy = copy_string(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), source);
    source[0] = 'x';
    EXPECT_STREQ(copy.get(), "com8");
    ParameterText second = copy_string(copy.get());
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second.get(), copy.get());
    EXPECT_STREQ(second.get(), "com8");
    ParameterText empty = copy_string("");
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty.get(), "");
    EXPECT_EQ(copy_string(nullptr), nullptr);
}

TEST(ParamsInteger, SignDigitsAndClamping) {
    struct Case {
        const char* in;
        std::int32_t out;
    };
    const Case cases[] = {
        {"0", 0},
        {"-0", 0},
        {"42", 42},
        {"+5", 5},
        {"-", 0},
        {"+", 0},
        {"", 0},
        {"abc", 0},
        {"12abc", 12},
        {"1 2", 1},
        {"--1", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
        {"123456789012345678901234567890", 2147483647},
        {"-123456789012345678901234567890", -2147483647 - 1},
        {"0000000000000000000000000000007", 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(params_parse_integer(c.in), c.out) << c.in;
    }
}

TEST(ParamsDump, AbsentAndPresentTexts) {
    InputParameters parameters;
    parameters.gyro_mode = copy_string("fast");
    parameters.laser_arc_angle = -1;
    const std::string text = dump_text(parameters);
    EXPECT_NE(text.find("\ngyro_mode -> fast\n"), std::string::npos);
    EXPECT_NE(text.find("\ngyro_serial_port -> (null)\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with("\nlaser_arc_angle -> -1\n"));
}

// Fails every allocation after the first `allocations_left`.
int allocations_left = 0;
void* failing_allocate(std::size_t size) {
    if (allocations_left <= 0) {
        return nullptr;
    }
    --allocations_left;
    return std::malloc(size);
}

TEST(ParamsAllocation, FailedCopyIsReportedAndReturnsNothing) {
    const fs::path saved_dir = fs::current_path();
    fs::current_path(golden_dir);
    // full_file.txt sets four texts: fail the first, then the last of them.
    for (int left : {0, 3}) {
        allocations_left = left;
        params_set_allocator(failing_allocate);
        const Captured captured = read_captured("full_file.txt");
        params_set_allocator(nullptr);
        EXPECT_FALSE(captured.parameters.has_value()) << left;
        EXPECT_EQ(captured.err, "param file - out of memory reading full_file.txt\n");
    }
    allocations_left = 4;
    params_set_allocator(failing_allocate);
    const Captured captured = read_captured("full_file.txt");
    params_set_allocator(nullptr);
    fs::current_path(saved_dir);
    EXPECT_TRUE(captured.parameters.has_value());
    EXPECT_EQ(captured.err, "");
}

TEST(ParamsReadError, NullPathIsAFileNotFound) {
    const Captured captured = read_captured(nullptr);
    EXPECT_FALSE(captured.parameters.has_value());
    EXPECT_EQ(captured.err, "param file not found (null)\n");
}

TEST(ParamsReadError, UnreadableFileGivesNoRecord) {
    // A directory: fopen fails on some platforms, the first read on others; never a record.
    const Captured captured = read_captured(golden_dir.string().c_str());
    EXPECT_FALSE(captured.parameters.has_value());
    EXPECT_TRUE(captured.err.starts_with("param file ")) << captured.err;
    EXPECT_EQ(captured.out, "");
}

} // namespace
