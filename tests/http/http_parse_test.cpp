// Table tests of the pure pieces: URL splitting, locations, the request
// header, reply lines and chunked decoding.
#include "http/HttpParse.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace http;

TEST(HttpParse, ParseURLForms)
{
    struct Case {
        const char* url;
        TUrlParts want;
    };
    const Case cases[] = {
        {"http://host/a/b.txt", {"http", "", "", "host", "", "/a/b.txt"}},
        {"HTTP://host:8080", {"http", "", "", "host", "8080", ""}},
        {"host:81/x?y=1", {"", "", "", "host", "81", "/x?y=1"}},
        {"http://u:p@h/p", {"http", "u", "p", "h", "", "/p"}},
        {"http://u@h", {"http", "u", "", "h", "", ""}},
        {"http://u:p:q@me@h:9/", {"http", "u", "p:q@me", "h", "9", "/"}},
        {"http://h?q", {"http", "", "", "h", "", "/?q"}},
        {"https://h/x@y", {"https", "", "", "h", "", "/x@y"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        TUrlParts p = ParseURL(c.url);
        EXPECT_EQ(p.Proto, c.want.Proto);
        EXPECT_EQ(p.User, c.want.User);
        EXPECT_EQ(p.Pass, c.want.Pass);
        EXPECT_EQ(p.Host, c.want.Host);
        EXPECT_EQ(p.Port, c.want.Port);
        EXPECT_EQ(p.Path, c.want.Path);
    }
}

TEST(HttpParse, ResolveLocationAndDocumentName)
{
    EXPECT_EQ(ResolveLocation("http://h:81/a/b?x=/y", "c.txt"), "http://h:81/a/c.txt");
    EXPECT_EQ(ResolveLocation("http://h:81/a/b", "/z"), "http://h:81/z");
    EXPECT_EQ(ResolveLocation("http://h/a", "HTTP://other/q"), "HTTP://other/q");
    EXPECT_EQ(ResolveLocation("h", "x"), "http://h/x");
    EXPECT_EQ(ResolveLocation("http://u:p@h/a/b", "c"), "http://u:p@h/a/c");

    EXPECT_EQ(DocumentNameOf(""), "document.htm");
    EXPECT_EQ(DocumentNameOf("/dir/"), "document.htm");
    EXPECT_EQ(DocumentNameOf("/dir/file.zip?a=/b"), "file.zip");
    EXPECT_EQ(DocumentNameOf("/" + std::string(300, 'n')).size(), 255u);
}

TEST(HttpParse, Base64AndDates)
{
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(Base64Encode("\xff\xfe"), "//4=");

    EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1), 2.0);
    EXPECT_EQ(FormatHttpDate(EncodeDateTime(1994, 11, 6, 8, 49, 37)), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(FormatHttpDate(EncodeDateTime(2026, 12, 8, 23, 59, 59)), "Tue, 08 Dec 2026 23:59:59 GMT");
    EXPECT_EQ(FormatHttpDate(EncodeDateTime(2000, 2, 29)), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(FormatHttpDate(EncodeDateTime(1899, 12, 25)), "Mon, 25 Dec 1899 00:00:00 GMT");
}

TEST(HttpParse, RequestHeaderOrderAndFormats)
{
    TRequestHeaderFields f;
    f.Method = "POST";
    f.Path = "/form";
    f.Version = "1.1";
    f.Sender = "me@here";
    f.Accept = "*/*";
    f.Reference = "http://ref/";
    f.Connection = "Keep-Alive";
    f.ProxyConnection = "Keep-Alive";
    f.AcceptLanguage = "tr";
    f.ContentType = "application/x-www-form-urlencoded";
    f.Agent = "Agent/1";
    f.Host = "example.test";
    f.Port = "8080";
    f.NoCache = true;
    f.ContentLength = 12;
    f.ModifiedSince = EncodeDateTime(1994, 11, 6, 8, 49, 37);
    f.Authorization = "Authorization: Basic dTpw";
    f.Cookie = "a=b";
    f.RangeBegin = "1000";
    const std::vector<std::string> want = {
        "POST /form HTTP/1.1", "From: me@here", "Accept: */*", "Referer: http://ref/",
        "Connection: Keep-Alive", "Proxy-Connection: Keep-Alive", "Accept-Language: tr",
        "Content-Type: application/x-www-form-urlencoded", "User-Agent: Agent/1",
        "Host: example.test:8080", "Pragma: no-cache", "Content-Length: 12",
        "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT", "Authorization: Basic dTpw",
        "Cookie: a=b", "Range: bytes=1000-"};
    EXPECT_EQ(BuildRequestHeaderLines(f), want);

    // GET: no body headers, port 80 not written, empty fields left out.
    TRequestHeaderFields g;
    g.Method = "GET";
    g.Path = "/";
    g.Version = "1.0";
    g.Host = "h";
    g.Port = "80";
    g.ContentType = "text/plain";
    g.ContentLength = 5;
    g.RangeEnd = "99";
    const std::vector<std::string> want2 = {"GET / HTTP/1.0", "Host: h", "Range: bytes=-99"};
    EXPECT_EQ(BuildRequestHeaderLines(g), want2);
}

TEST(HttpParse, StatusAndHeaderLines)
{
    TStatusLine s;
    ASSERT_TRUE(ParseStatusLine("HTTP/1.1 206 Partial Content", s));
    EXPECT_EQ(s.Version, "1.1");
    EXPECT_EQ(s.Status, 206);
    EXPECT_EQ(s.Text, "Partial Content");
    ASSERT_TRUE(ParseStatusLine("HTTP/1.0 404", s));
    EXPECT_EQ(s.Status, 404);
    EXPECT_EQ(s.Text, "");
    ASSERT_TRUE(ParseStatusLine("HTTP/1.0 2x0 Bad", s));
    EXPECT_EQ(s.Status, -1);
    ASSERT_TRUE(ParseStatusLine("HTTP/1.0", s));
    EXPECT_EQ(s.Status, -1);
    EXPECT_FALSE(ParseStatusLine("HTTP/2 200 OK", s));
    EXPECT_FALSE(ParseStatusLine("ICY 200 OK", s));

    std::string name, value;
    ASSERT_TRUE(SplitHeaderLine("Content-TYPE: \t Text/HTML", name, value));
    EXPECT_EQ(name, "content-type");
    EXPECT_EQ(value, "Text/HTML");
    ASSERT_TRUE(SplitHeaderLine("X:", name, value));
    EXPECT_EQ(value, "");
    EXPECT_FALSE(SplitHeaderLine("no colon here", name, value));

    EXPECT_EQ(ParseContentLength(" 1234 "), 1234);
    EXPECT_EQ(ParseContentLength("0"), 0);
    EXPECT_FALSE(ParseContentLength("-5"));
    EXPECT_FALSE(ParseContentLength("12abc"));
    EXPECT_FALSE(ParseContentLength(""));
    EXPECT_FALSE(ParseContentLength("99999999999999999999"));

    std::string b, e;
    ASSERT_TRUE(ParseContentRange("bytes 1000-1999/5000", b, e));
    EXPECT_EQ(b, "1000");
    EXPECT_EQ(e, "1999");
    ASSERT_TRUE(ParseContentRange("bytes 7-", b, e));
    EXPECT_EQ(e, "");
    EXPECT_FALSE(ParseContentRange("bytes */5000", b, e));
}

namespace {

// Feeds the input in pieces of the given size; returns the decoded body or
// "ERROR" / "INCOMPLETE", and how many bytes were left after the end.
std::string Decode(const std::string& in, std::size_t piece, std::size_t* left = nullptr)
{
    TChunkDecoder d;
    std::string out;
    for (std::size_t pos = 0; pos < in.size();) {
        std::size_t n = std::min(piece, in.size() - pos);
        const char* p = in.data() + pos;
        while (n > 0) {
            std::size_t used = 0;
            const char* seg = nullptr;
            std::size_t segLen = 0;
            auto r = d.Next(p, n, used, seg, segLen);
            p += used;
            n -= used;
            pos += used;
            if (r == TChunkDecoder::chData)
                out.append(seg, segLen);
            else if (r == TChunkDecoder::chError)
                return "ERROR";
            else if (r == TChunkDecoder::chDone) {
                if (left)
                    *left = in.size() - pos;
                return out;
            }
        }
    }
    return "INCOMPLETE";
}

} // namespace

TEST(HttpParse, ChunkedBodiesInAnySplit)
{
    const std::string body = "5\r\nhello\r\n1A;ext=1\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-Trailer: 1\r\n\r\nNEXT";
    for (std::size_t piece : {1u, 2u, 3u, 7u, 1000u}) {
        SCOPED_TRACE(piece);
        std::size_t left = 0;
        EXPECT_EQ(Decode(body, piece, &left), "helloabcdefghijklmnopqrstuvwxyz");
        EXPECT_EQ(left, 4u); // what follows the trailer belongs to the next reply
    }
    EXPECT_EQ(Decode("0\n\n", 1), "");
    EXPECT_EQ(Decode("3\nabc\n0\r\n", 100), "INCOMPLETE");
    EXPECT_EQ(Decode("zz\r\n", 100), "ERROR");
    EXPECT_EQ(Decode("\r\n", 100), "ERROR");
    EXPECT_EQ(Decode("ffffffffffffffffff\r\n", 100), "ERROR");
    EXPECT_EQ(Decode("7fffffffffffff\r\nab", 100), "INCOMPLETE");
}
