// AwsSharedConfig: the AWS command-line conventions this library honours: the shared credentials
// and config files (and the variables that move them), credentials in the environment, and the
// region named by the environment or a profile. Everything is read anew on each call, so a
// rotated key in a file is seen at its next use.
// Threads: no state; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quillon {

class AwsSharedConfig {
  public:
    struct Credentials {
        std::string accessKey;
        std::string secret;
        std::string sessionToken;  // empty: long-term keys
    };

    AwsSharedConfig() = delete;

    // $AWS_SHARED_CREDENTIALS_FILE, else ~/.aws/credentials.
    static std::string credentialsFilePath();
    // $AWS_CONFIG_FILE, else ~/.aws/config.
    static std::string configFilePath();
    // $AWS_PROFILE, else "default".
    static std::string profileName();

    // Both keys of a profile of the credentials file, else of the config file (where the section
    // is "[default]" or "[profile NAME]"), as the AWS CLI reads them; none when neither has both.
    // A file is read only when it is a regular file of at most kMaxFileBytes.
    static std::optional<Credentials> profileCredentials(const std::string& profile);
    // Why profileCredentials(profile) gives none, or gives keys other than `accessKey`: a
    // sentence naming the profile and the file.
    static std::string missingCredentials(const std::string& profile, const std::string& accessKey);

    // The largest credentials or config file read.
    static constexpr std::size_t kMaxFileBytes = 1 << 20;
    // $AWS_ACCESS_KEY_ID and $AWS_SECRET_ACCESS_KEY (with $AWS_SESSION_TOKEN), or none.
    static std::optional<Credentials> environmentCredentials();

    // $AWS_REGION, else $AWS_DEFAULT_REGION, else the "region" of the profile in the config
    // file ("[default]" or "[profile NAME]"); none when nothing names one.
    static std::optional<std::string> configuredRegion(const std::string& profile);
    // $AWS_ENDPOINT_URL_GLACIER, else $AWS_ENDPOINT_URL, else the "endpoint_url" of the profile
    // in the config file; none when nothing names one.
    static std::optional<std::string> configuredEndpoint(const std::string& profile);
};

}  // namespace quillon
