#include "platform/http/redact.hpp"

#include <gtest/gtest.h>

namespace dm::http {
namespace {

TEST(Redact, UrlsAndHeaders) {
    const std::pair<const char*, const char*> urls[] = {
        {"https://arm/subscriptions/s?api-version=2024-05-01&$skiptoken=a",
         "https://arm/subscriptions/s?api-version=2024-05-01&$skiptoken=a"},
        {"https://b.s3/k?X-Amz-Algorithm=AWS4-HMAC-SHA256&X-Amz-Signature=f00",
         "https://b.s3/k?<redacted>"},
        {"https://blob/c/b?sv=2020-08-04&sig=abc%3D", "https://blob/c/b?<redacted>"},
        {"https://ctl/v1/api?action=list_accounts&CID=abc", "https://ctl/v1/api?<redacted>"},
        {"https://h/p?ClientSecret=1", "https://h/p?<redacted>"},
        {"https://user:pw@host:8443/p#frag", "https://host:8443/p"},
        {"https://host/p?a=1#sig=2", "https://host/p?a=1"},
    };
    for (const auto& [url, expected] : urls)
        EXPECT_EQ(redactUrl(url), expected) << url;
    EXPECT_EQ(urlWithoutQuery("https://u:p@host:8443/a/b?api-version=1"), "https://host:8443/a/b");

    for (const char* name : {"Authorization", "cookie", "X-Amz-Security-Token", "x-api-key",
                             "x-ms-authorization-auxiliary"}) {
        EXPECT_EQ(redactHeader(name, "Bearer abc"), kRedacted) << name;
    }
    EXPECT_EQ(redactHeader("x-ms-request-id", "v"), "v");
}

}  // namespace
}  // namespace dm::http
