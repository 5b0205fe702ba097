#include "monitor/models/m520s.h"

#include "monitor/models/m520s_tables.h"

namespace monitor::model {

namespace {

constexpr Request kCycle[] = {
    {0x40, 0x51, "device information"},      {0x40, 0x41, "AC analog values"},
    {0x40, 0x43, "AC switch states"},        {0x40, 0x44, "AC alarm states"},
    {0x41, 0x41, "rectifier analog values"}, {0x41, 0x43, "rectifier switch states"},
    {0x41, 0x44, "rectifier alarm states"},  {0x42, 0x41, "DC analog values"},
    {0x42, 0x44, "DC alarm states"},         {0x40, 0x46, "AC parameters"},
    {0x42, 0x46, "DC parameters"},
};

class M520SModel : public Model {
public:
    std::string_view Name() const override { return "M520S"; }
    std::string_view MainDeviceType() const override { return m520s::kMainDeviceType; }
    size_t MainProvider() const override { return 0; }
    std::span<const UnitKind> Units() const override { return m520s::UnitKinds(); }
    std::span<const Request> Cycle() const override { return kCycle; }
    Request DeviceInfo() const override { return kCycle[0]; }
    // The controller pads its model name to 20 bytes with spaces or zero bytes.
    std::string ModelText(const unsigned char* info, size_t n) const override {
        std::string s(reinterpret_cast<const char*>(info), n < 20 ? n : 20);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
        return s;
    }
    std::span<const AlarmKey> AlarmKeys() const override { return m520s::AlarmTable(); }
    std::string AlarmLabel(const AlarmFacts& a) const override { return m520s::AlarmLabel(*this, a); }
};

}  // namespace

const Model& M520S() {
    static const M520SModel model;
    return model;
}

}  // namespace monitor::model
