// SHA-256 from the platform's library against published test vectors, of bytes and of files
// longer than one read.
#include "records/digest/digest.h"
#include "tests/support/tool_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

TEST(Digest, KnownVectorsOfBytesAndFiles) {
    struct Row {
        std::string bytes;
        const char* sha256;
    };
    const std::vector<Row> rows = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // A million bytes: sixteen reads of the file.
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string("a\r\nb\0", 5),
         "2af64f7de157b4267ab5c55868a38c056f7fa9fc9b2c6bad8453ded51a555189"},
    };
    const fs::path dir = tool_make_test_dir("gm_digest_test_");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.bytes.substr(0, 16));
        EXPECT_EQ(digest_sha256(row.bytes), row.sha256);
        tool_write_file(dir / "file", row.bytes);
        std::string hex;
        std::string error;
        ASSERT_TRUE(digest_file(dir / "file", hex, error)) << error;
        EXPECT_EQ(hex, row.sha256);
        EXPECT_TRUE(digest_is_hex(hex));
    }
    std::string hex;
    std::string error;
    EXPECT_FALSE(digest_file(dir / "none", hex, error));
    EXPECT_NE(error.find("none: cannot read it"), std::string::npos) << error;
    fs::remove_all(dir);
    for (const std::string& text : {std::string(63, 'a'), std::string(65, 'a'),
                                    std::string(64, 'A'), std::string(63, 'a') + "g"}) {
        EXPECT_FALSE(digest_is_hex(text)) << text;
    }
}

} // namespace
