#pragma once
// The "http" section of the monitor's config: where the dashboard, the API
// and the metrics are served, and who may see them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <json/json.h>

#include "common/json_check.h"

namespace monitor {

struct HttpUser {
    std::string name;
    std::string password_hash;  // crypt(3): yescrypt or SHA-512-crypt
};

struct HttpTls {
    std::string cert_file, key_file;
};

struct HttpConfig {
    std::string host = "127.0.0.1";  // as the socket takes it ("::1" without brackets)
    int port = 8080;
    // The demo tries the next ports up to this one when the first is taken.
    int last_port = 8080;
    std::optional<HttpTls> tls;
    std::vector<HttpUser> users;  // empty: no login
    int max_clients = 16;
    std::string language = "en";  // what the dashboard shows first
};

// Throws common::JsonError. A listen address other than loopback needs
// both "tls" and "users": the site's values and alarms are nobody's business
// on an open network, and a password must not cross it in clear.
HttpConfig ParseHttpConfig(const Json::Value& http, const common::JsonChecker& c, const std::string& language);

// The demo's server: 127.0.0.1, the first free port from 8080 to 8099.
HttpConfig DemoHttpConfig(const std::string& language);

bool IsLoopback(const std::string& host);
// "http://127.0.0.1:8080/", brackets around an IPv6 address.
std::string HttpUrl(const HttpConfig& c, int port);

// A password hash this program accepts: crypt(3)'s yescrypt ("$y$") or
// SHA-512-crypt ("$6$"), well formed.
bool AcceptedHash(const std::string& hash);

}  // namespace monitor
