#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {
// The mode a settings file with `text` yields, read from a real file.
uint32_t mode_of(const std::string& text)
{
    char path[] = "/tmp/tavrin-settings-XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    text_file file(path);
    const uint32_t mode = settings_get_uint(&file, "MOD_TAVRIN_MODE");
    unlink(path);
    return mode;
}
}  // namespace

TEST(Settings, AcceptedSpellingsOfTheValue)
{
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=3\n"), 3u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=\"3\"\n"), 3u);
    EXPECT_EQ(mode_of("mod_tavrin_mode=3\n"), 3u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=12abc\n"), 12u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE= 7\n"), 7u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=\"4\" # note\n"), 4u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=5"), 5u) << "no newline at the end of the file";
}

TEST(Settings, ValuesThatGiveNoMode)
{
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=\n"), 0u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=\"\"\n"), 0u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=\"3\n"), 0u) << "a lone quote is taken as the closing one";
    EXPECT_EQ(mode_of("OTHER=1\n"), 0u);
    EXPECT_EQ(mode_of(""), 0u);
    EXPECT_EQ(settings_get_uint(nullptr, "MOD_TAVRIN_MODE"), 0u);
}

TEST(Settings, NumbersReadLikeUnsignedOn32Bits)
{
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=+6\n"), 6u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=\t 007\n"), 7u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=-1\n"), 4294967295u) << "a minus sign wraps";
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=-4294967295\n"), 1u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=4294967295\n"), 4294967295u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=4294967299\n"), 4294967295u) << "beyond 32 bits is no mode, not mode 3";
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=-4294967299\n"), 4294967295u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=" + std::string(5000, '9') + "\n"), 4294967295u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=-\n"), 0u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=- 3\n"), 0u);
}

TEST(Settings, KeyMatchesOnlyExactly)
{
    EXPECT_EQ(mode_of(" MOD_TAVRIN_MODE=3\n"), 0u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE =3\n"), 0u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE_X=3\n"), 0u);
    EXPECT_EQ(mode_of("X_MOD_TAVRIN_MODE=3\nMOD_TAVRIN_MODE=8\n"), 8u);
    EXPECT_EQ(mode_of("# MOD_TAVRIN_MODE is the LED mode\nMOD_TAVRIN_MODE=9\n"), 9u)
        << "a line without '=' is skipped";
}

TEST(Settings, FirstMatchingLineWins)
{
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=2\nMOD_TAVRIN_MODE=6\n"), 2u);
    EXPECT_EQ(mode_of("MOD_TAVRIN_MODE=x\nMOD_TAVRIN_MODE=6\n"), 0u)
        << "a first matching line without a number ends the search";
}

TEST(Settings, CrLfReadsLikeLf)
{
    EXPECT_EQ(mode_of("A=1\r\nMOD_TAVRIN_MODE=11\r\nB=2\r\n"), 11u);
    const std::string text = "NAME=router one\r\nQUOTED=\"x\"\r\n";
    text_file f(text.data(), text.size());
    EXPECT_STREQ(settings_find(f, "NAME"), "router one");
    EXPECT_STREQ(settings_find(f, "QUOTED"), "x");
}

TEST(Settings, EveryLookupStartsAtTheFirstLine)
{
    const std::string text = "A=1\nMOD_TAVRIN_MODE=4\nB=2\n";
    text_file f(text.data(), text.size());
    EXPECT_EQ(settings_get_uint(&f, "MOD_TAVRIN_MODE"), 4u);
    EXPECT_EQ(settings_get_uint(&f, "A"), 1u);
    EXPECT_EQ(settings_get_uint(&f, "MOD_TAVRIN_MODE"), 4u);
}

TEST(Settings, LinesLongerThanTheBuffer)
{
    // A long comment line before the key does not hide it.
    EXPECT_EQ(mode_of(std::string(20000, 'x') + "\nMOD_TAVRIN_MODE=5\n"), 5u);
    // What lies past 16383 characters of a line is read as a line of its own.
    EXPECT_EQ(mode_of(std::string(16383, 'x') + "MOD_TAVRIN_MODE=9\n"), 9u);
    EXPECT_EQ(mode_of(std::string(16382, 'x') + "MOD_TAVRIN_MODE=9\n"), 0u);
}

TEST(Settings, FindReturnsTheValueText)
{
    const std::string text = "NAME=\"router one\" trailing\nEMPTY=\n";
    text_file f(text.data(), text.size());
    const char* value = settings_find(f, "name");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "router one");
    EXPECT_STREQ(settings_find(f, "EMPTY"), "") << "the search goes on from the current position";
    EXPECT_EQ(settings_find(f, "NAME"), nullptr) << "end of file";
}
