#include "monitor/sinks/http_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

namespace monitor {

namespace {

// Three tries for a typo, then 0.5 s doubling up to 8 s; forgotten after a
// quiet 10 minutes. The table is bounded so a scan cannot grow it forever.
constexpr unsigned kFreeTries = 3;
constexpr std::chrono::milliseconds kFirstDelay{500};
constexpr std::chrono::milliseconds kMaxDelay{8000};
constexpr std::chrono::minutes kForget{10};
constexpr size_t kMaxAddresses = 4096;

std::string run_crypt(const std::string& password, const std::string& setting) {
    auto data = std::make_unique<crypt_data>();
    const char* out = crypt_r(password.c_str(), setting.c_str(), data.get());
    // A failed crypt_r gives a text starting with '*', never a hash.
    if (!out || out[0] == '*') return {};
    return out;
}

std::string base64_decode(const std::string& in) {
    std::string out((in.size() / 4 + 1) * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    if (n < 0 || in.size() % 4 != 0) return {};
    size_t len = static_cast<size_t>(n);
    // EVP_DecodeBlock counts the padding as zero bytes.
    for (size_t i = in.size(); i > 0 && in[i - 1] == '=' && len > 0; --i) --len;
    out.resize(len);
    return out;
}

}  // namespace

std::string HashPassword(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting))
        throw std::runtime_error("libcrypt cannot make a yescrypt salt");
    std::string hash = run_crypt(password, setting);
    if (hash.empty()) throw std::runtime_error("libcrypt cannot hash the password");
    return hash;
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool CheckPassword(const std::string& password, const std::string& hash) {
    const std::string got = run_crypt(password, hash);
    return !got.empty() && ConstantTimeEqual(got, hash);
}

std::optional<Credentials> ParseBasic(const std::string& header) {
    constexpr std::string_view scheme = "Basic ";
    if (header.size() <= scheme.size() || header.size() > 1024) return std::nullopt;
    for (size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(header[i])) != std::tolower(scheme[i])) return std::nullopt;
    size_t from = scheme.size();
    while (from < header.size() && header[from] == ' ') ++from;
    const std::string plain = base64_decode(header.substr(from));
    const size_t colon = plain.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    return Credentials{plain.substr(0, colon), plain.substr(colon + 1)};
}

HttpAuth::HttpAuth(std::vector<HttpUser> u) : users(std::move(u)) {
    if (users.empty()) return;
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) throw std::runtime_error("no random bytes");
    // Same method and cost as the first user's hash.
    dummy_hash = run_crypt("not a password", users.front().password_hash);
}

HttpAuth::Digest HttpAuth::digest(const std::string& user, const std::string& password) const {
    Digest d{};
    const std::string msg = user + '\0' + password;
    unsigned len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(msg.data()),
         msg.size(), d.data(), &len);
    return d;
}

bool HttpAuth::Check(const std::string& authorization) {
    const auto cred = ParseBasic(authorization);
    if (!cred) return false;
    const HttpUser* found = nullptr;
    for (const auto& u : users)
        if (ConstantTimeEqual(u.name, cred->user)) found = &u;
    const Digest d = digest(cred->user, cred->password);
    {
        std::lock_guard<std::mutex> l(lock);
        const auto it = verified.find(cred->user);
        if (found && it != verified.end() && CRYPTO_memcmp(it->second.data(), d.data(), d.size()) == 0) return true;
    }
    const bool ok = CheckPassword(cred->password, found ? found->password_hash : dummy_hash) && found;
    if (ok) {
        std::lock_guard<std::mutex> l(lock);
        verified[cred->user] = d;
    }
    return ok;
}

void HttpAuth::Failed(const std::string& address) {
    std::lock_guard<std::mutex> l(lock);
    ++failures;
    const auto now = Clock::now();
    if (strikes.size() >= kMaxAddresses && !strikes.count(address)) {
        for (auto it = strikes.begin(); it != strikes.end();)
            it = now - it->second.last > kForget ? strikes.erase(it) : std::next(it);
        if (strikes.size() >= kMaxAddresses) strikes.erase(strikes.begin());
    }
    Strikes& s = strikes[address];
    if (now - s.last > kForget) s.count = 0;
    ++s.count;
    s.last = now;
}

void HttpAuth::Succeeded(const std::string& address) {
    std::lock_guard<std::mutex> l(lock);
    strikes.erase(address);
}

std::chrono::milliseconds HttpAuth::Delay(const std::string& address) const {
    std::lock_guard<std::mutex> l(lock);
    const auto it = strikes.find(address);
    if (it == strikes.end() || it->second.count <= kFreeTries) return std::chrono::milliseconds(0);
    if (Clock::now() - it->second.last > kForget) return std::chrono::milliseconds(0);
    const unsigned doublings = std::min(it->second.count - kFreeTries - 1, 8u);
    return std::min(kMaxDelay, kFirstDelay * (1u << doublings));
}

void HttpAuth::Wait(const std::string& address) {
    const auto d = Delay(address);
    if (d.count() == 0) return;
    std::unique_lock<std::mutex> l(lock);
    wake.wait_for(l, d, [this] { return stopping; });
}

void HttpAuth::Stop() {
    std::lock_guard<std::mutex> l(lock);
    stopping = true;
    wake.notify_all();
}

uint64_t HttpAuth::Failures() const {
    std::lock_guard<std::mutex> l(lock);
    return failures;
}

}  // namespace monitor
