// Where the Aws service looks: the --s3_yaml_download text, the YAML's "s3" section and the
// archive's object keys.
#include <gtest/gtest.h>

#include "core/error.hpp"
#include "services/aws/archive_layout.hpp"
#include "support/scoped.hpp"

namespace dm::s3 {
namespace {

using dm::testing::ScopedEnv;

std::string refusal(const std::string& text) {
    try {
        parseYamlSource(text);
    } catch (const ConfigError& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(YamlSourceText, ReadsFourTrimmedFieldsAndNamesTheObject) {
    const YamlSource source =
        parseYamlSource(" 012345678901 , dm-migration,dm-archive , spoke_prod");
    EXPECT_EQ(source.account, "012345678901");
    EXPECT_EQ(source.role, "dm-migration");
    EXPECT_EQ(source.bucket, "dm-archive");
    EXPECT_EQ(source.spokeAccount, "spoke_prod");
    EXPECT_EQ(discoveryYamlKey(source), "spoke_prod/discovery.yaml");
    EXPECT_EQ(parseYamlSource("012345678901,ops/dm-role,a.b-c,arch/spoke").role, "ops/dm-role");
}

TEST(YamlSourceText, MalformedTextsGiveOneClearLine) {
    EXPECT_EQ(refusal(""),
              "--s3_yaml_download: expected <s3_account>,<s3_role>,<s3_bucket>,<spoke_account>, "
              "found 1 field in \"\"");
    EXPECT_EQ(refusal("12345678901,r,bkt,s"),
              "--s3_yaml_download: s3_account \"12345678901\" is not a 12-digit AWS account id");
    EXPECT_EQ(refusal("012345678901,,bkt,s"),
              "--s3_yaml_download: s3_role \"\" is not an IAM role name");
    EXPECT_EQ(refusal("012345678901,r,My_Bucket,s"),
              "--s3_yaml_download: s3_bucket \"My_Bucket\" is not an S3 bucket name");
    EXPECT_EQ(refusal("012345678901,r,bkt,../x"),
              "--s3_yaml_download: spoke_account \"../x\" cannot name an S3 folder (empty, or "
              "with empty, \".\" or \"..\" parts)");
    EXPECT_NE(refusal("012345678901,r,bkt,"), "(accepted)");
}

Record yamlWith(Record s3) {
    Record doc = Record::object();
    doc["document_type"] = "AZURE";
    doc["s3"] = std::move(s3);
    return doc;
}

std::string settingsRefusal(const Record& doc) {
    try {
        readSettings(doc);
    } catch (const ConfigError& error) {
        const std::string text = error.what();
        return text.substr(text.find(": ") + 2);  // without the file name
    }
    return "(accepted)";
}

TEST(S3Settings, ReadsTheSectionAndFallsBackToTheStandardEnvironment) {
    ScopedEnv region("AWS_REGION", std::nullopt);
    ScopedEnv defaultRegion("AWS_DEFAULT_REGION", "eu-central-1");
    ScopedEnv s3Endpoint("AWS_ENDPOINT_URL_S3", std::nullopt);
    ScopedEnv stsEndpoint("AWS_ENDPOINT_URL_STS", "http://127.0.0.1:9/sts");
    ScopedEnv anyEndpoint("AWS_ENDPOINT_URL", "http://127.0.0.1:9");

    Settings s = readSettings(yamlWith({{"bucket", "dm-archive"}, {"prefix", "/runs/2024/"}}));
    EXPECT_EQ(s.region, "eu-central-1");
    EXPECT_EQ(s.endpointUrl, "http://127.0.0.1:9");
    EXPECT_EQ(s.stsEndpointUrl, "http://127.0.0.1:9/sts");
    EXPECT_FALSE(s.account);
    EXPECT_EQ(s.prefix, "runs/2024");

    s = readSettings(yamlWith({{"bucket", "dm-archive"},
                               {"region", "us-west-2"},
                               {"account", "000000000042"},
                               {"role", "dm-migration"},
                               {"endpoint_url", "http://127.0.0.1:4568"}}));
    EXPECT_EQ(s.region, "us-west-2");
    EXPECT_EQ(s.endpointUrl, "http://127.0.0.1:4568");
    EXPECT_EQ(s.account, "000000000042");
}

TEST(S3Settings, RefusesWhatWouldReachTheWrongBucketOrAccount) {
    EXPECT_EQ(settingsRefusal(Record::object()), "s3: missing, expected a map");
    EXPECT_EQ(settingsRefusal(yamlWith({{"region", "us-east-1"}})),
              "s3.bucket: missing, expected a string");
    // Unquoted, the account id became a number and lost its leading zeros.
    EXPECT_EQ(settingsRefusal(yamlWith({{"bucket", "bkt"}, {"account", 42}, {"role", "r"}})),
              "s3.account: expected a quoted 12-digit AWS account id, found the number 42");
    EXPECT_EQ(settingsRefusal(yamlWith({{"bucket", "bkt"}, {"account", "123456789012"}})),
              "s3.role: missing, expected a value when s3.account or s3.role is given (both "
              "name the role to assume)");
    EXPECT_EQ(settingsRefusal(yamlWith({{"bucket", "bkt"}, {"prefix", "a/../b"}})),
              "s3.prefix: expected a key prefix without empty, \".\" or \"..\" parts, found the "
              "string \"a/../b\"");
}

TEST(ArchiveKeys, FolderNameUnderThePrefixAndNoKeyLeavesTheFolder) {
    Settings plain;
    EXPECT_EQ(archivePrefix(plain, "./output/spoke_prod/"), "spoke_prod/");
    Settings prefixed;
    prefixed.prefix = "runs/2024";
    EXPECT_EQ(archivePrefix(prefixed, "/srv/out/00000000-0000-0000-0000-000000000001"),
              "runs/2024/00000000-0000-0000-0000-000000000001/");
    EXPECT_THROW(archivePrefix(plain, "."), Error);
    EXPECT_THROW(archivePrefix(plain, "/"), Error);

    EXPECT_EQ(relativePathOfKey("acct/", "acct/tmp/revert.json"), "tmp/revert.json");
    EXPECT_FALSE(relativePathOfKey("acct/", "acct2/x.tf"));
    EXPECT_FALSE(relativePathOfKey("acct/", "acct/tmp/"));  // folder marker
    EXPECT_FALSE(relativePathOfKey("acct/", "acct/../../etc/passwd"));
    EXPECT_FALSE(relativePathOfKey("acct/", "acct//etc/passwd"));
    EXPECT_FALSE(relativePathOfKey("acct/", "acct/a/./b"));
    EXPECT_FALSE(relativePathOfKey("acct/", "acct/bad\nname"));
}

}  // namespace
}  // namespace dm::s3
