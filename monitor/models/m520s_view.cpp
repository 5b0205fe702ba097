#include "monitor/models/m520s_view.h"

namespace monitor::model {

namespace {

constexpr ShortLabel kAcHead[] = {{"Ia", "ia"}, {"Ib", "ib"}, {"Ic", "ic"}, {"alerts", "ia_alert ib_alert ic_alert"}};
constexpr ShortLabel kAcChannel[] = {
    {"Ua", "a"}, {"Ub", "b"}, {"Uc", "c"}, {"f", "f"}, {"states a b c f", "a_state b_state c_state f_state"}};
constexpr ShortLabel kDcHead[] = {{"U", "v"}, {"I", "i"}, {"values", "dc_m_value"}, {"voltage state", "v_state"}};
constexpr ShortLabel kRcHead[] = {{"group", "group_value"}, {"modules", "module_count"}};
constexpr ShortLabel kRcModule[] = {{"", "module_value"}};

}  // namespace

const UnitView kM520SAcView{kAcHead, kAcChannel, "ch"};
const UnitView kM520SDcView{kDcHead, {}};
const UnitView kM520SRcView{kRcHead, kRcModule, "", "fault_state"};

}  // namespace monitor::model
