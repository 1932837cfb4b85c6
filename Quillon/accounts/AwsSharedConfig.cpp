// AwsSharedConfig: reading the shared files and the environment. Threads: as in
// AwsSharedConfig.h.
#include "accounts/AwsSharedConfig.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "interfaces/files/IniFile.h"

namespace quillon {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string underHome(const std::string& relative) {
    return environment("HOME") + "/" + relative;
}

// The section of `profile` in the config file.
std::string configSection(const std::string& profile) {
    return profile == "default" ? profile : "profile " + profile;
}

std::optional<std::string> valueIn(const std::string& path, const std::string& section,
                                   const std::string& key) {
    auto sections = IniFile::parseFile(path, nullptr, AwsSharedConfig::kMaxFileBytes);
    if (!sections) {
        return std::nullopt;
    }
    auto found = sections->find(section);
    if (found == sections->end()) {
        return std::nullopt;
    }
    auto value = found->second.find(key);
    if (value == found->second.end() || value->second.empty()) {
        return std::nullopt;
    }
    return value->second;
}

// Both keys (and a session token) of one section of an INI file.
std::optional<AwsSharedConfig::Credentials> keysIn(const std::string& path,
                                                   const std::string& sectionName) {
    auto sections = IniFile::parseFile(path, nullptr, AwsSharedConfig::kMaxFileBytes);
    if (!sections) {
        return std::nullopt;
    }
    auto section = sections->find(sectionName);
    if (section == sections->end()) {
        return std::nullopt;
    }
    auto keyId = section->second.find("aws_access_key_id");
    auto secret = section->second.find("aws_secret_access_key");
    if (keyId == section->second.end() || secret == section->second.end() ||
        keyId->second.empty() || secret->second.empty()) {
        return std::nullopt;
    }
    AwsSharedConfig::Credentials credentials{keyId->second, secret->second, ""};
    if (auto token = section->second.find("aws_session_token"); token != section->second.end()) {
        credentials.sessionToken = token->second;
    }
    return credentials;
}

}  // namespace

std::string AwsSharedConfig::credentialsFilePath() {
    std::string path = environment("AWS_SHARED_CREDENTIALS_FILE");
    return path.empty() ? underHome(".aws/credentials") : path;
}

std::string AwsSharedConfig::configFilePath() {
    std::string path = environment("AWS_CONFIG_FILE");
    return path.empty() ? underHome(".aws/config") : path;
}

std::string AwsSharedConfig::profileName() {
    std::string profile = environment("AWS_PROFILE");
    return profile.empty() ? "default" : profile;
}

std::optional<AwsSharedConfig::Credentials> AwsSharedConfig::profileCredentials(
    const std::string& profile) {
    if (auto credentials = keysIn(credentialsFilePath(), profile)) {
        return credentials;
    }
    return keysIn(configFilePath(), configSection(profile));
}

std::string AwsSharedConfig::missingCredentials(const std::string& profile,
                                                const std::string& accessKey) {
    const std::string path = credentialsFilePath();
    const std::string head = "No secret key for the profile \"" + profile + "\": ";
    if (auto credentials = profileCredentials(profile)) {
        return head + "it holds the access key " + credentials->accessKey + ", not the account's " +
               accessKey + ".";
    }
    ErrorPtr error;
    auto sections = IniFile::parseFile(path, &error, kMaxFileBytes);
    if (!sections) {
        return head +
               (error ? error->localizedDescription()
                      : "the credentials file " + path + " cannot be read") +
               ".";
    }
    if (sections->find(profile) == sections->end()) {
        return head + "the credentials file " + path + " has no section [" + profile +
               "], nor the config file " + configFilePath() + " keys under [" +
               configSection(profile) + "].";
    }
    return head + "its section in " + path + " lacks aws_access_key_id or aws_secret_access_key.";
}

std::optional<AwsSharedConfig::Credentials> AwsSharedConfig::environmentCredentials() {
    Credentials credentials{environment("AWS_ACCESS_KEY_ID"), environment("AWS_SECRET_ACCESS_KEY"),
                            environment("AWS_SESSION_TOKEN")};
    if (credentials.accessKey.empty() || credentials.secret.empty()) {
        return std::nullopt;
    }
    return credentials;
}

std::optional<std::string> AwsSharedConfig::configuredRegion(const std::string& profile) {
    for (const char* name : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
        if (std::string region = environment(name); !region.empty()) {
            return region;
        }
    }
    return valueIn(configFilePath(), configSection(profile), "region");
}

std::optional<std::string> AwsSharedConfig::configuredEndpoint(const std::string& profile) {
    for (const char* name : {"AWS_ENDPOINT_URL_GLACIER", "AWS_ENDPOINT_URL"}) {
        if (std::string url = environment(name); !url.empty()) {
            return url;
        }
    }
    return valueIn(configFilePath(), configSection(profile), "endpoint_url");
}

}  // namespace quillon
