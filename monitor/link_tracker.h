#pragma once
// What the frame layer tells of the line, kept for the site state: the
// request in flight, the cycle's progress, the link going up and down, and
// the model text of the device-information answer. Fed by the frame layer's
// observer, so no frame is ever decoded a second time.

#include <optional>
#include <string>
#include <vector>

#include "host/pmbus_protocol.h"
#include "monitor/models/model.h"
#include "monitor/site_state.h"

namespace monitor {

class LinkTracker : public PMBusProtocol::Observer {
public:
    LinkTracker(const model::Model& model, SiteState& site) : model(model), site(site) {}
    // The frame layer whose counters the site state shows.
    void Attach(const PMBusProtocol* f) { frames = f; }

    void OnRequest(uint8_t cid1, uint8_t cid2, bool retransmission) override;
    void OnFrame(Outcome outcome, const std::vector<unsigned char>& view) override;
    void OnGiveUp(uint8_t cid1, uint8_t cid2, bool stall) override;

    // What happened since the last call.
    struct Changes {
        std::vector<bool> link;  // link transitions in order: false down, true up
        bool info_answered = false;
        std::optional<std::string> model_text;  // a new one
    };
    Changes Take();
    // A polling cycle was completed (every unit saved).
    void CycleDone();
    // Copies the frame layer's counters into the site state.
    void Refresh();
    const PMBusProtocol::Counters& Counters() const;

private:
    const model::Model& model;
    SiteState& site;
    const PMBusProtocol* frames = nullptr;
    Changes changes;
};

}  // namespace monitor
