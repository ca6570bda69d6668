// SPDX-License-Identifier: BSD-2-Clause
// Compressed output read back by gzip itself: long text in many small writes, nothing at all,
// a write larger than the compressor's buffers, and a disk that refuses the bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gzip/gzip_writer.h"
#include "support/test_files.h"

namespace kestrel {
namespace {

// Writes `parts` through a GzipWriter into `path`; false when it reported a failure.
bool Compress(const std::string& path, const std::vector<std::string>& parts) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = true;
    {
        GzipWriter gz(f);
        for (const std::string& p : parts) ok = gz.Write(p.data(), p.size()) && ok;
        ok = gz.Finish() && ok;
        EXPECT_FALSE(gz.Write("x", 1)) << "no bytes after the trailer";
    }
    return std::fclose(f) == 0 && ok;
}

std::string Gunzip(const std::string& path) {
    const std::string out = path + ".out";
    EXPECT_EQ(std::system(("gzip -dc '" + path + "' > '" + out + "'").c_str()), 0);
    return test::ReadFileText(out);
}

TEST(GzipWriter, GzipReadsBackWhatWasWritten) {
    test::ScratchDir dir;
    std::string line = " 24767686.375    43647388.2424   24767684.8224   -691177.898   G03\n";
    std::vector<std::string> many;
    std::string whole;
    for (int i = 0; i < 100000; ++i) {
        line[3 + i % 7] = static_cast<char>('0' + i % 10);
        many.push_back(line);
        whole += line;
    }
    struct Case {
        const char* what;
        std::vector<std::string> parts;
        std::string expected;
    };
    const Case cases[] = {
        {"many small writes", many, whole},
        {"one write of several megabytes", {whole}, whole},
        {"nothing", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.file("out.gz");
        ASSERT_TRUE(Compress(path, c.parts));
        EXPECT_EQ(Gunzip(path), c.expected);
    }
}

TEST(GzipWriter, AFullDiskIsAFailure) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr) GTEST_SKIP() << "no /dev/full";
    std::setvbuf(full, nullptr, _IONBF, 0);
    GzipWriter gz(full);
    std::string text(1 << 20, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + (i * 7919) % 26);
    const bool wrote = gz.Write(text.data(), text.size());
    const bool finished = gz.Finish();
    EXPECT_FALSE(wrote && finished);
    EXPECT_FALSE(gz.ok());
    std::fclose(full);
}

}  // namespace
}  // namespace kestrel
