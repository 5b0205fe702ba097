#include "monitor/sinks/http_config.h"

#include <arpa/inet.h>
#include <crypt.h>

#include <set>

#include <fmt/format.h>

namespace monitor {

namespace {

constexpr int kMaxClientsLimit = 1024;

// "127.0.0.1:8080", "[::1]:8080", "localhost:8080". Returns false on a
// malformed text; host and port as found.
bool split_listen(const std::string& text, std::string& host, int& port) {
    std::string port_text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) return false;
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || colon == 0 || text.find(':') != colon) return false;
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        in_addr a4{};
        if (host != "localhost" && inet_pton(AF_INET, host.c_str(), &a4) != 1) return false;
    }
    if (port_text.empty() || port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(port_text);
    return port >= 1 && port <= 65535;
}

std::vector<HttpUser> parse_users(const Json::Value& v, const common::JsonChecker& c) {
    const Json::Value& list = c.Array(v, "http.users", "an array of {\"name\", \"password_hash\"}", 1000);
    std::vector<HttpUser> users;
    std::set<std::string> seen;
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const std::string path = common::Element("http.users", i);
        c.Object(list[i], path, {"name", "password_hash"});
        HttpUser u;
        // Basic authentication splits at the first colon.
        u.name = c.Text(c.Require(list[i], path, "name", "a user name"), path + ".name", {.max_bytes = 64});
        if (u.name.find(':') != std::string::npos)
            c.FailFound(path + ".name", "a user name without ':'", common::Quote(u.name));
        if (!seen.insert(u.name).second)
            c.FailFound(path + ".name", "a name no other user has", common::Quote(u.name));
        const Json::Value& h = c.Require(list[i], path, "password_hash", "a crypt(3) hash (m520s-monitor passwd)");
        u.password_hash = c.Text(h, path + ".password_hash", {.max_bytes = 512});
        if (!AcceptedHash(u.password_hash))
            c.Fail(path + ".password_hash", "a yescrypt or SHA-512-crypt hash (m520s-monitor passwd)", h);
        users.push_back(std::move(u));
    }
    return users;
}

}  // namespace

bool AcceptedHash(const std::string& hash) {
    if (hash.rfind("$y$", 0) != 0 && hash.rfind("$6$", 0) != 0) return false;
    return crypt_checksalt(hash.c_str()) == CRYPT_SALT_OK;
}

bool IsLoopback(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr a4{};
    if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    return false;
}

std::string HttpUrl(const HttpConfig& c, int port) {
    const bool v6 = c.host.find(':') != std::string::npos;
    return fmt::format("{}://{}{}{}:{}/", c.tls ? "https" : "http", v6 ? "[" : "", c.host, v6 ? "]" : "", port);
}

HttpConfig ParseHttpConfig(const Json::Value& http, const common::JsonChecker& c, const std::string& language) {
    c.Object(http, "http", {"listen", "tls", "users", "max_clients"});
    HttpConfig cfg;
    cfg.language = language;
    if (http.isMember("listen")) {
        const Json::Value& v = http["listen"];
        const std::string text = c.Text(v, "http.listen", {.max_bytes = 300});
        if (!split_listen(text, cfg.host, cfg.port))
            c.Fail("http.listen", "an address and port such as \"127.0.0.1:8080\" or \"[::1]:8080\"", v);
        cfg.last_port = cfg.port;
    }
    if (http.isMember("tls")) {
        const Json::Value& t = http["tls"];
        c.Object(t, "http.tls", {"cert_file", "key_file"});
        HttpTls tls;
        tls.cert_file = c.ReadableFile(c.Require(t, "http.tls", "cert_file", "a readable file"), "http.tls.cert_file");
        tls.key_file = c.ReadableFile(c.Require(t, "http.tls", "key_file", "a readable file"), "http.tls.key_file");
        cfg.tls = tls;
    }
    if (http.isMember("users")) cfg.users = parse_users(http["users"], c);
    if (http.isMember("max_clients"))
        cfg.max_clients = static_cast<int>(c.Integer(http["max_clients"], "http.max_clients", 1, kMaxClientsLimit));
    if (!IsLoopback(cfg.host) && (!cfg.tls || cfg.users.empty()))
        c.FailFound("http.listen", "a loopback address, or \"tls\" and \"users\" beside it",
                    fmt::format("{} without {}", common::Quote(cfg.host),
                                !cfg.tls && cfg.users.empty() ? "\"tls\" and \"users\""
                                : !cfg.tls                    ? "\"tls\""
                                                              : "\"users\""));
    return cfg;
}

HttpConfig DemoHttpConfig(const std::string& language) {
    HttpConfig cfg;
    cfg.last_port = 8099;
    cfg.language = language;
    return cfg;
}

}  // namespace monitor
