// The S3/STS platform calls without a server: credential sources, error bodies, the shape of
// the requests curl is to sign, listings and the assumed-role cache, through a recording
// transport.
#include <gtest/gtest.h>

#include <deque>

#include "platform/aws/credentials.hpp"
#include "platform/aws/errors.hpp"
#include "platform/aws/s3_client.hpp"
#include "platform/aws/sts_client.hpp"
#include "support/scoped.hpp"

namespace dm::aws {
namespace {

using dm::testing::ScopedEnv;

// Hands out canned responses in order and keeps every request it was given.
class RecordingTransport : public http::Transport {
  public:
    std::deque<http::Response> replies;
    std::vector<http::Request> requests;
    http::Response send(const http::Request& request) override {
        requests.push_back(request);
        if (replies.empty())
            throw http::TransportError("no reply queued");
        http::Response reply = replies.front();
        replies.pop_front();
        return reply;
    }
};

std::optional<std::string> headerOf(const http::Request& request, const std::string& name) {
    for (const auto& [key, value] : request.headers) {
        if (key == name)
            return value;
    }
    return std::nullopt;
}

template <typename Call>
std::string failureOf(Call call) {
    try {
        call();
    } catch (const Error& error) {
        return error.what();
    }
    return "(no failure)";
}

TEST(Credentials, SharedFileProfilesCommentsAndIncompleteProfiles) {
    const std::string file =
        "# keys\r\n[default]\r\naws_access_key_id = AKIDDEFAULT\r\naws_secret_access_key=s1\r\n"
        "[ops]\n; comment\n  AWS_ACCESS_KEY_ID =AKIDOPS \naws_secret_access_key = s2=x\n"
        "aws_session_token = tok\n[other]\naws_access_key_id = AKIDOTHER\n";
    auto ops = parseSharedCredentials(file, "ops", "creds");
    ASSERT_TRUE(ops);
    EXPECT_EQ(ops->accessKeyId, "AKIDOPS");
    EXPECT_EQ(ops->secretAccessKey, "s2=x");  // only the first "=" separates
    EXPECT_EQ(ops->sessionToken, "tok");
    EXPECT_EQ(parseSharedCredentials(file, "default", "creds")->secretAccessKey, "s1");
    EXPECT_FALSE(parseSharedCredentials(file, "missing", "creds"));
    EXPECT_EQ(failureOf([&] { parseSharedCredentials(file, "other", "creds"); }),
              "creds: profile \"other\" needs both aws_access_key_id and aws_secret_access_key");
}

TEST(Credentials, EnvironmentWinsOverTheProfileFileAndNoneIsAClearError) {
    dm::testing::TempDir dir;
    dm::testing::writeFile(dir.file("credentials"),
                           "[default]\naws_access_key_id=AKIDFILE\naws_secret_access_key=f\n"
                           "[ci]\naws_access_key_id=AKIDCI\naws_secret_access_key=c\n");
    ScopedEnv file("AWS_SHARED_CREDENTIALS_FILE", dir.file("credentials"));
    ScopedEnv profile("AWS_PROFILE", std::nullopt);
    ScopedEnv id("AWS_ACCESS_KEY_ID", "AKIDENV");
    {
        // One key alone does not make environment credentials.
        ScopedEnv secret("AWS_SECRET_ACCESS_KEY", "");
        EXPECT_EQ(loadBaseCredentials().accessKeyId, "AKIDFILE");
        ScopedEnv ci("AWS_PROFILE", "ci");
        EXPECT_EQ(loadBaseCredentials().accessKeyId, "AKIDCI");
    }
    ScopedEnv secret("AWS_SECRET_ACCESS_KEY", "e");
    EXPECT_EQ(loadBaseCredentials().accessKeyId, "AKIDENV");
    ScopedEnv noId("AWS_ACCESS_KEY_ID", std::nullopt);
    ScopedEnv nobody("AWS_PROFILE", "nobody");
    EXPECT_EQ(failureOf([] { loadBaseCredentials(); }),
              "no AWS credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or add "
              "profile \"nobody\" to " +
                  dir.file("credentials"));
}

TEST(ServiceErrors, CarryCodeMessageStatusAndRequestIdOfEitherBodyShape) {
    const http::Response s3{403,
                            {{"x-amz-request-id", "HDR"}},
                            "<?xml version=\"1.0\"?><Error><Code>AccessDenied</Code><Message>"
                            "Access Denied</Message><RequestId>XML1</RequestId></Error>"};
    EXPECT_STREQ(responseError("GET s3://b/k", s3).what(),
                 "GET s3://b/k: (AccessDenied) Access Denied (HTTP 403, request id XML1)");
    const http::Response sts{400,
                             {},
                             "<ErrorResponse><Error><Code>ValidationError</Code><Message>bad"
                             "</Message></Error><RequestId>R2</RequestId></ErrorResponse>"};
    EXPECT_STREQ(responseError("AssumeRole a", sts).what(),
                 "AssumeRole a: (ValidationError) bad (HTTP 400, request id R2)");
    // No XML (a HEAD reply, a proxy's page): still the status, and the header's request id.
    EXPECT_STREQ(responseError("GET s3://b/k", {404, {{"x-amz-request-id", "HDR"}}, ""}).what(),
                 "GET s3://b/k: (HTTP 404, request id HDR)");
    EXPECT_STREQ(responseError("PUT s3://b/k", {502, {}, "<html><body>Bad gateway</html"}).what(),
                 "PUT s3://b/k: (HTTP 502)");
}

TEST(S3Requests, KeysQueriesAndPayloadHashAreInTheFormThatIsSigned) {
    // curl signs the path and query as written, so they must already be canonical: keys
    // encoded with upper-case hex, query parameters sorted by name.
    auto transport = std::make_shared<RecordingTransport>();
    S3Client local({"eu-west-1", "http://127.0.0.1:4568/"}, transport);
    transport->replies = {{200, {}, ""}};
    local.putObject("bkt", "acct/a b/ü+c~(1).tf", "hello", {{"dm-step", "switch"}});
    const http::Request& put = transport->requests.back();
    EXPECT_EQ(put.url, "http://127.0.0.1:4568/bkt/acct/a%20b/%C3%BC%2Bc~%281%29.tf");
    EXPECT_EQ(headerOf(put, "x-amz-meta-dm-step"), "switch");
    // S3 refuses a signed call without the payload hash, and curl does not add it.
    EXPECT_EQ(headerOf(put, "x-amz-content-sha256"),
              "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");

    auto page = [](const std::string& key, const std::string& next) {
        return http::Response{200,
                              {},
                              "<ListBucketResult><Contents><Key>" + key +
                                  "</Key><Size>7</Size></Contents><IsTruncated>" +
                                  (next.empty() ? "false</IsTruncated>"
                                                : "true</IsTruncated><NextContinuationToken>" +
                                                      next + "</NextContinuationToken>") +
                                  "</ListBucketResult>"};
    };
    transport->requests.clear();
    transport->replies = {page("p/a", "t/1=+"), page("p/b", "")};
    const auto objects = local.listObjects("bkt", "p/");
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[1].key, "p/b");
    EXPECT_EQ(objects[0].size, 7u);
    EXPECT_EQ(transport->requests[0].url, "http://127.0.0.1:4568/bkt?list-type=2&prefix=p%2F");
    EXPECT_EQ(transport->requests[1].url,
              "http://127.0.0.1:4568/bkt?continuation-token=t%2F1%3D%2B&list-type=2&prefix=p%2F");

    S3Client aws({"eu-west-1"}, transport);
    EXPECT_EQ(aws.objectUrl("bkt", "k"), "https://bkt.s3.eu-west-1.amazonaws.com/k");
    // Dotted names break the TLS wildcard of virtual hosts.
    EXPECT_EQ(aws.objectUrl("my.bkt", "k"), "https://s3.eu-west-1.amazonaws.com/my.bkt/k");
}

TEST(S3Requests, AListingThatWouldNeverEndIsRefused) {
    auto transport = std::make_shared<RecordingTransport>();
    S3Client client({"us-east-1", "http://127.0.0.1:1"}, transport);
    const http::Response same{200,
                              {},
                              "<ListBucketResult><IsTruncated>true</IsTruncated>"
                              "<NextContinuationToken>same</NextContinuationToken>"
                              "</ListBucketResult>"};
    transport->replies = {same, same};
    EXPECT_EQ(failureOf([&] { client.listObjects("bkt", "p/"); }),
              "list s3://bkt/p/: the listing repeats its continuation token (HTTP 200)");
    EXPECT_THROW(parseListObjectsV2("<ListBucketResult><IsTruncated>true</IsTruncated>"
                                    "</ListBucketResult>"),
                 AwsError);
    EXPECT_THROW(parseListObjectsV2("<Error/>"), AwsError);
}

std::string assumeRoleReply(const std::string& key, const std::string& expiration) {
    return "<AssumeRoleResponse><AssumeRoleResult><Credentials><AccessKeyId>" + key +
           "</AccessKeyId><SecretAccessKey>sec</SecretAccessKey><SessionToken>tok"
           "</SessionToken><Expiration>" +
           expiration + "</Expiration></Credentials></AssumeRoleResult></AssumeRoleResponse>";
}

TEST(AssumedRole, KeysAreReusedUntilFiveMinutesBeforeExpiry) {
    auto transport = std::make_shared<RecordingTransport>();
    auto now = *parseIsoTime("2024-05-01T12:00:00Z");
    AssumedRoleCredentials role(transport, "http://127.0.0.1:1", "arn:aws:iam::1:role/r",
                                [&] { return now; });
    transport->replies = {{200, {}, assumeRoleReply("ASIA1", "2024-05-01T13:00:00.000Z")},
                          {200, {}, assumeRoleReply("ASIA2", "2024-05-01T14:00:00Z")}};
    EXPECT_EQ(role.get().accessKeyId, "ASIA1");
    now += std::chrono::minutes(54);
    EXPECT_EQ(role.get().accessKeyId, "ASIA1");
    now += std::chrono::minutes(2);  // 12:56, inside the margin
    EXPECT_EQ(role.get().accessKeyId, "ASIA2");
    EXPECT_EQ(transport->requests.size(), 2u);

    // An unreadable or unrepresentable expiry is taken as STS's shortest life, not "never".
    EXPECT_EQ(parseAssumeRoleResponse(assumeRoleReply("K", "soon"), "a", now).expiration,
              now + std::chrono::minutes(15));
    EXPECT_FALSE(parseIsoTime("9999-01-01T00:00:00Z"));
    EXPECT_FALSE(parseIsoTime("2024-05-01T12:00:00+02:00"));
    EXPECT_THROW(parseAssumeRoleResponse(assumeRoleReply("", "x"), "a", now), AwsError);
}

TEST(AssumedRole, AnUnreachableStsIsNoTransportErrorForTheCallAbove) {
    // The signed S3 call that needs the keys would otherwise retry an outage that the STS
    // transport has already retried, once more per attempt.
    auto transport = std::make_shared<RecordingTransport>();
    AssumedRoleCredentials role(transport, "http://127.0.0.1:1", "arn:aws:iam::1:role/r");
    try {
        role.get();
        FAIL();
    } catch (const http::TransportError&) {
        FAIL() << "a TransportError escaped";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "AssumeRole arn:aws:iam::1:role/r: no reply queued");
    }
}

}  // namespace
}  // namespace dm::aws
