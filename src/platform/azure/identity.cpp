#include "platform/azure/identity.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <vector>

#include "core/file_text.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "platform/azure/detail.hpp"
#include "platform/azure/errors.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/azure/token_cache.hpp"

extern char** environ;

namespace dm::azure {

namespace {

using SystemClock = std::chrono::system_clock;
using detail::CachingCredential;

constexpr const char* kAssertionType = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

class ClientAssertionCredential : public CachingCredential {
  public:
    explicit ClientAssertionCredential(ClientAssertionCredentialOptions options)
        : CachingCredential(options),
          tenantId_(std::move(options.tenantId)),
          clientId_(std::move(options.clientId)),
          certificate_(std::move(options.certificate)),
          federatedTokenFile_(std::move(options.federatedTokenFile)) {}

  protected:
    AccessToken fetch(const std::string& scope, SystemClock::time_point now) override {
        std::string assertion;
        if (certificate_) {
            assertion =
                certificate_->assertion(detail::tokenUrl(settings_.cloud.authorityHost, tenantId_),
                                        clientId_, now, newRequestId());
        } else {
            assertion = text::trim(readFileText(federatedTokenFile_).value_or(""));
            if (assertion.empty()) {
                throw AuthenticationError("federated token file " + federatedTokenFile_ +
                                          ": cannot be read or is empty");
            }
        }
        noteSecret(assertion);
        return detail::requestClientToken(
            settings_, tenantId_, clientId_,
            "client_assertion_type=" + encodeUriComponent(kAssertionType) +
                "&client_assertion=" + encodeUriComponent(assertion),
            scope, now, [this](const std::string& text) { return scrub(text); });
    }

  private:
    std::string tenantId_;
    std::string clientId_;
    std::optional<ClientCertificate> certificate_;
    std::string federatedTokenFile_;
};

// Seconds since the epoch as a number or a string of digits.
std::optional<SystemClock::time_point> epochAt(const Record& body, const char* key) {
    if (auto seconds = detail::lifetimeSeconds(body, key))
        return SystemClock::time_point(std::chrono::seconds(*seconds));
    return std::nullopt;
}

class ManagedIdentityCredential : public CachingCredential {
  public:
    explicit ManagedIdentityCredential(ManagedIdentityCredentialOptions options)
        : CachingCredential(options), options_(std::move(options)) {
        if (options_.identityEndpoint)
            noteSecret(options_.identityHeader);
    }

  protected:
    AccessToken fetch(const std::string& scope, SystemClock::time_point now) override {
        const std::string resource = encodeUriComponent(detail::scopeResource(scope));
        const std::string clientId =
            options_.clientId ? "&client_id=" + encodeUriComponent(*options_.clientId) : "";
        http::Request request;
        request.method = "GET";
        request.headers = {{"Accept", "application/json"}};
        if (options_.identityEndpoint) {
            request.url = *options_.identityEndpoint +
                          "?api-version=2019-08-01&resource=" + resource + clientId;
            request.headers.emplace_back("X-IDENTITY-HEADER", options_.identityHeader);
        } else {
            request.url =
                detail::trimSlashes(options_.metadataHost) +
                "/metadata/identity/oauth2/token?api-version=2018-02-01&resource=" + resource +
                clientId;
            request.headers.emplace_back("Metadata", "true");
        }
        const std::string endpoint = detail::withoutQuery(request.url);

        http::Response response;
        try {
            response = settings_.transport->send(request);
        } catch (const http::TransportError& e) {
            throw CredentialUnavailableError(scrub(std::string("no answer: ") + e.what()));
        }
        auto body = parseJsonObject(response.body);
        if (response.status != 200) {
            std::string reason = fmt::format("status {}", response.status);
            if (body) {
                auto description = detail::stringAt(*body, "error_description");
                if (!description)
                    description = detail::stringAt(*body, "error");
                if (description)
                    reason += ": " + *description;
            }
            const std::string message = scrub(endpoint + " answered " + reason);
            // No identity assigned to the host, or none with that client id.
            if (response.status == 400 || response.status == 404)
                throw CredentialUnavailableError(message);
            throw AuthenticationError(message);
        }
        auto token = body ? detail::stringAt(*body, "access_token") : std::nullopt;
        std::optional<SystemClock::time_point> expiry;
        if (body) {
            if (auto lifetime = detail::lifetimeSeconds(*body, "expires_in"))
                expiry = now + std::chrono::seconds(*lifetime);
            else
                expiry = epochAt(*body, "expires_on");
        }
        if (!token || token->empty() || !expiry)
            throw AuthenticationError(endpoint + " returned no access_token and expiry");
        noteSecret(*token);
        detail::log()->debug("managed identity token acquired for scope {}", scope);
        return {*token, *expiry};
    }

  private:
    ManagedIdentityCredentialOptions options_;
};

// Closes a descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

struct ProgramOutput {
    int status = 0;
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs `argv` found on PATH with standard input from /dev/null; kills it at the deadline.
// nullopt when the program cannot be started (not found).
std::optional<ProgramOutput> runProgram(std::vector<std::string> argv,
                                        std::chrono::milliseconds timeout) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw AuthenticationError("cannot create a pipe");
    Fd outRead{outPipe[0]}, outWrite{outPipe[1]};
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        throw AuthenticationError("cannot create a pipe");
    Fd errRead{errPipe[0]}, errWrite{errPipe[1]};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.fd, 2);
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return std::nullopt;
    ::close(outWrite.fd);
    outWrite.fd = -1;
    ::close(errWrite.fd);
    errWrite.fd = -1;

    ProgramOutput result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{outRead.fd, POLLIN, 0}, {errRead.fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0 && sinks[i]->size() < (1u << 20)) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    // A program that closed its output may still run: it gets what is left of the deadline.
    int status = 0;
    while (!result.timedOut && ::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        ::usleep(10'000);
    }
    if (result.timedOut) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    result.status = status;
    return result;
}

// "2026-12-09 12:34:56.000000" in the local time zone, as older Azure CLIs write expiresOn.
std::optional<SystemClock::time_point> localTime(const std::string& text) {
    std::tm tm{};
    std::istringstream in(text);
    in >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
    if (in.fail())
        return std::nullopt;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == -1)
        return std::nullopt;
    return SystemClock::from_time_t(t);
}

// The first line of a program's error output, shown escaped.
std::string firstLine(const std::string& text) {
    const std::string trimmed = text::trim(text);
    return text::escapeControl(trimmed.substr(0, std::min(trimmed.find('\n'), size_t{300})));
}

class AzureCliCredential : public CachingCredential {
  public:
    explicit AzureCliCredential(AzureCliCredentialOptions options)
        : CachingCredential(options), options_(std::move(options)) {}

  protected:
    AccessToken fetch(const std::string& scope, SystemClock::time_point /*now*/) override {
        std::vector<std::string> argv = {options_.program,
                                         "account",
                                         "get-access-token",
                                         "--resource",
                                         detail::scopeResource(scope),
                                         "-o",
                                         "json"};
        if (options_.tenantId) {
            argv.push_back("--tenant");
            argv.push_back(*options_.tenantId);
        }
        auto result = runProgram(argv, options_.timeout);
        if (!result)
            throw CredentialUnavailableError(options_.program + " was not found on PATH");
        if (result->timedOut) {
            throw CredentialUnavailableError(
                fmt::format("{} account get-access-token gave no answer within {} ms",
                            options_.program, options_.timeout.count()));
        }
        if (!WIFEXITED(result->status) || WEXITSTATUS(result->status) != 0) {
            const std::string why = scrub(firstLine(result->err));
            if (result->err.find("az login") != std::string::npos)
                throw CredentialUnavailableError("not logged in: " + why);
            throw AuthenticationError(options_.program +
                                      " account get-access-token failed: " + why);
        }
        auto body = parseJsonObject(result->out);
        auto token = body ? detail::stringAt(*body, "accessToken") : std::nullopt;
        std::optional<SystemClock::time_point> expiry;
        if (body) {
            expiry = epochAt(*body, "expires_on");
            if (!expiry) {
                if (auto text = detail::stringAt(*body, "expiresOn"))
                    expiry = localTime(*text);
            }
        }
        if (!token || token->empty() || !expiry) {
            throw AuthenticationError(options_.program +
                                      " account get-access-token printed no accessToken and "
                                      "expiresOn");
        }
        noteSecret(*token);
        detail::log()->debug("Azure CLI token acquired for scope {}", scope);
        return {*token, *expiry};
    }

  private:
    AzureCliCredentialOptions options_;
};

// One step of the default chain: made at its first use, or passed over with the reason.
struct ChainStep {
    std::string name;
    std::function<std::shared_ptr<TokenCredential>()> make;  // empty: not configured
    std::string notConfigured;
    std::shared_ptr<TokenCredential> credential;
};

class DefaultCredential : public TokenCredential {
  public:
    explicit DefaultCredential(DefaultCredentialOptions options) : options_(std::move(options)) {
        if (!options_.transport)
            options_.transport = defaultTransport(options_.cloud.caBundle);
        buildSteps();
    }

    AccessToken getToken(const std::string& scope) override {
        // Once a step is chosen its own cache serves callers in parallel; until then the lock
        // makes concurrent first callers walk the chain once.
        if (auto chosen = chosenStep())
            return chosen->getToken(scope);
        std::lock_guard lock(mutex_);
        if (chosen_)
            return chosen_->getToken(scope);
        std::vector<std::string> lines;
        for (size_t i = 0; i < steps_.size(); ++i) {
            ChainStep& step = steps_[i];
            if (!step.make) {
                lines.push_back(step.name + ": not configured: " + step.notConfigured);
                continue;
            }
            try {
                if (!step.credential)
                    step.credential = step.make();
                AccessToken token = step.credential->getToken(scope);
                chosen_ = step.credential;
                detail::log()->debug("the default Azure credential chain uses {}", step.name);
                return token;
            } catch (const CredentialUnavailableError& e) {
                lines.push_back(step.name + ": unavailable: " + text::escapeControl(e.what()));
            } catch (const dm::Error& e) {
                // Configured but refused: later steps would sign in as someone else.
                lines.push_back(step.name + ": failed: " + text::escapeControl(e.what()));
                for (size_t j = i + 1; j < steps_.size(); ++j)
                    lines.push_back(steps_[j].name + ": not tried");
                throw AuthenticationError(failure(lines));
            }
        }
        throw AuthenticationError(failure(lines));
    }

    void invalidateToken(const std::string& scope) override {
        if (auto chosen = chosenStep())
            chosen->invalidateToken(scope);
    }
    const AzureCloud& cloud() const override { return options_.cloud; }
    std::shared_ptr<http::Transport> transport() const override { return options_.transport; }

  private:
    std::shared_ptr<TokenCredential> chosenStep() {
        std::lock_guard lock(mutex_);
        return chosen_;
    }

    static std::string failure(const std::vector<std::string>& lines) {
        // One line: the log escapes line breaks, and steps separated by "; " read better.
        return "the default Azure credential chain gave no token: " + text::join(lines, "; ");
    }

    std::optional<std::string> env(const std::string& name) const {
        if (options_.environment)
            return options_.environment(name);
        const char* value = std::getenv(name.c_str());
        if (!value || !*value)
            return std::nullopt;
        return std::string(value);
    }

    // "A, B and C are not set" for the names among `names` that are unset.
    std::string unset(std::initializer_list<const char*> names) const {
        std::vector<std::string> missing;
        for (const char* name : names) {
            if (!env(name))
                missing.push_back(name);
        }
        std::string out;
        for (size_t i = 0; i < missing.size(); ++i)
            out += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + missing[i];
        return out + (missing.size() == 1 ? " is not set" : " are not set");
    }

    CredentialSettings settingsWith(std::shared_ptr<http::Transport> transport) const {
        CredentialSettings settings = options_;
        if (transport)
            settings.transport = std::move(transport);
        if (auto authority = env("AZURE_AUTHORITY_HOST"))
            settings.cloud.authorityHost = *authority;
        return settings;
    }

    // The options of a credential that signs in as the client `client` of `tenant`.
    template <class Options>
    Options principalOptions(const std::string& tenant, const std::string& client) const {
        Options o;
        static_cast<CredentialSettings&>(o) = settingsWith(nullptr);
        o.tenantId = tenant;
        o.clientId = client;
        return o;
    }

    void buildSteps() {
        const auto tenant = env("AZURE_TENANT_ID");
        const auto client = env("AZURE_CLIENT_ID");
        const auto secret = env("AZURE_CLIENT_SECRET");
        const auto certificatePath = env("AZURE_CLIENT_CERTIFICATE_PATH");
        const auto password = env("AZURE_CLIENT_CERTIFICATE_PASSWORD");
        for (const auto& value : {secret, password}) {
            if (value && options_.onToken)
                options_.onToken(*value);
        }

        ChainStep environment{"environment", {}, {}, {}};
        if (tenant && client && secret) {
            environment.make = [this, tenant, client, secret] {
                auto o = principalOptions<ClientSecretCredentialOptions>(*tenant, *client);
                o.clientSecret = *secret;
                return makeClientSecretCredential(std::move(o));
            };
        } else if (tenant && client && certificatePath) {
            environment.make = [this, tenant, client, certificatePath, password] {
                auto o = principalOptions<ClientAssertionCredentialOptions>(*tenant, *client);
                o.certificate = ClientCertificate::fromFile(*certificatePath, password);
                return makeClientAssertionCredential(std::move(o));
            };
        } else if (!tenant || !client) {
            environment.notConfigured = unset({"AZURE_TENANT_ID", "AZURE_CLIENT_ID"});
        } else {
            environment.notConfigured =
                unset({"AZURE_CLIENT_SECRET", "AZURE_CLIENT_CERTIFICATE_PATH"});
        }
        steps_.push_back(std::move(environment));

        ChainStep workload{"workload identity", {}, {}, {}};
        const auto tokenFile = env("AZURE_FEDERATED_TOKEN_FILE");
        if (tenant && client && tokenFile) {
            workload.make = [this, tenant, client, tokenFile] {
                auto o = principalOptions<ClientAssertionCredentialOptions>(*tenant, *client);
                o.federatedTokenFile = *tokenFile;
                return makeClientAssertionCredential(std::move(o));
            };
        } else {
            workload.notConfigured =
                unset({"AZURE_FEDERATED_TOKEN_FILE", "AZURE_TENANT_ID", "AZURE_CLIENT_ID"});
        }
        steps_.push_back(std::move(workload));

        // Always tried: whether the host has an identity shows only by asking.
        ChainStep managed{"managed identity", {}, {}, {}};
        managed.make = [this, client] {
            CredentialSettings settings = options_;
            if (options_.probeTransport)
                settings.transport = options_.probeTransport;
            return makeManagedIdentityCredential(
                managedIdentityOptions(settings, client, options_.metadataHost,
                                       [this](const std::string& name) { return env(name); }));
        };
        steps_.push_back(std::move(managed));

        ChainStep cli{"Azure CLI", {}, {}, {}};
        cli.make = [this] {
            AzureCliCredentialOptions o;
            static_cast<CredentialSettings&>(o) = options_;
            o.timeout = options_.cliTimeout;
            o.program = options_.cliProgram;
            return makeAzureCliCredential(std::move(o));
        };
        steps_.push_back(std::move(cli));
    }

    DefaultCredentialOptions options_;
    std::mutex mutex_;
    std::vector<ChainStep> steps_;
    std::shared_ptr<TokenCredential> chosen_;
};

}  // namespace

ManagedIdentityCredentialOptions managedIdentityOptions(CredentialSettings settings,
                                                        std::optional<std::string> clientId,
                                                        const std::string& metadataHost,
                                                        const EnvironmentReader& environment) {
    auto env = [&environment](const char* name) -> std::optional<std::string> {
        if (environment)
            return environment(name);
        const char* value = std::getenv(name);
        return value && *value ? std::optional<std::string>(value) : std::nullopt;
    };
    ManagedIdentityCredentialOptions options;
    static_cast<CredentialSettings&>(options) = std::move(settings);
    options.clientId = std::move(clientId);
    const auto endpoint = env("IDENTITY_ENDPOINT");
    const auto header = env("IDENTITY_HEADER");
    if (endpoint && header) {
        options.identityEndpoint = endpoint;
        options.identityHeader = *header;
    } else if (!metadataHost.empty()) {
        options.metadataHost = metadataHost;
    } else if (auto host = env("AZURE_POD_IDENTITY_AUTHORITY_HOST")) {
        options.metadataHost = *host;
    }
    return options;
}

std::shared_ptr<TokenCredential> makeClientAssertionCredential(
    ClientAssertionCredentialOptions options) {
    return std::make_shared<ClientAssertionCredential>(std::move(options));
}

std::shared_ptr<TokenCredential> makeManagedIdentityCredential(
    ManagedIdentityCredentialOptions options) {
    return std::make_shared<ManagedIdentityCredential>(std::move(options));
}

std::shared_ptr<TokenCredential> makeAzureCliCredential(AzureCliCredentialOptions options) {
    return std::make_shared<AzureCliCredential>(std::move(options));
}

std::shared_ptr<TokenCredential> makeDefaultCredential(DefaultCredentialOptions options) {
    return std::make_shared<DefaultCredential>(std::move(options));
}

}  // namespace dm::azure
