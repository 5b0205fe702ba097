// /api/history and /api/alarms: the history queries the `history` and
// `alarms` subcommands run, so page, API and command line always agree.
// Built when the history queries are (monitor/history.cpp).

#include <chrono>
#include <memory>
#include <mutex>

#include "monitor/history.h"
#include "monitor/sinks/http_shared.h"
#include "monitor/store.h"

namespace monitor {

namespace {

// A page asks for a range and a step it can draw; a week of raw cycles is
// refused instead of built in the server's memory.
constexpr size_t kMaxRows = 200'000;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string param(const httplib::Request& req, const char* key, const char* fallback) {
    return req.has_param(key) ? req.get_param_value(key) : fallback;
}

// One read-only connection for the server, opened at the first query (the
// store has made the file by then).
class Reader {
public:
    Reader(const std::string& db, const model::Model& m) : db(db), model(m) {}
    template <class F>
    auto With(F&& f) {
        std::lock_guard<std::mutex> l(lock);
        if (!reader) reader = std::make_unique<HistoryReader>(db, model);
        return f(*reader);
    }

private:
    std::string db;
    const model::Model& model;
    std::mutex lock;
    std::unique_ptr<HistoryReader> reader;
};

bool csv(const httplib::Request& req, httplib::Response& res) {
    const std::string format = param(req, "format", "json");
    if (format != "json" && format != "csv") {
        Refuse(res, 400, "format: expected \"json\" or \"csv\", found \"" + format + "\"");
        throw QueryError("format");
    }
    return format == "csv";
}

template <class F>
void answer(httplib::Response& res, F&& f) {
    try {
        f();
    } catch (const QueryError& e) {
        if (res.status != 400) Refuse(res, 400, e.what());
    } catch (const std::exception& e) {
        Refuse(res, 503, std::string("history not readable: ") + e.what());
    }
}

void history(Reader& r, const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] {
        const bool as_csv = csv(req, res);
        const int64_t now = now_ms();
        HistoryQuery q;
        for (size_t i = 0; i < req.get_param_value_count("field"); ++i) q.fields.push_back(req.get_param_value("field", i));
        if (q.fields.empty()) throw QueryError("field: expected at least one field path");
        q.from_ms = ParseTime(param(req, "from", kHistoryFrom), now);
        q.to_ms = ParseTime(param(req, "to", "now"), now);
        q.max_rows = kMaxRows;
        q.step = ParseStep(param(req, "step", "auto"));
        const HistoryTable t = r.With([&](HistoryReader& h) { return h.History(q); });
        if (as_csv) res.set_header("Content-Disposition", "attachment; filename=\"m520s-history.csv\"");
        res.set_content(as_csv ? HistoryCsv(t) : HistoryJson(t), as_csv ? "text/csv; charset=utf-8" : "application/json");
    });
}

void alarms(Reader& r, const httplib::Request& req, httplib::Response& res) {
    answer(res, [&] {
        const bool as_csv = csv(req, res);
        const int64_t now = now_ms();
        AlarmQuery q;
        q.from_ms = ParseTime(param(req, "from", kAlarmsFrom), now);
        q.to_ms = ParseTime(param(req, "to", "now"), now);
        q.active = param(req, "active", "0") == "1";
        if (req.has_param("level")) {
            const std::string l = req.get_param_value("level");
            if (l.empty() || l.size() > 3 || l.find_first_not_of("0123456789") != std::string::npos)
                throw QueryError("level: expected a level number, found \"" + l + "\"");
            q.level = std::stoi(l);
        }
        const auto rows = r.With([&](HistoryReader& h) { return h.Alarms(q); });
        if (as_csv) res.set_header("Content-Disposition", "attachment; filename=\"m520s-alarms.csv\"");
        res.set_content(as_csv ? AlarmsCsv(rows) : AlarmsJson(rows), as_csv ? "text/csv; charset=utf-8" : "application/json");
    });
}

}  // namespace

void InstallHistoryRoutes(httplib::Server& s, HttpShared& sh) {
    auto reader = std::make_shared<Reader>(sh.db_path, sh.model);
    s.Get("/api/history", [reader](const httplib::Request& req, httplib::Response& res) { history(*reader, req, res); });
    s.Get("/api/alarms", [reader](const httplib::Request& req, httplib::Response& res) { alarms(*reader, req, res); });
}

}  // namespace monitor
