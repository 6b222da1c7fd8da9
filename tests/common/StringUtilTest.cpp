#include "common/StringUtil.h"

#include <gtest/gtest.h>

using namespace Telvar;
using namespace Telvar::StringUtil;

namespace {

std::string sep(const char* withBackslash)
{
    std::string s(withBackslash);
    for (char& c : s)
        if (c == '\\')
            c = Platform::PATH_SEPARATOR;
    return s;
}

std::vector<std::string> splitted(const std::string& s, char c, size_t max, bool skip)
{
    std::vector<std::string> list{"old"};
    splitAll(s, c, list, max, skip);
    list.erase(list.begin());
    return list;
}

} // namespace

TEST(StringTrim, WhiteSpaceIsEveryByteUpTo32AndAbove127)
{
    std::string s = " \t\x01\x80\xff  ";
    EXPECT_EQ(7u, trim(s));
    EXPECT_EQ("", s);

    std::string t = "\x85 ab c\x7f\r\n";
    EXPECT_EQ(2u, trimRight(t));
    EXPECT_EQ("\x85 ab c\x7f", t);
    EXPECT_EQ(2u, trimLeft(t));
    EXPECT_EQ("ab c\x7f", t);
}

TEST(StringCase, FoldsOnlyAsciiLetters)
{
    std::string s = "AbZ@[\xc4]";
    toLower(s);
    EXPECT_EQ("abz@[\xc4]", s);
    EXPECT_EQ("x-y", toLowerCopy("X-Y"));
}

TEST(StringQuotes, StripsMatchingPairOnly)
{
    std::string a = "'abc'", b = "\"abc'", c = "\"", d = "\"\"", e = "x\"y\"";
    stripQuotes(a);
    stripQuotes(b);
    stripQuotes(c);
    stripQuotes(d);
    stripQuotes(e);
    EXPECT_EQ("abc", a);
    EXPECT_EQ("\"abc'", b);
    EXPECT_EQ("", c);
    EXPECT_EQ("", d);
    EXPECT_EQ("x\"y\"", e);
}

TEST(StringSplit, SplitFirst)
{
    std::string s = "a.b.c";
    EXPECT_EQ("a", splitFirst(s, '.'));
    EXPECT_EQ("b.c", s);
    std::string t = "abc";
    EXPECT_EQ("abc", splitFirst(t, '.'));
    EXPECT_EQ("", t);
    std::string u = ".x";
    EXPECT_EQ("", splitFirst(u, '.'));
    EXPECT_EQ("x", u);
}

TEST(StringSplit, SplitAllPiecesMaximumAndEmpties)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"a", "b"}), splitted("a,,b,", ',', NO_POSITION, true));
    EXPECT_EQ((V{"a", "", "b"}), splitted("a,,b,", ',', NO_POSITION, false));
    EXPECT_EQ((V{"a", ",b,"}), splitted("a,,b,", ',', 2, false));
    EXPECT_EQ((V{"a,,b,"}), splitted("a,,b,", ',', 1, false));
    EXPECT_EQ((V{}), splitted("", ',', NO_POSITION, false));
    EXPECT_EQ((V{"", "x"}), splitted(",x", ',', NO_POSITION, false));
    EXPECT_EQ((V{"x"}), splitted(",x", ',', NO_POSITION, true));
    EXPECT_EQ((V{"a", "b", "c d"}), splitted("a b c d", ' ', 3, false));
}

TEST(StringSplit, SplitIntegers)
{
    std::vector<int32_t> list{99};
    splitIntegers(" 12, -3,,x7,+8z, 2147483647", ',', list);
    EXPECT_EQ((std::vector<int32_t>{12, -3, 0, 0, 8, 2147483647}), list);
    splitIntegers("1:2:3:4", ':', list, 2);
    EXPECT_EQ((std::vector<int32_t>{1, 2}), list);
    splitIntegers("", ':', list);
    EXPECT_TRUE(list.empty());
}

// The one leading-digits conversion behind configuration integers, prime-time
// items, counter name numbers and the log rotation counter.
TEST(StringNumbers, LeadingDigitsSkipWhiteTakeASignAndSaturate)
{
    int64_t value = 77;
    EXPECT_FALSE(leadingDigits("", value));
    EXPECT_FALSE(leadingDigits("  -x5", value));
    EXPECT_FALSE(leadingDigits("+", value));
    EXPECT_EQ(77, value);  // untouched without digits
    ASSERT_TRUE(leadingDigits("\t\x85 -042abc", value));
    EXPECT_EQ(-42, value);
    ASSERT_TRUE(leadingDigits("99999999999999999999999", value));
    EXPECT_GT(value, int64_t(1) << 40);
    EXPECT_LT(value, int64_t(1) << 44);  // stopped growing, no overflow

    EXPECT_EQ(0, leadingInt32("none"));
    EXPECT_EQ(2147483647, leadingInt32("2147483648"));
    EXPECT_EQ(-2147483647 - 1, leadingInt32("-99999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, leadingInt32("-2147483648"));
}

TEST(StringMisc, CountIntPrintable)
{
    EXPECT_EQ(3u, countChar('a', "banana", 0, NO_POSITION));
    EXPECT_EQ(1u, countChar('a', "banana", 2, 2));
    EXPECT_EQ(1u, countChar('a', "banana", 4, 100));
    EXPECT_EQ(0u, countChar('a', "banana", 10, 2));
    EXPECT_EQ("-2147483648", intToString(INT32_MIN));
    EXPECT_EQ("0", intToString(0));
    EXPECT_TRUE(isPrintable("a\tb\r\n~\x7f"));
    EXPECT_FALSE(isPrintable("a\x01"));
    EXPECT_FALSE(isPrintable("\x80"));
    EXPECT_TRUE(isPrintable(""));
}

TEST(StringPath, SeparatorsInBothWrittenForms)
{
    std::string a = "C:/data//in\\\\x";
    normaliseSeparators(a, '\\');
    EXPECT_EQ("C:\\data\\in\\x", a);
    std::string b = "\\\\host\\share";
    normaliseSeparators(b, '\\');
    EXPECT_EQ("\\\\host\\share", b);
    std::string c = "//x";
    normaliseSeparators(c, '\\');
    EXPECT_EQ("/\\x", c);
    std::string d = "/var//lib\\telvar/";
    EXPECT_EQ(16u, normaliseSeparators(d, '/'));
    EXPECT_EQ("/var/lib/telvar/", d);

    std::string e = "C:\\dir/", f = "C:\\dir", g;
    appendSeparator(e, '\\');
    appendSeparator(f, '\\');
    appendSeparator(g, '\\');
    EXPECT_EQ("C:\\dir/", e);
    EXPECT_EQ("C:\\dir\\", f);
    EXPECT_EQ("", g);

    // The default is the platform's separator.
    std::string h = "x//y";
    normaliseSeparators(h);
    EXPECT_EQ(sep("x\\y"), h);
    std::string i = "dir";
    appendSeparator(i);
    EXPECT_EQ(sep("dir\\"), i);
}

TEST(StringPath, TrailingSeparatorsAndComponents)
{
    std::string a = "dir/\\/", b = "/", c = "\\\\", d = "x";
    stripTrailingSeparators(a);
    stripTrailingSeparators(b);
    stripTrailingSeparators(c);
    stripTrailingSeparators(d);
    EXPECT_EQ("dir", a);
    EXPECT_EQ("/", b);
    EXPECT_EQ("\\", c);
    EXPECT_EQ("x", d);

    EXPECT_EQ("d\\file", extensionOf("dir.d\\file"));
    EXPECT_EQ("", extensionOf("noext"));
    std::string n = "name.conf", m = "plain", o = "trailing.";
    EXPECT_EQ("conf", removeExtension(n));
    EXPECT_EQ("name", n);
    EXPECT_EQ("", removeExtension(m));
    EXPECT_EQ("plain", m);
    EXPECT_EQ("", removeExtension(o));
    EXPECT_EQ("trailing.", o);

    EXPECT_EQ("C:\\a/", directoryOf("C:\\a/b.txt"));
    EXPECT_EQ("", directoryOf("b.txt"));
    EXPECT_EQ("b.txt", baseNameOf("C:\\a/b.txt"));
    EXPECT_EQ("b.txt", baseNameOf("b.txt"));
    EXPECT_EQ("", baseNameOf("dir/"));

    EXPECT_FALSE(isValidFileName("C:\\temp\\"));
    EXPECT_FALSE(isValidFileName("/tmp/"));
    EXPECT_FALSE(isValidFileName("*.log"));
    EXPECT_FALSE(isValidFileName("a?b"));
    EXPECT_TRUE(isValidFileName(""));
    EXPECT_TRUE(isValidFileName("/tmp/x.log"));
}
