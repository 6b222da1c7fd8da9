#include "common/ConfReader.h"
#include "common/ConfSearcher.h"
#include "common/DOMNode.h"
#include "common/Exception.h"
#include "common/Tokenizer.h"
#include "common/WhitespaceSearcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Telvar;

namespace {

// "text|" for significant tokens, "~text|" for the others.
std::string tokens(const std::string& text)
{
    ConfSearcher searcher;
    Tokenizer tokenizer(text, &searcher);
    Token token;
    std::string out;
    while (tokenizer.nextToken(token))
        out += (token.significant ? "" : "~") + token.text + "|";
    return out;
}

void dumpInto(const DOMNode* node, const std::string& prefix, std::string& out)
{
    for (; node != nullptr; node = node->nextSibling()) {
        std::string path = prefix.empty() ? node->getName() : prefix + "." + node->getName();
        out += path + " (" + node->getType() + ") = [" + node->getValue() + "]\n";
        dumpInto(node->firstChild(), path, out);
    }
}

std::string dump(const std::shared_ptr<const DOMNode>& root)
{
    std::string out;
    if (root != nullptr)
        dumpInto(root->firstChild(), "", out);
    return out;
}

struct Parsed {
    std::string tree;
    ConfReader::LoadStatus status;
    std::vector<std::string> debug;
};

Parsed parse(const std::string& text)
{
    Parsed p;
    ConfReader::LogSink sink;
    sink.debug = [&p](int32_t level, const std::string& t) {
        if (level == 1)
            p.debug.push_back(t);
    };
    ConfReader reader(sink);
    reader.readText(text, "test.conf");
    p.tree = dump(reader.root());
    p.status = reader.lastLoad();
    return p;
}

} // namespace

TEST(ConfSearcherTest, CutsWordsDelimitersQuotesAndWhiteSpace)
{
    EXPECT_EQ("name|(|String|)|=|\"a b\"|{|}|\n|", tokens("name(String)=\"a b\"{}\n"));
    EXPECT_EQ("a|~  |(|)|~\t|=|~ |'x'|", tokens("a  ()\t= 'x'"));
    // Runs of one white-space byte form one token; a different byte starts another.
    EXPECT_EQ("a|~  |~\t\t|b|", tokens("a  \t\tb"));
    // Every delimiter is a token of its own, also when several follow.
    EXPECT_EQ("(|)|{|}|", tokens("(){}"));
    EXPECT_EQ("x|=|=|y|", tokens("x==y"));
}

TEST(ConfSearcherTest, QuotedStringsKeepEscapesAndRunToTheEndWhenOpen)
{
    EXPECT_EQ("\"a\\\"b\"|c|", tokens("\"a\\\"b\"c"));
    EXPECT_EQ("\"a(b)\"|", tokens("\"a(b)\""));
    EXPECT_EQ("ab|\"cd\"|", tokens("ab\"cd\""));
    EXPECT_EQ("\"open {\n}|", tokens("\"open {\n}"));
    EXPECT_EQ("'it\"s'|", tokens("'it\"s'"));
}

TEST(ConfSearcherTest, CommentsAreSignificantTokens)
{
    EXPECT_EQ("// note|~\r|\n|x|", tokens("// note\r\nx"));
    EXPECT_EQ("/* a\n b */|x|", tokens("/* a\n b */x"));
    EXPECT_EQ("/* open|", tokens("/* open"));
    EXPECT_EQ("# hash ( ) |\n|", tokens("# hash ( ) \n"));
    // Only at the start of a token.
    EXPECT_EQ("ab#c|", tokens("ab#c"));
    EXPECT_EQ("a|//b|", tokens("a//b"));
    EXPECT_EQ("a/b|", tokens("a/b"));
    EXPECT_EQ("/|", tokens("/"));
}

TEST(ConfSearcherTest, HighBytesAreWhiteSpace)
{
    EXPECT_EQ("ab|~\xE9|cd|", tokens("ab\xE9" "cd"));
}

TEST(ConfSearcherTest, RangeAndSeparatorSkipping)
{
    ConfSearcher s;
    bool significant = false;
    EXPECT_EQ(3u, s.findTokenEnd("abcdef", significant, 0, 3));
    EXPECT_EQ(StringSearcher::NO_POSITION, s.findTokenEnd("abc", significant, 3));
    EXPECT_EQ(StringSearcher::NO_POSITION, s.findTokenEnd("", significant, 0));
    size_t length = 99;
    EXPECT_EQ(3u, s.skipSeparators(" \t \nx", length, 0));
    EXPECT_EQ(3u, length);
    EXPECT_EQ(StringSearcher::NO_POSITION, s.skipSeparators("a  ", length, 1));
    EXPECT_EQ(2u, length);
    // The range ends before the text does: its end is a position.
    EXPECT_EQ(2u, s.skipSeparators("a  b", length, 1, 1));
}

TEST(WhitespaceSearcherTest, SplitFirstTokenTakesWordsAndSeparatorRuns)
{
    WhitespaceSearcher searcher;
    std::string s = "8-16  exclude # x";
    EXPECT_EQ("8-16", splitFirstToken(s, searcher));
    EXPECT_EQ("  ", splitFirstToken(s, searcher));
    EXPECT_EQ("exclude", splitFirstToken(s, searcher));
    EXPECT_EQ(" # x", s);

    s = "\"a b\"c d";
    EXPECT_EQ("\"a b\"c", splitFirstToken(s, searcher));
    EXPECT_EQ(" d", s);

    s = "\xE9\n\tword";
    EXPECT_EQ("\xE9\n\t", splitFirstToken(s, searcher));
    EXPECT_EQ("word", splitFirstToken(s, searcher));
    EXPECT_EQ("", s);
    EXPECT_EQ("", splitFirstToken(s, searcher));
}

TEST(DOMNodeTest, ChildrenKeepOrderAndValuesAreUnescaped)
{
    DOMNode root("Root");
    root.addChild(new DOMNode("a"));
    root.addChild(new DOMNode("b"));
    root.firstChild()->nextSibling()->addSibling(new DOMNode("c"));
    root.addChild(new DOMNode("d"));
    std::string names;
    for (DOMNode* n = root.firstChild(); n != nullptr; n = n->nextSibling())
        names += n->getName();
    EXPECT_EQ("abcd", names);

    DOMNode v("v");
    v.setValue("C:\\\\temp");
    EXPECT_EQ("C:\\temp", v.getValue());
    v.setValue("C:\\temp");
    EXPECT_EQ("C:\\emp", v.getValue());
    v.setValue("end\\");
    EXPECT_EQ("end\\", v.getValue());
}

TEST(DOMNodeTest, LongChainsAndDeepTreesAreDestroyedWithoutRecursion)
{
    DOMNode* root = new DOMNode("Root");
    DOMNode* deep = root;
    for (int i = 0; i < 200000; ++i) {
        root->addChild(new DOMNode("s"));
        DOMNode* child = new DOMNode("d");
        deep->addChild(child);
        deep = child;
    }
    delete root; // must neither overflow the stack nor leak (checked under ASan)
}

TEST(ConfParserTest, ExampleFileBuildsTheTree)
{
    Parsed p = parse("ravlon() = \"\" {\n"
                     "  interval(TimeSpan) = P1H {}\n"
                     "  data-collection(TimeSpan) = P5M {}\n"
                     "  working-dir(DirName) = \"${Telvar.directories.temp}\" {}\n"
                     "  collect() = \"\" {\n"
                     "    base() = \"\" { active(Bool) = true {} }\n"
                     "  }\n"
                     "}\n");
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, p.status.kind);
    EXPECT_EQ("ravlon () = []\n"
              "ravlon.interval (TimeSpan) = [P1H]\n"
              "ravlon.data-collection (TimeSpan) = [P5M]\n"
              "ravlon.working-dir (DirName) = [${Telvar.directories.temp}]\n"
              "ravlon.collect () = []\n"
              "ravlon.collect.base () = []\n"
              "ravlon.collect.base.active (Bool) = [true]\n",
              p.tree);
}

TEST(ConfParserTest, QuotingAndUnescaping)
{
    Parsed p = parse("\"quoted name\"(String)=\"two words\"{}\n"
                     "b(String)='single'{}\n"
                     "c(DirName)=\"C:\\\\temp\"{}\n"
                     "d(DirName)=\"C:\\temp\"{}\n"
                     "e(String)=\"\xE9t\xE9\"{}\n"
                     "f(String)=caf\xE9{}\n");
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, p.status.kind);
    // Unquoted, the high byte ends the word and is dropped as white space.
    EXPECT_EQ("\"quoted name\" (String) = [two words]\n"
              "b (String) = [single]\n"
              "c (DirName) = [C:\\temp]\n"
              "d (DirName) = [C:\\emp]\n"
              "e (String) = [\xE9t\xE9]\n"
              "f (String) = [caf]\n",
              p.tree);
}

TEST(ConfParserTest, WhiteSpaceOnlyAndOpenBlocksAtTheEnd)
{
    Parsed empty = parse(" \n\t\r\n  \n");
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, empty.status.kind);
    EXPECT_EQ("", empty.tree);

    Parsed open = parse("top() = \"\" {\n inner() = \"\" {\n  leaf(Integer) = 3 {}");
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, open.status.kind);
    EXPECT_EQ("top () = []\ntop.inner () = []\ntop.inner.leaf (Integer) = [3]\n", open.tree);

    // A header cut short by the end of the text is dropped.
    Parsed cut = parse("a(String)=x{}\nb(String)=y");
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, cut.status.kind);
    EXPECT_EQ("a (String) = [x]\n", cut.tree);
}

TEST(ConfParserTest, TopLevelCloseEndsTheParse)
{
    Parsed p = parse("a(String)=x{}\n}\nb(String)=y{}\n");
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, p.status.kind);
    EXPECT_EQ("a (String) = [x]\n", p.tree);
}

TEST(ConfParserTest, SyntaxErrorsGiveTextLineAndPartialTree)
{
    struct Case {
        const char* text;
        const char* error;
        int line;
        const char* tree;
    } cases[] = {
        {"a(String)=x{}\nb String)=y{}\n", "ConfReader: Missing '('.", 2, "a (String) = [x]\n"},
        {"a(String x)=y{}", "ConfReader: Missing ')'.", 1, ""},
        {"a(String)\n\n{}", "ConfReader: Missing '='.", 3, ""},
        {"a(String)=two words{}", "ConfReader: Missing '{'.", 1, ""},
        // "=" directly followed by "{": the brace is the value.
        {"a()={\n b(String)=x{}\n}", "ConfReader: Missing '{'.", 2, ""},
        {"# comment\na(String)=x{}", "ConfReader: Missing '('.", 2, ""},
        // The entry being read is lost with its children; closed ones stay.
        {"k(String)=v{}\nc()=\"\"{\n x(String)=1{}\n y(String)=2 z\n}",
         "ConfReader: Missing '{'.", 4, "k (String) = [v]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Parsed p = parse(c.text);
        EXPECT_EQ(ConfReader::LoadStatus::LOAD_SYNTAX, p.status.kind);
        EXPECT_EQ(c.error, p.status.errorText);
        EXPECT_EQ(c.line, p.status.line);
        EXPECT_EQ(c.tree, p.tree);
        ASSERT_EQ(4u, p.debug.size());
        EXPECT_EQ("ConfReader: Created.", p.debug[0]);
        EXPECT_EQ(c.error, p.debug[1]);
        EXPECT_EQ("ConfReader: Destroyed.", p.debug[3]);
        const std::string& full = p.debug[2];
        std::string tail = ", line " + std::to_string(c.line) + ".";
        EXPECT_EQ(0u, full.rfind("ConfReader: Configuration: ", 0)) << full;
        ASSERT_GE(full.size(), tail.size());
        EXPECT_EQ(tail, full.substr(full.size() - tail.size())) << full;
    }
}

TEST(ConfParserTest, ParseBlockThrowsConfigException)
{
    ConfReader reader;
    std::string text = "a(String)=x{}\nb}";
    ConfSearcher searcher;
    Tokenizer tokenizer(text, &searcher);
    DOMNode root("Root");
    try {
        reader.parseBlock(tokenizer, root);
        FAIL() << "no exception";
    } catch (const ConfigException& e) {
        EXPECT_EQ(ConfigException::CF_CONF, e.code());
        EXPECT_EQ("", e.message());
        ASSERT_EQ(1u, e.trace().size());
        EXPECT_EQ("ConfReader", e.trace()[0].module);
    }
    EXPECT_EQ(text.size(), tokenizer.position());
    EXPECT_EQ(text.size() - 1, tokenizer.previousPosition());
    ASSERT_NE(nullptr, root.firstChild());
    EXPECT_EQ("a", root.firstChild()->getName());
}

TEST(ConfParserTest, NestingIsBounded)
{
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "n()=\"\"{";
    Parsed p = parse(text);
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_SYNTAX, p.status.kind);
    EXPECT_EQ("ConfReader: Blocks nested too deeply.", p.status.errorText);

    std::string ok;
    for (int i = 0; i < ConfReader::MAX_NESTING; ++i)
        ok += "n()=\"\"{";
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, parse(ok).status.kind);
}
