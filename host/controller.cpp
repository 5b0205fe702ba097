#include "host/controller.h"

#include <iterator>
#include <utility>

namespace host {

namespace {
std::mutex& table_mutex() {
    static std::mutex m;
    return m;
}
std::vector<const StateTable*>& tables() {
    static std::vector<const StateTable*> t;
    return t;
}
}  // namespace

uint32_t intern_state_table(const StateTable& table) {
    std::lock_guard<std::mutex> lock(table_mutex());
    auto& t = tables();
    for (size_t i = 0; i < t.size(); ++i)
        if (t[i] == &table) return static_cast<uint32_t>(i + 1);
    t.push_back(&table);
    return static_cast<uint32_t>(t.size());
}

const StateTable* state_table(uint32_t id) {
    std::lock_guard<std::mutex> lock(table_mutex());
    const auto& t = tables();
    if (id == 0 || id > t.size()) return nullptr;
    return t[id - 1];
}

std::string render_log(std::string_view format, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '{' && i + 1 < format.size() && format[i + 1] == '}' && next < args.size()) {
            out += args[next++];
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

}  // namespace host

SMDController::~SMDController() = default;

void SMDController::Log(const std::string&) {}

void SMDController::PublishSnapshot(SMDVDevice&, int, const unsigned char*, int, bool) {}

void SMDController::SaveHistory(SMDVDevice&, const unsigned char*, int) {}

void SMDController::QueueWork(std::function<void()> item) {
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.push_back(std::move(item));
}

bool SMDController::EvaluateRules(SMDVDevice&, const std::vector<rule_value>&) { return true; }

size_t SMDController::RunQueuedWork() {
    size_t ran = 0;
    for (;;) {
        std::vector<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            batch.swap(queue);
        }
        if (batch.empty()) return ran;
        for (size_t i = 0; i < batch.size(); ++i) {
            try {
                batch[i]();
            } catch (...) {
                // The items after the failing one stay queued, ahead of newer ones.
                std::lock_guard<std::mutex> lock(queue_mutex);
                queue.insert(queue.begin(), std::make_move_iterator(batch.begin() + static_cast<long>(i) + 1),
                             std::make_move_iterator(batch.end()));
                throw;
            }
            ++ran;
        }
    }
}

size_t SMDController::QueuedWork() const {
    std::lock_guard<std::mutex> lock(queue_mutex);
    return queue.size();
}
