// Placeholder until this module is built.
#include "sim_device.h"
namespace devsim {
struct SimDevice::Impl {};
SimDevice::SimDevice(const std::string&) : impl_(new Impl) {}
SimDevice::~SimDevice() {}
bool SimDevice::Start() { return false; }
void SimDevice::Stop() {}
std::string SimDevice::Control(const std::string&) { return "error: not built"; }
std::vector<LogEntry> SimDevice::CommandLog() const { return {}; }
std::vector<std::string> SimDevice::Commands(int) const { return {}; }
void SimDevice::ClearLog() {}
}
