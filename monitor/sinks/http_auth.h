#pragma once
// Who may see the dashboard: HTTP Basic credentials checked against the
// config's crypt(3) hashes. A verified password is remembered as a keyed
// digest, so a page's many requests cost one yescrypt run, not one each.
// Failures from an address slow its next answers down, growing with each,
// without holding up anyone else's requests.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitor/sinks/http_config.h"

namespace monitor {

// The hash of a new password, with a fresh salt (yescrypt); throws
// std::runtime_error when libcrypt cannot make one.
std::string HashPassword(const std::string& password);
// password checked against a crypt(3) hash, compared in constant time.
bool CheckPassword(const std::string& password, const std::string& hash);
bool ConstantTimeEqual(const std::string& a, const std::string& b);

// "Basic dXNlcjpwYXNz" -> user and password; nullopt when malformed.
struct Credentials {
    std::string user, password;
};
std::optional<Credentials> ParseBasic(const std::string& header);

class HttpAuth {
public:
    using Clock = std::chrono::steady_clock;
    explicit HttpAuth(std::vector<HttpUser> users);

    bool Enabled() const { return !users.empty(); }
    // The Authorization header of a request: true when it names a user with
    // the right password.
    bool Check(const std::string& authorization);

    // Failures from an address and how long its next answer waits.
    void Failed(const std::string& address);
    void Succeeded(const std::string& address);
    std::chrono::milliseconds Delay(const std::string& address) const;
    // Sleeps for the address's delay unless Stop() is called.
    void Wait(const std::string& address);
    void Stop();

    uint64_t Failures() const;

private:
    using Digest = std::array<unsigned char, 32>;
    Digest digest(const std::string& user, const std::string& password) const;

    std::vector<HttpUser> users;
    std::string dummy_hash;  // checked for an unknown user, so both take as long
    std::array<unsigned char, 32> key{};

    mutable std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::map<std::string, Digest> verified;  // by user
    struct Strikes {
        unsigned count = 0;
        Clock::time_point last;
    };
    std::map<std::string, Strikes> strikes;  // by remote address
    uint64_t failures = 0;
};

}  // namespace monitor
