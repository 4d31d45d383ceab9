#pragma once
// The systemd unit files of an installed service: the service itself (Type=notify, with
// systemd's hardening options; run as its own system user with all that an unprivileged
// service allows, or as root without one) and a socket unit on the OPC UA port that
// starts the service when a client connects while it is stopped.

#include <string>

#include "platform/service_manager.h"

namespace vexahv::platform {

std::string serviceUnitText(const ServiceDefinition& definition, const std::string& unitName);
std::string socketUnitText(const ServiceDefinition& definition, const std::string& unitName);

}  // namespace vexahv::platform
