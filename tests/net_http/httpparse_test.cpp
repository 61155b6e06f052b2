// The text rules of the HTTP client that need no connection.
#include "net/http/httpparse.h"

#include <gtest/gtest.h>

namespace {

struct SplitCase {
    const char* url;
    const char* prev;
    TUrlParts want;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << '"' << c.url << '"';
}

class SplitUrlTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitUrlTest, SplitsIntoItsParts) {
    const SplitCase& c = GetParam();
    TUrlParts got = SplitUrl(c.url, c.prev);
    EXPECT_EQ(got.Proto, c.want.Proto) << c.url;
    EXPECT_EQ(got.User, c.want.User) << c.url;
    EXPECT_EQ(got.Pass, c.want.Pass) << c.url;
    EXPECT_EQ(got.Host, c.want.Host) << c.url;
    EXPECT_EQ(got.Port, c.want.Port) << c.url;
    EXPECT_EQ(got.Path, c.want.Path) << c.url;
}

INSTANTIATE_TEST_SUITE_P(
    SplitUrl, SplitUrlTest,
    ::testing::Values(
        SplitCase{"", "", {}}, SplitCase{"http://h/p", "", {"http", "", "", "h", "", "/p"}},
        SplitCase{"HTTP://h:8080/p", "", {"http", "", "", "h", "8080", "/p"}},
        SplitCase{"http://h", "", {"http", "", "", "h", "", ""}},
        SplitCase{"http://h/a?b=1", "", {"http", "", "", "h", "", "/a?b=1"}},
        SplitCase{"http://h?b=1", "", {"http", "", "", "h", "", "?b=1"}},
        SplitCase{"http://u:pw@h/p", "", {"http", "u", "pw", "h", "", "/p"}},
        SplitCase{"http://u@h:81/p", "", {"http", "u", "", "h", "81", "/p"}},
        // A ":" inside the user information is not a port.
        SplitCase{"http://u:pw@h/", "", {"http", "u", "pw", "h", "", "/"}},
        SplitCase{"https://secure.example/x", "", {"https", "", "", "secure.example", "", "/x"}},
        // Not a scheme: a blank before "://".
        SplitCase{"a b://h/p", "", {"http", "", "", "a b", "", "//h/p"}},
        SplitCase{"/only/path", "", {"http", "", "", "", "", "/only/path"}},
        SplitCase{"//h:82/p", "", {"http", "", "", "h", "82", "/p"}},
        SplitCase{"http:/x", "", {"http", "", "", "", "", "/x"}},
        SplitCase{"mailto:a@b", "", {"mailto", "a", "", "b", "", ""}},
        SplitCase{"h:8080/p", "", {"", "", "", "h", "8080", "/p"}},
        SplitCase{"./b.htm", "/dir/a.htm", {"", "", "", "", "", "/dir/b.htm"}},
        SplitCase{"./b.htm", "noslash", {"", "", "", "", "", "/b.htm"}},
        SplitCase{"../b.htm", "/x/dir/a.htm", {"", "", "", "", "", "/x/b.htm"}},
        SplitCase{"../../b.htm", "/x/dir/a.htm", {"", "", "", "", "", "/b.htm"}}));

TEST(DocumentName, TakesTheLastSegment) {
    EXPECT_EQ(ExtractDocumentName("/newentry.aspx"), "newentry.aspx");
    EXPECT_EQ(ExtractDocumentName("/a/b/c.txt?x=/y"), "c.txt");
    EXPECT_EQ(ExtractDocumentName(""), "document.htm");
    EXPECT_EQ(ExtractDocumentName("/dir/"), "document.htm");
    EXPECT_EQ(ExtractDocumentName("?q=1"), "document.htm");
    EXPECT_EQ(ExtractDocumentName("/" + std::string(300, 'n')), std::string(255, 'n'));
}

TEST(StatusLine, ReadsVersionCodeAndReason) {
    TStatusLine st;
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 200 OK", st));
    EXPECT_EQ(st.Version, "1.1");
    EXPECT_EQ(st.Code, 200);
    EXPECT_EQ(st.Reason, "OK");
    EXPECT_TRUE(st.CodeValid);
    ASSERT_TRUE(ParseStatusLine("HTTP/1.0 404 Not Found", st));
    EXPECT_EQ(st.Version, "1.0");
    EXPECT_EQ(st.Code, 404);
    EXPECT_EQ(st.Reason, "Not Found");
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 204", st));
    EXPECT_EQ(st.Code, 204);
    EXPECT_EQ(st.Reason, "");
}

TEST(StatusLine, RejectsOtherProtocolsAndBadCodes) {
    TStatusLine st;
    EXPECT_FALSE(ParseStatusLine("http/1.1 200 OK", st));
    EXPECT_FALSE(ParseStatusLine("HTTP/2 200", st));
    EXPECT_FALSE(ParseStatusLine("ICY 200 OK", st));
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 2x0 OK", st));
    EXPECT_FALSE(st.CodeValid);
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 20", st));
    EXPECT_FALSE(st.CodeValid);
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 OK", st));
    EXPECT_FALSE(st.CodeValid);
}

TEST(ContentLength, ParsesOnlyPlainNumbers) {
    EXPECT_EQ(ParseContentLength(" 42 "), 42);
    EXPECT_EQ(ParseContentLength("0"), 0);
    EXPECT_EQ(ParseContentLength("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseContentLength("9223372036854775808"), -1);
    EXPECT_EQ(ParseContentLength("-5"), -1);
    EXPECT_EQ(ParseContentLength("12abc"), -1);
    EXPECT_EQ(ParseContentLength(""), -1);
}

TEST(HeaderField, LowerCasesTheNameAndSkipsBlanks) {
    std::string name, value;
    ASSERT_TRUE(SplitHeaderField("Content-Type:   Text/HTML", name, value));
    EXPECT_EQ(name, "content-type");
    EXPECT_EQ(value, "Text/HTML");
    ASSERT_TRUE(SplitHeaderField("Content-Length :5", name, value));
    EXPECT_EQ(name, "content-length "); // the name is not trimmed
    EXPECT_FALSE(SplitHeaderField("no colon here", name, value));
}

TEST(HttpDate, WritesEnglishNamesUnconverted) {
    // 1 January 2024 was a Monday.
    EXPECT_EQ(HttpDateText(EncodeDate(2024, 1, 1) + EncodeTime(7, 5, 9, 0)),
              "Mon, 01 Jan 2024 07:05:09");
    EXPECT_EQ(HttpDateText(EncodeDate(2026, 12, 8)), "Tue, 08 Dec 2026 00:00:00");
}

} // namespace
