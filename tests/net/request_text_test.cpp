// The pure text operations of the request layer: percent-encoding, query and body text, log
// layout and UTF-8 checks.
#include <gtest/gtest.h>

#include "net/json_text.h"
#include "net/mv_net_request.h"
#include "net/url_encoding.h"

namespace mvsdk {
namespace {

using nlohmann::json;

TEST(UrlEncoding, EncodesOutsideTheQuerySet) {
  EXPECT_EQ(net::urlEncoded("http://h:8/a/b?x=1&y=a+b;c@d!$'()*,~_.-"),
            "http://h:8/a/b?x=1&y=a+b;c@d!$'()*,~_.-");
  EXPECT_EQ(net::urlEncoded("a b%c#d\"<>[]{}|\\^`"), "a%20b%25c%23d%22%3C%3E%5B%5D%7B%7D%7C%5C%5E%60");
  EXPECT_EQ(net::urlEncoded("\r\n\t"), "%0D%0A%09");
  EXPECT_EQ(net::urlEncoded("声"), "%E5%A3%B0");
  // Not idempotent: "%" is encoded again.
  EXPECT_EQ(net::urlEncoded("%20"), "%2520");
}

TEST(UrlEncoding, DecodingRejectsBadEscapesAndBadUtf8) {
  EXPECT_EQ(net::urlDecoded("a%20b%E5%a3%B0"), "a b声");
  EXPECT_EQ(net::urlDecoded(net::urlEncoded("x y/?#%")), "x y/?#%");
  EXPECT_EQ(net::urlDecoded("%"), "");
  EXPECT_EQ(net::urlDecoded("ab%2"), "");
  EXPECT_EQ(net::urlDecoded("%zz"), "");
  EXPECT_EQ(net::urlDecoded("%FF"), "");
}

TEST(UrlEncoding, RequestableUrls) {
  EXPECT_TRUE(net::is_requestable_url("http://127.0.0.1:80/api"));
  EXPECT_TRUE(net::is_requestable_url("HTTPS://service.invalid"));
  EXPECT_FALSE(net::is_requestable_url("/api/sdkra/login"));
  EXPECT_FALSE(net::is_requestable_url("ftp://h/x"));
  EXPECT_FALSE(net::is_requestable_url("http:///path"));
  EXPECT_FALSE(net::is_requestable_url("http://:80/path"));
  EXPECT_FALSE(net::is_requestable_url("http://h/a b"));
}

TEST(Utf8, Validation) {
  EXPECT_TRUE(net::is_valid_utf8(""));
  EXPECT_TRUE(net::is_valid_utf8("plain 声 😀"));
  EXPECT_FALSE(net::is_valid_utf8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(net::is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(net::is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(net::is_valid_utf8("\xE5\xA3"));          // cut short
}

TEST(RequestText, QueryAndBody) {
  EXPECT_EQ(MVNetRequest::getParameters(nullptr), std::nullopt);
  EXPECT_EQ(MVNetRequest::getParameters(json::object()), std::nullopt);
  EXPECT_EQ(MVNetRequest::getParameters({{"a", "x y"}, {"b", 5}, {"c", true}}), "a=x y&b=5&c=1");
  EXPECT_EQ(MVNetRequest::getBodyParameters(nullptr), std::nullopt);
  EXPECT_EQ(MVNetRequest::getBodyParameters(json::object()), std::nullopt);
  EXPECT_EQ(MVNetRequest::getBodyParameters({{"k", {1, 2}}, {"s", "v"}}), R"({"k":[1,2],"s":"v"})");
  // A string that is not UTF-8 cannot be serialised: no body rather than an exception.
  EXPECT_EQ(MVNetRequest::getBodyParameters({{"k", "\xff"}}), std::nullopt);
}

TEST(RequestText, LogLayout) {
  EXPECT_EQ(MVNetRequest::formatHeaders({}), "     (empty)");
  EXPECT_EQ(MVNetRequest::formatHeaders({{"A", "1"}, {"B", "2"}}), R"(     ["A": "1", "B": "2"])");
  EXPECT_EQ(MVNetRequest::formatJSONString(std::nullopt), "     (empty)");
  EXPECT_EQ(MVNetRequest::formatJSONString(""), "     (empty)");
  EXPECT_EQ(MVNetRequest::formatJSONString("not json"), "     not json");
  EXPECT_EQ(MVNetRequest::formatJSONString(R"({"a":[1]})"), "     {\n       \"a\": [\n         1\n       ]\n     }");
  EXPECT_EQ(MVNetRequest::formatJSONObject(nullptr), "     (empty)");
  EXPECT_EQ(MVNetRequest::formatJSONObject(json{{"k", "\xff"}}).substr(0, 5), "     ");
}

}  // namespace
}  // namespace mvsdk
