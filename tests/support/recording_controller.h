#pragma once
// A controller that records everything a device reports, for assertions.

#include <functional>
#include <string>
#include <vector>

#include "host/vdevice.h"

namespace testing_support {

struct Snapshot {
    SMDVDevice* device;
    int type;
    std::vector<unsigned char> bytes;
    bool flag;
};

struct History {
    SMDVDevice* device;
    std::vector<unsigned char> bytes;
};

struct Batch {
    SMDVDevice* device;
    std::vector<rule_value> rules;
};

class RecordingController : public SMDController {
public:
    std::vector<std::string> logs;
    std::vector<Snapshot> snapshots;
    std::vector<History> histories;
    std::vector<Batch> batches;
    bool evaluate_result = true;

    void Log(const std::string& rendered) override { logs.push_back(rendered); }
    void PublishSnapshot(SMDVDevice& d, int type, const unsigned char* data, int len, bool flag) override {
        snapshots.push_back({&d, type, std::vector<unsigned char>(data, data + (len > 0 ? len : 0)), flag});
    }
    void SaveHistory(SMDVDevice& d, const unsigned char* data, int len) override {
        histories.push_back({&d, std::vector<unsigned char>(data, data + (len > 0 ? len : 0))});
    }
    bool EvaluateRules(SMDVDevice& d, const std::vector<rule_value>& rules) override {
        batches.push_back({&d, rules});
        return evaluate_result;
    }

    bool logged(const std::string& line) const {
        for (const auto& l : logs)
            if (l == line) return true;
        return false;
    }
};

}  // namespace testing_support
