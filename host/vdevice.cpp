#include "host/vdevice.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <stdexcept>
#include <utility>

// --- VDeviceInterface -------------------------------------------------------

float VDeviceInterface::Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
}

bool VDeviceInterface::LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
}

uint32_t VDeviceInterface::DataId() const { return data_id; }

const std::string& VDeviceInterface::DeviceType() const { return device_type; }

int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int) { return -2; }

void VDeviceInterface::RoundDone() {}

bool VDeviceInterface::UseControllerDb() const { return use_controller_db; }

VDeviceInterface::~VDeviceInterface() = default;

// --- SMDVDevice -------------------------------------------------------------

SMDVDevice::~SMDVDevice() = default;

void SMDVDevice::Reset() {}

bool SMDVDevice::InitV(SMDVDevice* parent_device, unsigned int id, const Json::Value&) {
    data_id = id;
    parent = parent_device;
    if (parent_device) controller = parent_device->controller;
    return true;
}

bool SMDVDevice::Init(std::shared_ptr<SMDController> c, unsigned int id) {
    controller = c;
    data_id = id;
    return true;
}

bool SMDVDevice::InitSetting(const Json::Value&) { return true; }

bool SMDVDevice::IsSupportDevice(const std::string& type) const { return type == device_type; }

std::shared_ptr<SMDVDevice> SMDVDevice::GetChildVDevice(unsigned int) { return {}; }

std::vector<std::shared_ptr<SMDVDevice>> SMDVDevice::GetAllChildVDevices() { return {}; }

bool SMDVDevice::SendSP(int type, const unsigned char* data, int len, bool flag) {
    auto c = controller.lock();
    if (!c) return false;
    c->PublishSnapshot(*this, type, data, len, flag);
    return true;
}

bool SMDVDevice::SendDelayData(int, const unsigned char*, int) { return false; }
bool SMDVDevice::SendDoData(int, int) { return false; }
bool SMDVDevice::ReadDi(int, int&) { return false; }
bool SMDVDevice::ReadAi(int, float&) { return false; }
bool SMDVDevice::Get_SP_Value(int, std::vector<unsigned char>&) { return false; }

int SMDVDevice::DeviceIoControl(int, const void*, int, void*, int) { return -1; }

bool SMDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code,
                                    const std::string& name, const std::string& detail,
                                    bool condition, unsigned short seq) {
    // A fresh device grows its list from nothing in its first cycle.
    if (pending_rules.capacity() == 0) pending_rules.reserve(32);
    pending_rules.push_back(
        rule_value{static_cast<uint8_t>(condition ? 1 : 0), key, code, level, seq, name, detail, 0});
    return true;
}

bool SMDVDevice::CheckAlertMap(unsigned char state, int level, const std::string& key,
                               const std::string& code, const std::string& name,
                               const std::string& detail,
                               const std::map<unsigned char, std::string>& table,
                               unsigned short seq) {
    if (pending_rules.capacity() == 0) pending_rules.reserve(32);
    pending_rules.push_back(rule_value{state, key, code, level, seq, name, detail,
                                       host::intern_state_table(table)});
    return true;
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
    auto c = controller.lock();
    return c ? c->EvaluateRules(*this, rules) : false;
}

void SMDVDevice::CheckThresholdWork(std::function<void()> item) {
    // With no controller there is nobody to evaluate the batch; it is dropped.
    if (auto c = controller.lock()) c->QueueWork(std::move(item));
}

void SMDVDevice::SaveDeviceHistory(const unsigned char* data, int len) {
    if (auto c = controller.lock()) c->SaveHistory(*this, data, len);
}

// --- SMDSPDevice ------------------------------------------------------------

SMDSPDevice::~SMDSPDevice() { ClosePort(); }

bool SMDSPDevice::RefreshStatus() { return true; }

bool SMDSPDevice::process(unsigned char*, unsigned int) { return true; }

bool SMDSPDevice::IsProcessing() const { return false; }

bool SMDSPDevice::IsStalled() const { return false; }

int SMDSPDevice::SendData(const unsigned char* data, int len) {
    if (port_fd < 0 || len < 0) return -1;
    int done = 0;
    while (done < len) {
        ssize_t n = ::write(port_fd, data + done, static_cast<size_t>(len - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            // The port is non-blocking; a full output queue is waited out briefly.
            pollfd p{port_fd, POLLOUT, 0};
            if (errno == EAGAIN && ::poll(&p, 1, 1000) > 0) continue;
            return -1;
        }
        if (line_tap) line_tap(true, data + done, static_cast<size_t>(n));
        done += static_cast<int>(n);
    }
    return done;
}

void SMDSPDevice::SetLineTap(std::function<void(bool, const unsigned char*, size_t)> tap) {
    line_tap = std::move(tap);
}

int SMDSPDevice::SendParityData(const unsigned char* data, int len, int) { return SendData(data, len); }

namespace {
speed_t speed_for(int baud) {
    switch (baud) {
        case 1200: return B1200;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B0;
    }
}
}  // namespace

bool SMDSPDevice::OpenPort(const std::string& path) {
    ClosePort();
    const speed_t speed = speed_for(baud_rate);
    if (speed == B0) return false;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        return false;
    }
    port_fd = fd;
    return true;
}

int SMDSPDevice::PumpPort(int timeout_ms) {
    if (port_fd < 0) return -1;
    pollfd p{port_fd, POLLIN, 0};
    // A deadline computed by the caller may already be past: that is no
    // wait at all, not poll()'s "forever".
    const int ready = ::poll(&p, 1, std::max(timeout_ms, 0));
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    if (!(p.revents & POLLIN)) return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ? -1 : 0;
    unsigned char buf[4096];
    const ssize_t n = ::read(port_fd, buf, sizeof buf);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    if (n == 0) return -1;
    process(buf, static_cast<unsigned int>(n));
    return static_cast<int>(n);
}

void SMDSPDevice::ClosePort() {
    if (port_fd >= 0) ::close(port_fd);
    port_fd = -1;
}

// --- free functions ---------------------------------------------------------

std::array<unsigned char, 7> get_ttime(const boost::posix_time::ptime& t) {
    std::array<unsigned char, 7> out{};
    if (t.is_special()) return out;
    const auto d = t.date();
    const auto tod = t.time_of_day();
    const unsigned year = static_cast<unsigned>(d.year());
    out[0] = static_cast<unsigned char>(year >> 8);
    out[1] = static_cast<unsigned char>(year & 0xFF);
    out[2] = static_cast<unsigned char>(d.month().as_number());
    out[3] = static_cast<unsigned char>(d.day());
    out[4] = static_cast<unsigned char>(tod.hours());
    out[5] = static_cast<unsigned char>(tod.minutes());
    out[6] = static_cast<unsigned char>(tod.seconds());
    return out;
}

namespace host {
namespace {
void default_sleep(unsigned int usec) { ::usleep(usec); }
void (*sleep_fn)(unsigned int) = default_sleep;
}  // namespace

void set_sleep(void (*fn)(unsigned int)) { sleep_fn = fn ? fn : default_sleep; }
void sleep_us(unsigned int usec) { sleep_fn(usec); }
}  // namespace host
