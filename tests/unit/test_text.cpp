// The line reader and the count scanner against the C library's own fgets
// and sscanf, on the daemon's formats and awkward input.
#include "common/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
enum width { U, LU, LLU };
const struct {
    const char* text;
    width type;
} FORMATS[] = {
    {"%u", U},
    {" tx:%lu rx:%lu", LU},
    {"%llu%*u%*u%*u%*u%*u%*u%*u%llu", LLU},
    {"RX bytes:%u", U},
    {"Security Associations (%u up", U},
};

const char* const INPUTS[] = {
    "42", "  \t\n42x", "+7", "-5", "", " ", "x1", "4294967295",
    " tx:1520 rx:88 RTS|DTR", "tx:1 rx:2", " tx: 1 rx:\t2", " tx:1rx:2", " tx:1 rx:", " tx:-3 rx:+4", " tx:1 rx:x",
    " 1234 11 0 0 0 0 0 0 5678 22 0 0", "1 2 3 4 5 6 7 8 9", "1 2 3 4 5 6 7 8", "18446744073709551615 0 0 0 0 0 0 0 1",
    "RX bytes:5", "RX bytes: 12\nRX bytes:3", "RX bytes:", "RX  bytes:5", "rx bytes:5",
    "Security Associations (2 up", "Security Associations ( 0 up, 1 connecting):", "Security  Associations\n(3 up",
    "Security Associations (", "Security Associations (x up",
};

// The line sequence fgets gives for `text`, with a `size`-byte buffer.
std::vector<std::string> fgets_lines(const std::string& text, size_t size)
{
    std::vector<std::string> lines;
    if (text.empty())
        return lines;
    FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    std::vector<char> line(size);
    while (std::fgets(line.data(), static_cast<int>(size), f) != nullptr)
        lines.emplace_back(line.data());
    std::fclose(f);
    return lines;
}

std::vector<std::string> read_lines(text_file& file, size_t size)
{
    std::vector<std::string> lines;
    std::vector<char> line(size);
    while (file.read_line(line.data(), size))
        lines.emplace_back(line.data());
    return lines;
}
}  // namespace

TEST(ScanCounts, AgreesWithSscanfOnTheDaemonsFormats)
{
    for (const auto& [format, type] : FORMATS) {
        for (const char* input : INPUTS) {
            unsigned long long ours[2] = {7, 7}, theirs[2] = {7, 7};
            int got = 0, want = 0;
            if (type == U) {
                unsigned a = 7, b = 7;
                got = scan_counts(input, format, &a);
                want = std::sscanf(input, format, &b);
                ours[0] = a;
                theirs[0] = b;
            } else if (type == LU) {
                unsigned long a[2] = {7, 7}, b[2] = {7, 7};
                got = scan_counts(input, format, &a[0], &a[1]);
                want = std::sscanf(input, format, &b[0], &b[1]);
                ours[0] = a[0], ours[1] = a[1], theirs[0] = b[0], theirs[1] = b[1];
            } else {
                got = scan_counts(input, format, &ours[0], &ours[1]);
                want = std::sscanf(input, format, &theirs[0], &theirs[1]);
            }
            SCOPED_TRACE(std::string("format '") + format + "' on '" + input + "'");
            EXPECT_EQ(got, want < 0 ? 0 : want);
            for (int i = 0; i < got; ++i)
                EXPECT_EQ(ours[i], theirs[i]);
        }
    }
}

TEST(ScanCounts, ANumberBeyondItsTypeReadsAsItsLargestValue)
{
    // As the router's 32-bit C library reads %u and %lu; sscanf's own
    // result is undefined there (a 64-bit build truncates).
    unsigned u = 0;
    EXPECT_EQ(scan_counts("4294967296", "%u", &u), 1);
    EXPECT_EQ(u, UINT_MAX);
    EXPECT_EQ(scan_counts("-99999999999", "%u", &u), 1);
    EXPECT_EQ(u, UINT_MAX);
    unsigned long long ull = 0;
    EXPECT_EQ(scan_counts("18446744073709551616", "%llu", &ull), 1);
    EXPECT_EQ(ull, ULLONG_MAX);
    EXPECT_EQ(scan_counts("-1", "%llu", &ull), 1);
    EXPECT_EQ(ull, ULLONG_MAX) << "a minus wraps";
    EXPECT_EQ(scan_counts("4294967296", "%llu", &ull), 1);
    EXPECT_EQ(ull, 4294967296ULL) << "64 bits in full";
}

TEST(TextFile, ReadsLinesAsFgetsDoes)
{
    const std::string texts[] = {
        "one\ntwo\n", "no newline at the end", "\n\n\n", std::string("nul\0inside\nnext\n", 16),
        std::string(300, 'x') + "\nshort\n", std::string(511, 'y') + "\n" + std::string(513, 'z'), "",
    };
    char path[] = "/tmp/tavrin-text-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const std::string& text : texts) {
        for (size_t size : {2, 8, 256, 16384}) {
            SCOPED_TRACE("a text of " + std::to_string(text.size()) + " bytes, lines of " + std::to_string(size));
            const std::vector<std::string> want = fgets_lines(text, size);
            text_file memory(text.data(), text.size());
            EXPECT_EQ(read_lines(memory, size), want);
            FILE* f = std::fopen(path, "w");
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
            text_file file(path);
            ASSERT_TRUE(file.is_open());
            EXPECT_EQ(read_lines(file, size), want);
            ASSERT_TRUE(file.rewind());
            EXPECT_EQ(read_lines(file, size), want) << "from the first line again";
        }
    }
    unlink(path);
    EXPECT_FALSE(text_file("/nonexistent/file").is_open());
}
