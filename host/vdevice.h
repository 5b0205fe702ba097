#pragma once
// Device base classes of the host.
//
// Lifecycle of a device: the host (or a parent device, through InitV) gives it
// an id and a controller; the device is then driven one call at a time from
// the host's poll thread: RefreshStatus() sends requests, process() feeds it
// bytes from the line, RoundDone() ends a polling cycle. Everything a device
// reports (log lines, snapshots, alarm checks, history) goes to the controller
// it learnt at initialisation, and silently nowhere once the controller is gone.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <json/json.h>

#include "host/controller.h"
#include "host/rule_value.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "records hold wire bytes as they come; a big-endian target would misread them");

class SMDVDevice;

class VDeviceInterface {
public:
    virtual float Get_Value(unsigned int id, const std::string& key) const;
    virtual bool LoadFromCache(const std::string& data);
    virtual bool LoadFromCache(const unsigned char* data, int len) = 0;
    virtual uint32_t DataId() const;
    virtual const std::string& DeviceType() const;
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len);
    virtual void RoundDone();
    virtual bool UseControllerDb() const;
    virtual ~VDeviceInterface();

protected:
    uint32_t data_id = 0;
    std::string device_type;
    bool use_controller_db = false;
};

class SMDVDevice : public VDeviceInterface, public std::enable_shared_from_this<SMDVDevice> {
public:
    ~SMDVDevice() override;

    virtual void Reset();
    virtual bool InitV(SMDVDevice* parent, unsigned int id, const Json::Value& setting);
    virtual bool Init(std::shared_ptr<SMDController> controller, unsigned int id);
    virtual bool InitSetting(const Json::Value& setting);
    virtual bool IsSupportDevice(const std::string& type) const;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int id);
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices();
    virtual bool SendSP(int type, const unsigned char* data, int len, bool flag);
    virtual bool SendDelayData(int type, const unsigned char* data, int len);
    virtual bool SendDoData(int channel, int value);
    virtual bool ReadDi(int channel, int& value);
    virtual bool ReadAi(int channel, float& value);
    virtual bool Get_SP_Value(int type, std::vector<unsigned char>& out);

    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len) override;

    template <class... Args>
    void InfoLog(std::string_view format, const Args&... args) const {
        if (auto c = controller.lock()) c->InfoLog(format, args...);
    }

    // Alarm services: each check call records one rule in the pending list.
    bool CheckThresholdBool(int level, const std::string& key, const std::string& code,
                            const std::string& name, const std::string& detail, bool condition,
                            unsigned short seq);
    bool CheckAlertMap(unsigned char state, int level, const std::string& key,
                       const std::string& code, const std::string& name, const std::string& detail,
                       const std::map<unsigned char, std::string>& table, unsigned short seq);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
    void CheckThresholdWork(std::function<void()> item);
    void SaveDeviceHistory(const unsigned char* data, int len);

    std::shared_ptr<SMDController> Controller() const { return controller.lock(); }

protected:
    uint16_t check_seq = 0;
    boost::posix_time::ptime last_update;  // not_a_date_time until the first update
    uint8_t data_valid = 0;
    std::vector<rule_value> pending_rules;
    std::weak_ptr<SMDController> controller;
    bool batch_result = false;
    SMDVDevice* parent = nullptr;
};

class SMDSPDevice : public SMDVDevice {
public:
    ~SMDSPDevice() override;

    virtual bool RefreshStatus();
    virtual bool process(unsigned char* data, unsigned int len);
    virtual bool IsProcessing() const;
    virtual bool IsStalled() const;
    // Every byte for the line goes through here: bytes written, or -1.
    virtual int SendData(const unsigned char* data, int len);
    virtual int SendParityData(const unsigned char* data, int len, int parity);
    // Opens a serial line (or pseudo-terminal) raw, 8N1, at baud_rate.
    virtual bool OpenPort(const std::string& path);
    virtual void ClosePort();

    // Sees every chunk SendData() wrote (tx true) and what a device reads from
    // the port by itself (tx false: the frame layer takes what is waiting
    // before it sends a request while handling an answer); the host program
    // taps what it reads itself. An empty function removes the tap.
    void SetLineTap(std::function<void(bool tx, const unsigned char*, size_t)> tap);

    int PortFd() const { return port_fd; }
    // Waits up to timeout_ms for bytes on the open port and hands what
    // arrived to process(). Returns the number of bytes read, 0 on time-out,
    // -1 when the port is closed or failed.
    int PumpPort(int timeout_ms);

protected:
    int poll_state = 0;
    int serial_port = 0;
    int baud_rate = 9600;
    int port_fd = -1;
    std::function<void(bool, const unsigned char*, size_t)> line_tap;
};

// Local time as the host's 7-byte stamp: year (high byte first), month, day,
// hour, minute, second.
std::array<unsigned char, 7> get_ttime(const boost::posix_time::ptime& t);

namespace host {
// Pause used by the response dispatch; replaceable so tests and benchmarks
// need not wait. Default: usleep.
void set_sleep(void (*fn)(unsigned int usec));
void sleep_us(unsigned int usec);
}  // namespace host
