#pragma once
// Stand-ins for the AC, DC and rectifier units: they record every call the
// main device makes and answer parse calls with scripted results.

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "host/vdevice.h"

namespace testing_support {

struct FakeCall {
    std::string op;
    std::vector<unsigned char> bytes;  // the stretch the unit was given, up to len
    int len;
};

class FakeUnit : public SMDSPDevice {
public:
    // Order of calls across every fake unit, as "label:op".
    static std::vector<std::string>& events() {
        static std::vector<std::string> e;
        return e;
    }

    std::string label;
    std::vector<FakeCall> calls;
    std::map<std::string, std::deque<int>> script;  // results to give, per operation, in order
    SMDVDevice* init_parent = nullptr;
    Json::Value init_setting;

    bool LoadFromCache(const unsigned char*, int) override { return true; }
    bool InitV(SMDVDevice* p, unsigned int id, const Json::Value& s) override {
        init_parent = p;
        init_setting = s;
        return SMDVDevice::InitV(p, id, s);
    }
    void RoundDone() override {
        calls.push_back({"RoundDone", {}, 0});
        events().push_back(label + ":RoundDone");
    }

    int count(const std::string& op) const {
        int k = 0;
        for (const auto& c : calls) k += c.op == op;
        return k;
    }
    const FakeCall* last(const std::string& op) const {
        for (auto it = calls.rbegin(); it != calls.rend(); ++it)
            if (it->op == op) return &*it;
        return nullptr;
    }

protected:
    // Unscripted calls consume everything they were given.
    int answer(const char* op, const unsigned char* data, int len) {
        calls.push_back({op, std::vector<unsigned char>(data, data + (len > 0 ? len : 0)), len});
        events().push_back(label + ":" + op);
        auto& q = script[op];
        if (q.empty()) return len > 0 ? len : 0;
        const int r = q.front();
        q.pop_front();
        return r;
    }
};

class FakeAC : public FakeUnit {
public:
    int parse40_41(const unsigned char* d, int l) { return answer("parse40_41", d, l); }
    int parse40_43(const unsigned char* d, int l) { return answer("parse40_43", d, l); }
    int parse40_44(const unsigned char* d, int l) { return answer("parse40_44", d, l); }
};

class FakeDC : public FakeUnit {
public:
    FakeDC() = default;
    explicit FakeDC(const std::string& m) : model(m) {}
    std::string model;
    int parse42_41(const unsigned char* d, int l) { return answer("parse42_41", d, l); }
    int parse42_44(const unsigned char* d, int l) { return answer("parse42_44", d, l); }
};

class FakeRC : public FakeUnit {
public:
    int parse41_41(const unsigned char* d, int l) { return answer("parse41_41", d, l); }
    int parse41_43(const unsigned char* d, int l) { return answer("parse41_43", d, l); }
    int parse41_44(const unsigned char* d, int l) { return answer("parse41_44", d, l); }
    int parse40_46(const unsigned char* d, int l) { return answer("parse40_46", d, l); }
    int parse42_46(const unsigned char* d, int l) { return answer("parse42_46", d, l); }
};

}  // namespace testing_support
